// A serving device's claim on its image folder, so that nothing changes the
// image behind its back: IMAGE\serving.lock holds the pipe it serves on and
// stays locked while it serves. The lock is the file system's own (under
// Wine, a lock on the host file), so it is seen from any Wine prefix and
// dropped when the serving process ends, however it ends.
#pragma once

#include <windows.h>

#include <string>

class ImageLock {
public:
    ImageLock() = default;
    ~ImageLock();
    ImageLock(const ImageLock &) = delete;
    ImageLock &operator=(const ImageLock &) = delete;

    // Claims the image for serving on `pipe`. False when a running device
    // already serves it (its pipe in *holderPipe) or the lock file cannot be
    // made (*holderPipe empty).
    bool Claim(const std::wstring &image, const std::wstring &pipe, std::wstring *holderPipe);
    // True when a running device serves the image; its pipe in *pipe.
    static bool IsClaimed(const std::wstring &image, std::wstring *pipe);

private:
    HANDLE file_ = INVALID_HANDLE_VALUE;
};
