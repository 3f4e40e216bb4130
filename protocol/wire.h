// The conversation between the stand-in rapi.dll and the device service over
// a byte-mode named pipe. Every request and every answer is one frame: a
// 32-bit little-endian body length, then the body. A request body starts
// with the operation code; an answer body starts with the last error the
// call leaves in the caller's session (kErrorUnchanged when it leaves it as
// it was), then the operation's own results.
//
// Values: u32/i32/u64/i64 little-endian; a text is a u32 count of UTF-16
// code units and the units; a byte block is a u32 count and the bytes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace wire {

// 2: CeCreateProcess answers with process and thread handles.
// 3: the store's and a folder's free room (kGetStoreInformation,
// kGetDiskFreeSpace).
// 4: a folder's whole listing in one call (kFindAllFiles).
// 5: the registry's keys and values (kRegCreateKey to kRegDeleteKey); a
// size query (no data, or a buffer of 0 bytes) answered with the size.
const uint32_t kProtocolVersion = 5;
// Frames above this size are refused as malformed; the stand-in splits big
// reads and writes into pieces well below it.
const uint32_t kMaxFrameBytes = 4u << 20;
const uint32_t kMaxPiece = 1u << 20;
const uint32_t kMaxTextUnits = 32768;
const uint32_t kErrorUnchanged = 0xFFFFFFFFu;

// The device's own HKEY_LOCAL_MACHINE, whatever the host's constant is.
const uint32_t kRootLocalMachine = 0x80000002u;

enum Op : uint32_t {
    kHello = 1,
    kGetVersion,
    kGetSystemInfo,
    kRegOpenKey,
    kRegQueryValue,
    kRegCloseKey,
    kCreateFile,
    kReadFile,
    kWriteFile,
    kSetFilePointer,
    kGetFileSize,
    kGetFileTime,
    kSetFileTime,
    kCloseHandle,
    kDeleteFile,
    kCreateDirectory,
    kRemoveDirectory,
    kGetFileAttributes,
    kFindFirstFile,
    kFindNextFile,
    kFindClose,
    kGetSpecialFolder,
    kCreateShortcut,
    kInvoke,
    kCreateProcess,
    kMoveFile,
    kGetStoreInformation,
    kGetDiskFreeSpace,
    // Request: the pattern, the CeFindAllFiles flags. Answer: a success
    // flag, the count, then each entry as kFindFirstFile sends it
    // (attributes, three times, size, object id, name).
    kFindAllFiles,
    // The registry beyond opening, querying and closing (version 5). Every
    // answer: the last error unchanged, then the i32 registry result.
    //   kRegCreateKey   parent key, subkey text  -> key, disposition
    //   kRegEnumKey     key, index, name room (characters) -> name text
    //   kRegEnumValue   key, index, name room, wants data (0/1), data room
    //                   -> name text, type, size, data bytes
    //   kRegSetValue    key, name text, type, data bytes
    //   kRegDeleteValue key, name text
    //   kRegDeleteKey   parent key, subkey text
    kRegCreateKey,
    kRegEnumKey,
    kRegEnumValue,
    kRegSetValue,
    kRegDeleteValue,
    kRegDeleteKey,
    // Administration by a second cedevice.exe while the first serves.
    kAdminImage = 100,
    kAdminSetFault,
    kAdminInsertCard,
    kAdminRemoveCard,
    kAdminStartProgram,
    // A person's registry change (Device::ChangeRegistry): the text.
    kAdminRegistrySet,
    kAdminRegistryDelete,
};

// Builds a frame: the length is filled in by Finish().
class Writer {
public:
    Writer() : bytes_(4, 0) {}
    void U32(uint32_t value);
    void I32(int32_t value) { U32(static_cast<uint32_t>(value)); }
    void U64(uint64_t value);
    void I64(int64_t value) { U64(static_cast<uint64_t>(value)); }
    void Text(const std::wstring &text);
    void Bytes(const void *data, size_t count);
    // Reserves room for a byte block of `count` bytes and returns where its
    // bytes go (so a reader can fill them without another copy).
    uint8_t *ReserveBytes(size_t count);
    // Shrinks the block reserved last to the bytes actually filled.
    void ShrinkReserved(size_t reserved, size_t used);
    // The finished frame, length prefix included.
    std::vector<uint8_t> &Finish();
    // Bytes written so far, length prefix included.
    size_t Size() const { return bytes_.size(); }

private:
    std::vector<uint8_t> bytes_;
};

// Reads a body; any read past the end makes ok() false and returns zeros,
// so a truncated or garbled body can never read outside its buffer.
class Reader {
public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint32_t U32();
    int32_t I32() { return static_cast<int32_t>(U32()); }
    uint64_t U64();
    int64_t I64() { return static_cast<int64_t>(U64()); }
    std::wstring Text();
    // A view of a byte block inside the body (nullptr when malformed).
    const uint8_t *Bytes(uint32_t *count);
    bool ok() const { return ok_; }
    // Read without fault and to the last byte: a request with bytes left
    // over is as malformed as one cut short.
    bool Exhausted() const { return ok_ && at_ == size_; }

private:
    bool Take(size_t count);
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
    bool ok_ = true;
};

// Reads or writes exactly count bytes on a synchronous pipe; false when the
// pipe breaks or stops moving bytes.
bool MovePipeBytes(void *pipe, uint8_t *data, size_t count, bool reading);

// The pipe the device is served on: CEDEVICE_PIPE, or \\.\pipe\cedevice.
std::wstring PipeNameFromEnvironment();

}  // namespace wire
