// The remote API as a Windows CE 3.x/4.x device speaks it over TCP
// ("RAPI v1"): frames, argument encodings, reply heads and constants,
// shared by the device's network service and the stand-in rapi.dll's
// network client. No sockets and no device model here: only bytes.
//
// Frame: u32 body length, then the body; every integer little-endian, no
// padding. A request body is the u32 command code and its arguments. A
// reply body starts with u32 result_1; when it is 1 an HRESULT follows and,
// when that is not zero, nothing else (the call failed as a whole).
//
// Argument encodings (an absent pointer is a single u32 0):
//   string           1, u32 UTF-16 units including the terminator, the units
//   optional string  1, u32 bytes including the terminator, 1, the bytes
//   input buffer     1, u32 size, the bytes
//   output buffer    1, u32 size, 0             (room the caller has, no data)
//   in/out buffer    1, u32 size, 1, the bytes
// Optional value in a reply: u32 has-parameter; if 1, u32 size and u32
// has-value; if that is 1, the bytes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace rapi1 {

enum Command : uint32_t {
    kFindFirstFile = 0x00,
    kFindNextFile = 0x01,
    kFindClose = 0x02,
    kGetFileAttributes = 0x03,
    kSetFileAttributes = 0x04,
    kCreateFile = 0x05,
    kReadFile = 0x06,
    kWriteFile = 0x07,
    kCloseHandle = 0x08,
    kFindAllFiles = 0x09,
    kSetFilePointer = 0x15,
    kCreateDirectory = 0x17,
    kRemoveDirectory = 0x18,
    kCreateProcess = 0x19,
    kMoveFile = 0x1a,
    kDeleteFile = 0x1c,
    kGetFileSize = 0x1d,
    kRegOpenKeyEx = 0x1e,
    kRegEnumKeyEx = 0x1f,
    kRegCreateKeyEx = 0x20,
    kRegCloseKey = 0x21,
    kRegDeleteKey = 0x22,
    kRegEnumValue = 0x23,
    kRegDeleteValue = 0x24,
    kRegQueryValueEx = 0x26,
    kRegSetValueEx = 0x27,
    kGetSystemMemoryDivision = 0x28,
    kGetStoreInformation = 0x29,
    kGetSystemInfo = 0x2f,
    kSHCreateShortcut = 0x30,
    kGetFileTime = 0x39,  // layout inferred, see rapi1::kInferred*
    kSetFileTime = 0x3a,  // layout inferred
    kGetVersionEx = 0x3b,
    kGetSystemPowerStatusEx = 0x41,
    kGetSpecialFolderPath = 0x44,
    // Request: u32 reserved, library and function as strings, u32 input
    // size and the input bytes (no presence flag), u32 1 for a stream.
    // Reply: result_1, last error, result, u32 output size and bytes; then
    // a second frame, which callers read and drop.
    kRapiInvoke = 0x45,
};

// Ports: the device serves the remote API on 990 and connects out to the
// desktop's control port 5679.
const uint16_t kRapiPort = 990;
const uint16_t kDesktopPort = 5679;

// A frame body above this is refused: the session that sent it is closed.
// Large enough for any single write a client makes in practice.
const uint32_t kMaxFrameBytes = 4u << 20;
// Longest string argument accepted, in UTF-16 units with the terminator.
const uint32_t kMaxStringUnits = 32768;

const uint32_t kRootLocalMachine = 0x80000002u;  // HKEY_LOCAL_MACHINE on the device
const uint32_t kInvalidHandle = 0xFFFFFFFFu;
const uint32_t kInvalidFileSize = 0xFFFFFFFFu;
const uint32_t kENotImpl = 0x80004001u;  // E_NOTIMPL: unknown command code
const uint32_t kEFail = 0x80004005u;

// Structure sizes on the wire.
const uint32_t kFindDataBytes = 560;          // CE_FIND_DATA (name: 260 units)
const uint32_t kFindDataNameUnits = 260;
const uint32_t kOsVersionInfoBytes = 276;     // CEOSVERSIONINFO
const uint32_t kSystemInfoBytes = 36;         // SYSTEM_INFO
const uint32_t kStoreInformationBytes = 8;    // STORE_INFORMATION: store size, free size
const uint32_t kPowerStatusBytes = 24;        // SYSTEM_POWER_STATUS_EX
const uint32_t kProcessInformationBytes = 16; // PROCESS_INFORMATION
const uint32_t kFileTimeBytes = 8;

