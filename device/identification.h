// What the connected device is: OS version, processor type, platform
// identifier, and the platform code that follows from them.
#pragma once

#include <windows.h>

// Fresh remote queries; 0 when the remote call fails.
int QueryDeviceMajorVersion();
int QueryDeviceMinorVersion();
int QueryProcessorType();

// Reads the version and the registry identifier Ident\OrigName, rewrites
// SetupState.platformIdText with the identifier, and returns the platform
// code 1..6 (not stored). An identifier that cannot be read counts as the
// empty identifier, which the version alone classifies.
int ClassifyPlatform();

// ClassifyPlatform for a device that may no longer answer: 0, with nothing
// more asked (no registry read, no box), when a version read fails because
// the link is gone (CeGetLastError 1167). A read the device itself refuses
// counts as its answer, a version of 0. The same calls as ClassifyPlatform
// otherwise.
int ClassifyAnsweringPlatform();

// What the device report prints of the device itself.
struct DeviceIdentity {
    int major;
    int minor;
    int processor;
};

// Reads the major and the minor OS version and the processor type, in this
// order, one remote call each. False as soon as one cannot be read (the
// device did not answer; CeGetLastError says why): nothing read may then
// be shown as the device's.
bool ReadDeviceIdentity(DeviceIdentity *identity);

// The platform code for an identifier (compared whole and case-sensitively)
// and an OS version.
int PlatformCodeFor(const wchar_t *identifier, int major, int minor);

// Stores the low 16 bits of the code as SetupState.PlatformCode.
void SetPlatformCode(int code);
