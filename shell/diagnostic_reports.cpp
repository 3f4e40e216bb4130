#include "shell/diagnostic_reports.h"

#include "resources/texts.h"
#include "shell/message_box.h"

void ShowSetupVersion(const char *caption) { ShowMessage(kTextSetupVersion, caption, MB_OK); }