// CeFindAllFiles flags: which fields each entry carries, in this order
// (name length first, name units last).
enum FindAllFlags : uint32_t {
    kFafAttributes = 0x01,
    kFafCreationTime = 0x02,
    kFafLastAccessTime = 0x04,
    kFafLastWriteTime = 0x08,
    kFafSizeHigh = 0x10,
    kFafSizeLow = 0x20,
    kFafOid = 0x40,
    kFafName = 0x80,
    kFafAttribChildren = 0x1000,
    kFafAttribNoHidden = 0x2000,
    kFafFoldersOnly = 0x4000,
    kFafNoHiddenSysRomModules = 0x8000,
};

// Control channel.
const uint32_t kPing = 0x12345678u;
const uint32_t kInfoBlockMinBytes = 0x24;
const uint32_t kPasswordChallengeBase = 512;  // h >= 512: challenge, key h & 0xff

// GetFileTime/SetFileTime were never documented: this layout is inferred
// from the pattern of the other calls. Request: the handle, then per
// FILETIME pointer (creation, last access, last write) an output buffer of
// 8 (get) or an input buffer of 8 (set), absent ones as u32 0. Reply: last
// error, BOOL, and for get one optional value per time asked for.
const uint32_t kInferredFileTimeCount = 3;

// Builds a body; Frame() puts the length in front.
class Writer {
public:
    void U8(uint8_t value) { bytes_.push_back(value); }
    void U16(uint16_t value);
    void U32(uint32_t value);
    void Raw(const void *data, size_t count);
    // A run of `count` zero bytes (padding of fixed-size structures).
    void Zeros(size_t count) { bytes_.resize(bytes_.size() + count, 0); }
    // Text as UTF-16LE units, no count, no terminator added.
    void Units(const std::wstring &text);

    void Absent() { U32(0); }
    void String(const std::wstring &text);          // terminator added
    void OptionalString(const std::wstring &text);  // terminator added
    void InBuffer(const void *data, uint32_t size);
    void OutBuffer(uint32_t size);
    void InOutBuffer(const void *data, uint32_t size);

    // Reply parts.
    void Succeeded() { U32(0); }  // result_1 = 0
    void Failed(uint32_t hresult) {
        U32(1);
        U32(hresult);
    }
    void OptionalValue(const void *data, uint32_t size);
    // has-parameter 1, has-value 0: the caller gave room, nothing to put in it.
    void OptionalNoValue(uint32_t size);

    // Overwrites four bytes written before (a count known only later).
    void PatchU32(size_t at, uint32_t value);
    size_t Size() const { return bytes_.size(); }
    const std::vector<uint8_t> &Body() const { return bytes_; }
    // The body with its u32 length in front.
    std::vector<uint8_t> Frame() const;
    void Clear() { bytes_.clear(); }

private:
    std::vector<uint8_t> bytes_;
};

// What an optional argument or reply value held.
struct Optional {
    bool present = false;    // has-parameter
    uint32_t size = 0;       // room or size stated
    bool hasValue = false;   // bytes follow
    const uint8_t *data = nullptr;  // inside the frame, `size` bytes when hasValue
};

// Reads a body. Any read past the end, a flag other than 0 or 1, a string
// without its terminator or a size past the frame makes ok() false; every
// later read then returns zeros and nothing outside the body is ever read.
class Reader {
public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint8_t U8();
    uint16_t U16();
    uint32_t U32();
    // A view of `count` raw bytes (nullptr when they are not all there).
    const uint8_t *Raw(size_t count);
    // `units` UTF-16 units as text (no terminator expected).
    std::wstring Units(uint32_t units);

    // `*present` false for an absent pointer (u32 0).
    std::wstring String(bool *present);
    std::wstring OptionalString(bool *present);
    Optional InBuffer();
    // Output and in/out buffers, and optional values in replies.
    Optional OptionalArgument();
    // result_1, and the HRESULT when result_1 is 1 (else 0).
    uint32_t ReplyHead(uint32_t *hresult);

    bool ok() const { return ok_; }
    // Read without fault and to the last byte.
    bool Exhausted() const { return ok_ && at_ == size_; }
    size_t Remaining() const { return ok_ ? size_ - at_ : 0; }
    // Why reading failed, for a log line ("" while ok).
    const char *Problem() const { return problem_; }
    // Marks the body malformed for a reason found by the caller; false.
    bool Refuse(const char *problem);

private:
    bool Take(size_t count);
    bool Flag(bool *value);
    void Fail(const char *problem);
    std::wstring Terminated(const uint8_t *units, uint32_t count);
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
    bool ok_ = true;
    const char *problem_ = "";
};

