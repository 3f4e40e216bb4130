// The diagnostic reports: plain message boxes with the setup's version and
// with what the connected device is.
#pragma once

// The setup version text under the given caption.
void ShowSetupVersion(const char *caption);
