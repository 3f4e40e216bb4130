#include "device/identification.h"

#include <wchar.h>

#include "device/rapi.h"
#include "resources/texts.h"
#include "base/message_box.h"
#include "base/setup_state.h"

namespace {

// Registry access right "query values".
const REGSAM kQueryValues = 1;
// The identifier is read into 256 bytes: at most 127 characters and a NUL.
const DWORD kIdentifierChars = 128;

const int kAny = -1;

// One row of the classification: an identifier (nullptr: any identifier
// not named in an earlier row), a major and a minor version (kAny: any),
// and the platform code. The first matching row decides, so each named
// identifier ends with a catch-all row of its own.
struct PlatformRow {
    const wchar_t *identifier;
    int major;
    int minor;
    int code;
};

const PlatformRow kPlatformRows[] = {
    {L"Handheld_PC", 2, 0, 1},
    {L"Handheld_PC", 2, 1, 2},
    {L"Handheld_PC", 2, 10, 3},
    {L"Handheld_PC", 2, 11, 3},
    {L"Handheld_PC", 3, 0, 6},
    {L"Handheld_PC", kAny, kAny, 5},
    {L"Tesh-size_PC", 2, 11, 4},
    {L"Tesh-size_PC", kAny, kAny, 2},
    {L"Tesh_PC", kAny, kAny, 2},
    {L"Pocket_PC", kAny, kAny, 5},
    {nullptr, 2, 0, 1},
    {nullptr, 2, 1, 2},
    {nullptr, 2, 10, 3},
    {nullptr, 2, 11, 4},
    {nullptr, kAny, kAny, 5},
};

bool Matches(const PlatformRow &row, const wchar_t *identifier, int major, int minor) {
    if (row.identifier && wcscmp(row.identifier, identifier) != 0) return false;
    if (row.major != kAny && row.major != major) return false;
    return row.minor == kAny || row.minor == minor;
}

// One reading of the device's OS version; false when the device did not
// answer (CeGetLastError says why), and the numbers are then 0.
bool ReadDeviceVersion(CEOSVERSIONINFO *info) {
    *info = {};
    info->dwOSVersionInfoSize = sizeof *info;
    if (CeGetVersionEx(info)) return true;
    info->dwMajorVersion = 0;
    info->dwMinorVersion = 0;
    return false;
}

CEOSVERSIONINFO QueryDeviceVersion() {
    CEOSVERSIONINFO info;
    ReadDeviceVersion(&info);
    return info;
}

// Reads Ident\OrigName into identifier (kIdentifierChars wide). The empty
// identifier when the key cannot be opened (after telling the user) or the
// value is missing, not a string, or too long; always NUL-terminated.
void ReadPlatformIdentifier(wchar_t *identifier) {
    identifier[0] = L'\0';
    HKEY key = nullptr;
    if (CeRegOpenKeyEx(HKEY_LOCAL_MACHINE, kIdentKey, 0, kQueryValues, &key) != 0) {
        ShowMessage(kTextRegistryUnavailable, kCaptionError, MB_OK);
        return;
    }
    wchar_t value[kIdentifierChars] = {};
    DWORD type = REG_NONE;
    DWORD size = sizeof value;
    const LONG result =
        CeRegQueryValueEx(key, kOrigNameValue, nullptr, &type, reinterpret_cast<BYTE *>(value), &size);
    CeRegCloseKey(key);
    if (result != ERROR_SUCCESS || type != REG_SZ || size > sizeof value) return;
    // The stored string need not end in a NUL; one that fills the whole
    // buffer without one is longer than an identifier may be.
    const size_t length = wcsnlen(value, size / sizeof(wchar_t));
    if (length >= kIdentifierChars) return;
    wmemcpy(identifier, value, length);
    identifier[length] = L'\0';
}

// The classification once the version is read: the identifier read and
// stored as text, then the code that follows from the three.
int ClassifyVersion(int major, int minor) {
    wchar_t identifier[kIdentifierChars];
    ReadPlatformIdentifier(identifier);
    char *text = g_setup.platformIdText;
    if (WideCharToMultiByte(CP_ACP, 0, identifier, -1, text, sizeof g_setup.platformIdText, nullptr, nullptr) == 0) {
        text[0] = '\0';
    }
    return PlatformCodeFor(identifier, major, minor);
}

}  // namespace

int QueryDeviceMajorVersion() { return static_cast<int>(QueryDeviceVersion().dwMajorVersion); }

int QueryDeviceMinorVersion() { return static_cast<int>(QueryDeviceVersion().dwMinorVersion); }

int QueryProcessorType() {
    SYSTEM_INFO info = {};
    CeGetSystemInfo(&info);
    return static_cast<int>(info.dwProcessorType);
}

int PlatformCodeFor(const wchar_t *identifier, int major, int minor) {
    for (const PlatformRow &row : kPlatformRows) {
        if (Matches(row, identifier, major, minor)) return row.code;
    }
    return 5;  // not reached: the last row matches everything
}

int ClassifyPlatform() {
    const int major = QueryDeviceMajorVersion();
    const int minor = QueryDeviceMinorVersion();
    return ClassifyVersion(major, minor);
}

int ClassifyAnsweringPlatform() {
    // Only a read that failed for want of a link means the device is gone; a
    // device that answers with an error of its own is classified from that
    // answer (a version of 0), as ClassifyPlatform would.
    CEOSVERSIONINFO major, minor;
    if (!ReadDeviceVersion(&major) && CeGetLastError() == ERROR_DEVICE_NOT_CONNECTED) return 0;
    if (!ReadDeviceVersion(&minor) && CeGetLastError() == ERROR_DEVICE_NOT_CONNECTED) return 0;
    return ClassifyVersion(static_cast<int>(major.dwMajorVersion), static_cast<int>(minor.dwMinorVersion));
}

bool ReadDeviceIdentity(DeviceIdentity *identity) {
    CEOSVERSIONINFO version;
    if (!ReadDeviceVersion(&version)) return false;
    identity->major = static_cast<int>(version.dwMajorVersion);
    if (!ReadDeviceVersion(&version)) return false;
    identity->minor = static_cast<int>(version.dwMinorVersion);
    SYSTEM_INFO info = {};
    CeGetSystemInfo(&info);
    identity->processor = static_cast<int>(info.dwProcessorType);
    // No processor type is 0: a reading of 0 is a device that did not answer.
    return identity->processor != 0;
}

void SetPlatformCode(int code) { g_setup.PlatformCode = static_cast<WORD>(code & 0xFFFF); }