// A u64 as two u32s, low first (FILETIMEs, sizes).
void WriteU64(Writer *out, uint64_t value);
uint64_t ReadU64(Reader *in);

// The body length of a frame header; false when it is above the limit.
bool FrameLength(const uint8_t header[4], uint32_t *length);

// One CE_FIND_DATA: FindFirstFile/FindNextFile send u32 560 and the 560
// bytes (names longer than 259 units are cut); FindAllFiles sends only the
// fields its flags ask for.
struct FindData {
    uint32_t attributes = 0;
    uint64_t creation = 0, access = 0, write = 0;
    uint64_t size = 0;
    uint32_t oid = 0;
    std::wstring name;
};
void WriteFindData(Writer *out, const FindData &data);
// Reads the u32 size and that many bytes (at most 560; fewer leave the
// rest zero).
bool ReadFindData(Reader *in, FindData *data);
// One CeFindAllFiles entry: [name length] [attributes] [creation] [access]
// [write] [size high] [size low] [oid] [name units], each only when its flag
// is set. The name length counts the units sent, terminator included.
void WriteFindAllEntry(Writer *out, uint32_t flags, const FindData &data);
bool ReadFindAllEntry(Reader *in, uint32_t flags, FindData *data);
// The fixed bytes of one entry with these flags, in both protocols: the
// name's length and each field asked for.
uint32_t FindAllEntryBytes(uint32_t flags);
// A listing is one folder's: a FAT folder holds at most 65,536 entries, and
// entries of no fields at all (a count only) are refused beyond 4,096.
const uint32_t kMaxFolderEntries = 65536;
const uint32_t kMaxEmptyEntries = 4096;
// Reads a listing's entry count, in both protocols: refused when it is more
// than a folder holds, or more than the rest of the reply can hold at
// FindAllEntryBytes(flags) an entry. Nothing is allocated before it.
bool ReadFindAllCount(Reader *in, uint32_t flags, uint32_t *count);

// GetFileTime (0x39) and SetFileTime (0x3a) were never documented; this
// layout is inferred from the pattern of the other calls and kept here
// alone. Times are in the order creation, last access, last write.
//   get request:  handle, then per time an output buffer of 8 or u32 0
//   set request:  handle, then per time an input buffer of 8 or u32 0
//   get reply:    last error, BOOL, then per time asked an optional value
//                 (the 8 bytes when the call succeeded, none when it failed)
//   set reply:    last error, BOOL
struct FileTimes {
    bool present[3] = {false, false, false};
    uint64_t value[3] = {0, 0, 0};
};
void WriteGetFileTimeRequest(Writer *out, uint32_t handle, const FileTimes &asked);
void WriteSetFileTimeRequest(Writer *out, uint32_t handle, const FileTimes &times);
// `times->present` tells which times were asked for (get) or given (set).
bool ReadFileTimeRequest(Reader *in, bool set, uint32_t *handle, FileTimes *times);
void WriteGetFileTimeReply(Writer *out, uint32_t lastError, bool ok, const FileTimes &times);
// `times->present` must hold what was asked; fills the values sent.
bool ReadGetFileTimeReply(Reader *in, uint32_t *lastError, bool *ok, FileTimes *times);

// The control channel's information block (the bytes after its u32
// length): OS major and minor (u8) at 0x04 and 0x05, build (u16) at 0x06,
// processor type (u16) at 0x08, partner ids (u32) at 0x10 and 0x14, and
// at 0x18, 0x1c and 0x20 the offsets of three UTF-16LE, NUL-terminated
// strings: device name, platform, model. Everything else is 0.
struct DeviceInfo {
    uint8_t major = 0, minor = 0;
    uint16_t build = 0, processor = 0;
    uint32_t partner1 = 0, partner2 = 0;
    std::wstring name, platform, model;
};
// The block; its strings are cut so that it stays below 512 bytes.
std::vector<uint8_t> InfoBlock(const DeviceInfo &info);
// False when the block is shorter than 0x24 bytes, or a string offset
// points outside it or its string has no terminator inside it.
bool ParseInfoBlock(const uint8_t *block, size_t size, DeviceInfo *info);

// A password as the desktop sends it: UTF-16LE with its terminator, every
// byte XOR the key (preceded on the wire by its u16 byte count).
std::vector<uint8_t> EncodePassword(const std::wstring &password, uint8_t key);

}  // namespace rapi1
