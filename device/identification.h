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

// The platform code for an identifier (compared whole and case-sensitively)
// and an OS version.
int PlatformCodeFor(const wchar_t *identifier, int major, int minor);

// Stores the low 16 bits of the code as SetupState.PlatformCode.
void SetPlatformCode(int code);
