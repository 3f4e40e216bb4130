#include "base/message_box.h"

#include <stdio.h>

#include "resources/texts.h"

int ShowMessage(const char *text, const char *caption, UINT flags) {
    return MessageBoxA(nullptr, text, caption, flags);
}

void ShowSystemErrorBox(DWORD errorCode) { ShowSystemErrorBoxAbout(nullptr, errorCode); }

void ShowSystemErrorBoxAbout(const char *subject, DWORD errorCode) {
    char *systemText = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
        errorCode, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char *>(&systemText), 0, nullptr);
    char fallback[64];
    const char *text = systemText;
    if (length == 0 || !systemText) {
        snprintf(fallback, sizeof fallback, kTextUnknownErrorFormat, static_cast<unsigned long>(errorCode),
                 static_cast<unsigned long>(errorCode));
        text = fallback;
    }
    // The subject line, a blank line, the system's text; a subject too long
    // for the box is left out rather than cut.
    char combined[1024];
    if (subject) {
        int written = snprintf(combined, sizeof combined, "%s\r\n\r\n%s", subject, text);
        if (written > 0 && static_cast<size_t>(written) < sizeof combined) text = combined;
    }
    ShowMessage(text, kCaptionError, MB_OK | MB_ICONWARNING);
    LocalFree(systemText);
}

bool ConfirmAbort() {
    return ShowMessage(kTextAbortQuestion, kCaptionSetup, MB_ICONQUESTION | MB_YESNO) == IDYES;
}
