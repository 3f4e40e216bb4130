// The fixed records a device hands out whole, the same in every protocol:
// SYSTEM_INFO, CEOSVERSIONINFO and SYSTEM_POWER_STATUS_EX, built from the
// model's figures; and the filter of CeFindAllFiles's flags. Each
// translator puts them into its own frames.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "model/device.h"
#include "protocol/rapi1.h"

const uint32_t kSystemInfoRecordBytes = 36;
const uint32_t kVersionRecordBytes = 276;
const uint32_t kPowerRecordBytes = 24;

// SYSTEM_INFO of a single-processor CE device of this processor type.
void BuildSystemInfo(uint32_t processor, uint8_t (&bytes)[kSystemInfoRecordBytes]);
// CEOSVERSIONINFO: its size, major, minor, build, platform (3: CE), then an
// empty service-pack text of 128 units.
void BuildVersionInfo(const Device::Version &version, uint8_t (&bytes)[kVersionRecordBytes]);
// A docked device: on the cradle's power, the battery figures of its
// profile, life times unknown (0xFFFFFFFF).
void BuildPowerStatus(const DeviceStatus &status, uint8_t (&bytes)[kPowerRecordBytes]);

// A search's entry as the find data both protocols send.
rapi1::FindData FindDataOf(const Device::FoundEntry &entry);

// A little-endian u32 into a record.
inline void PutRecordU32(uint8_t *at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}
