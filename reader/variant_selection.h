// Which reader and helper library files in the setup folder suit a device,
// by its processor type and platform code. Intel processors mean the
// Windows CE emulation environment, where the reader cannot run.
#pragma once

#include <windows.h>

struct ReaderVariant {
    // Host file names relative to the setup folder; constant texts, nullptr
    // when refused.
    const char *readerVariantFile;
    const char *helperVariantFile;
    bool refused;
};

// A pure decision: touches neither the device nor the host file system.
ReaderVariant SelectReaderVariant(DWORD processorType, WORD platformCode);
