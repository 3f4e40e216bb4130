// What the device says of itself: its version, processor and the figures
// of its profile, as its faults may change them, and the introduction it
// gives a desktop.
#include "model/device.h"

#include "model/profiles.h"

Device::Version Device::DoGetVersion() const {
    Version version;
    version.major = faults_.hasVersion ? faults_.major : identity_.major;
    version.minor = faults_.hasVersion ? faults_.minor : identity_.minor;
    version.build = identity_.build;
    version.refused = faults_.refuseVersion;
    return version;
}

DWORD Device::DoGetProcessor() const { return faults_.hasProcessor ? faults_.processor : identity_.processor; }

const DeviceStatus &Device::DoGetStatus() const { return StatusOfProfile(identity_.profile); }

Device::Introduction Device::Introduce() {
    std::lock_guard<std::mutex> lock(mutex_);
    const DeviceStatus &status = DoGetStatus();
    const Version version = DoGetVersion();
    Introduction introduction;
    introduction.major = version.major;
    introduction.minor = version.minor;
    introduction.build = version.build;
    introduction.processor = DoGetProcessor();
    introduction.name = status.deviceName;
    introduction.platform = *status.platformType ? status.platformType : identity_.platform;
    introduction.model = status.model;
    introduction.password = faults_.password;
    introduction.remoteApi = status.remoteApi;
    introduction.unlockAfterMs = faults_.unlockAfterMs;
    return introduction;
}
