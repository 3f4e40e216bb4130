#include "serve/device_records.h"

#include <algorithm>

#include "model/device_path.h"
#include "model/profiles.h"

namespace {

const DWORD kAttributeInRom = 0x40;  // FILE_ATTRIBUTE_INROM of Windows CE

}  // namespace

void BuildSystemInfo(uint32_t processor, uint8_t (&bytes)[kSystemInfoRecordBytes]) {
    std::fill(bytes, bytes + kSystemInfoRecordBytes, 0);
    WORD architecture = ArchitectureOfProcessor(processor);
    bytes[0] = static_cast<uint8_t>(architecture);
    bytes[1] = static_cast<uint8_t>(architecture >> 8);
    PutRecordU32(bytes + 4, 4096);         // page size
    PutRecordU32(bytes + 8, 0x00010000);   // lowest application address
    PutRecordU32(bytes + 12, 0x7FFFFFFF);  // highest application address
    PutRecordU32(bytes + 16, 1);           // active processor mask
    PutRecordU32(bytes + 20, 1);           // number of processors
    PutRecordU32(bytes + 24, processor);
    PutRecordU32(bytes + 28, 0x00010000);  // allocation granularity
}

void BuildVersionInfo(const Device::Version &version, uint8_t (&bytes)[kVersionRecordBytes]) {
    std::fill(bytes, bytes + kVersionRecordBytes, 0);
    PutRecordU32(bytes, kVersionRecordBytes);
    PutRecordU32(bytes + 4, version.major);
    PutRecordU32(bytes + 8, version.minor);
    PutRecordU32(bytes + 12, version.build);
    PutRecordU32(bytes + 16, 3);  // VER_PLATFORM_WIN32_CE
}

void BuildPowerStatus(const DeviceStatus &status, uint8_t (&bytes)[kPowerRecordBytes]) {
    std::fill(bytes, bytes + kPowerRecordBytes, 0);
    bytes[0] = status.acLineStatus;
    bytes[1] = status.batteryFlag;
    bytes[2] = status.batteryPercent;
    PutRecordU32(bytes + 4, 0xFFFFFFFFu);
    PutRecordU32(bytes + 8, 0xFFFFFFFFu);
    bytes[13] = 1;    // backup battery: high
    bytes[14] = 100;  // backup battery percent
    PutRecordU32(bytes + 16, 0xFFFFFFFFu);
    PutRecordU32(bytes + 20, 0xFFFFFFFFu);
}

rapi1::FindData FindDataOf(const Device::FoundEntry &entry) {
    rapi1::FindData data;
    data.attributes = entry.item.attributes;
    data.creation = entry.item.creation;
    data.access = entry.item.access;
    data.write = entry.item.write;
    data.size = entry.item.size;
    data.oid = entry.oid;
    data.name = entry.name;
    return data;
}

