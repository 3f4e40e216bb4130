// A device from its image folder: a new image made from a built-in profile
// (its files, its identity, the profile's folders and the card it comes
// with), and an image loaded.
#include "model/device.h"

#include "model/device_path.h"
#include "model/host_files.h"
#include "model/profiles.h"
#include "model/text_util.h"

namespace {

std::string IdentityText(const DeviceProfile &profile) {
    std::string text;
    text += "profile=" + std::string(profile.name) + "\n";
    text += "platform=" + WideToUtf8(profile.platform) + "\n";
    text += "version=" + std::to_string(profile.major) + "." + std::to_string(profile.minor) + "\n";
    text += "build=" + std::to_string(profile.build) + "\n";
    text += "processor=" + std::to_string(profile.processor) + "\n";
    text += "programs=" + WideToUtf8(profile.programs) + "\n";
    text += "desktop=" + WideToUtf8(profile.desktop) + "\n";
    return text;
}

// The store's host root: the \\?\ form lets device paths of up to 259
// characters sit under a long image path.
std::wstring StoreRoot(const std::wstring &image) {
    std::wstring store = image + L"\\store";
    if (store.compare(0, 2, L"\\\\") == 0) return store;
    return L"\\\\?\\" + store;
}

}  // namespace

bool Device::CreateImage(const std::wstring &image, const std::string &profileName, std::string *error) {
    const DeviceProfile *profile = FindProfile(profileName);
    if (!profile) {
        *error = "unknown profile \"" + profileName + "\" (known: " + ProfileNames() + ")";
        return false;
    }
    std::wstring full = FullHostPath(image);
    if (GetFileAttributesW(full.c_str()) != INVALID_FILE_ATTRIBUTES) {
        *error = "the image folder exists already";
        return false;
    }
    if (!CreateDirectoryW(full.c_str(), nullptr) || !CreateDirectoryW((full + L"\\store").c_str(), nullptr) ||
        !CreateDirectoryW((full + L"\\cards").c_str(), nullptr)) {
        *error = "cannot create the image folder (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    for (const wchar_t *name : {L"meta.txt", L"cards.txt", L"running.txt", L"faults.txt"}) {
        ReplaceHostFile(full + L"\\" + name, std::string());
    }
    // device.txt last: an image is complete once it has its identity.
    if (!ReplaceHostFile(full + L"\\device.txt", IdentityText(*profile))) {
        *error = "cannot write the image's identity";
        return false;
    }
    std::unique_ptr<Device> device = Load(full, error);
    if (!device) return false;
    std::lock_guard<std::mutex> lock(device->mutex_);
    bool ok = device->EnsureFolders(L"\\Windows") && device->EnsureFolders(L"\\My Documents") &&
              device->EnsureFolders(profile->programs);
    if (*profile->desktop) ok = ok && device->EnsureFolders(profile->desktop);
    if (ok && *profile->card) {
        device->cards_.push_back(profile->card);
        ok = CreateDirectoryW(device->HostPath(JoinDevicePath(L"\\", profile->card)).c_str(), nullptr) != FALSE;
        device->SaveCards();
    }
    if (!ok) *error = "cannot create the profile's folders";
    return ok;
}

std::unique_ptr<Device> Device::Load(const std::wstring &image, std::string *error) {
    std::unique_ptr<Device> device(new Device());
    device->image_ = FullHostPath(image);
    device->storeRoot_ = StoreRoot(device->image_);
    if (!device->LoadIdentity(error)) return nullptr;
    if (!HostFolderExists(device->storeRoot_)) {
        *error = "the image has no store folder";
        return nullptr;
    }
    CreateDirectoryW(device->ImageFile(L"cards").c_str(), nullptr);
    device->LoadRecords();
    device->LoadCards();
    device->LoadRunning();
    device->LoadFaults();
    device->LoadRegistry();
    return device;
}
