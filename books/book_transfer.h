// The Install Book action: the two wizard pages, the reader brought up to
// date, the books copied to the device, the reader started, and the
// completion dialog.
#pragma once

// 0 when the workflow ran to its end or the user confirmed Cancel; -1 after
// Back on the book page or when no device connection could be made.
int InstallBooks();

// The completion dialog (template 113): Finish is its only way out. 1.
int ShowInstallComplete();
