#include "model/image_lock.h"

#include "model/text_util.h"

namespace {

// The locked range lies past the pipe name, so the name stays readable.
const DWORD kLockOffset = 0x40000000;

std::wstring LockFile(const std::wstring &image) { return image + L"\\serving.lock"; }

HANDLE OpenLockFile(const std::wstring &image, DWORD disposition) {
    return CreateFileW(LockFile(image).c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool TryLock(HANDLE file) {
    OVERLAPPED at = {};
    at.Offset = kLockOffset;
    return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

void Unlock(HANDLE file) {
    OVERLAPPED at = {};
    at.Offset = kLockOffset;
    UnlockFileEx(file, 0, 1, 0, &at);
}

std::wstring ReadPipeName(HANDLE file) {
    char text[1024];
    DWORD got = 0;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    if (!ReadFile(file, text, sizeof text, &got, nullptr)) got = 0;
    return Utf8ToWide(std::string(text, got));
}

}  // namespace

ImageLock::~ImageLock() {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);  // closing drops the lock
}

bool ImageLock::Claim(const std::wstring &image, const std::wstring &pipe, std::wstring *holderPipe) {
    holderPipe->clear();
    HANDLE file = OpenLockFile(image, OPEN_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) return false;
    if (!TryLock(file)) {
        *holderPipe = ReadPipeName(file);
        CloseHandle(file);
        return false;
    }
    const std::string name = WideToUtf8(pipe);
    DWORD written = 0;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    WriteFile(file, name.data(), static_cast<DWORD>(name.size()), &written, nullptr);
    SetEndOfFile(file);
    file_ = file;
    return true;
}

bool ImageLock::IsClaimed(const std::wstring &image, std::wstring *pipe) {
    pipe->clear();
    HANDLE file = OpenLockFile(image, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) return false;  // never served
    const bool claimed = !TryLock(file);
    if (claimed) {
        *pipe = ReadPipeName(file);
    } else {
        Unlock(file);
    }
    CloseHandle(file);
    return claimed;
}
