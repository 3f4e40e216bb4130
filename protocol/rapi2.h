// The remote API as a Windows Mobile 5/6 device (CE 5.1 and later) speaks
// it ("RAPI2"): the control connection's handshake, the device's
// information block, the password, and the calls on a session connection.
// Shared by the stand-in rapi.dll's bridge (it writes requests and reads
// replies) and the simulated device (it reads requests and writes
// replies). No sockets and no device model here: only bytes.
//
// Frames are those of v1 (u32 body length, then the body; rapi1::Writer
// builds them, rapi1::Reader reads them). What differs:
//   - a reply has no status word: it starts with the call's own fields,
//     almost always the device's last error (u32) first;
//   - a string is u32 BYTE count including the terminator, then UTF-16LE
//     with its terminator; an absent string is u32 0;
//   - the command codes (Command below).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "protocol/rapi1.h"

namespace rapi2 {

using rapi1::FindData;
using rapi1::Reader;
using rapi1::Writer;

// ---- The control connection (the device connects to the desktop)

// The desktop's port for both the control and the session connections.
// The device cannot be told another one; a desktop that cannot listen on
// it needs a redirect from it.
const uint16_t kDesktopPort = 990;

// The trigger: once the desktop listens on kDesktopPort, it sends one UDP
// datagram holding the single byte kTrigger to the device's port
// kTriggerPort; the device connects then. A device that finds no listener
// when its link comes up waits for it.
const uint16_t kTriggerPort = 5679;
const uint8_t kTrigger = 0x7F;

// Handshake words, each a u32. The device sends kInitial, kVersionQuery
// and kInfoFollows in any order; the desktop answers the first with
// kInitialAnswer and the second with the four words of kVersionAnswer;
// after kInfoFollows come u32 N and the N bytes of the information block.
const uint32_t kInitial = 0;
const uint32_t kInitialAnswer = 3;
const uint32_t kVersionQuery = 6;
const uint32_t kVersionAnswer[4] = {7, 8, 4, 5};
const uint32_t kInfoFollows = 4;

// The block's password key: none, a device-side unlock, or (any other
// value) the XOR key of a password the desktop sends.
const uint32_t kKeyNone = 0;
const uint32_t kKeyUnlockOnDevice = 0xFFFFFFFFu;
// Unlock mode: the desktop sends kUnlockRequest; the device answers a u32
// once its user has unlocked it (kUnlocked), and the desktop then sends
// the two words of kUnlockedFollowUp.
const uint32_t kUnlockRequest = 8;
const uint32_t kUnlocked = 0;
const uint32_t kUnlockedFollowUp[2] = {0, 0x0C};

// Session request, desktop to device: the two words, then the u32 id. The
// device opens a new connection to the desktop's port whose first u32 is
// that id; the rest of that connection carries frames.
const uint32_t kSessionRequest[2] = {5, 4};

// Keep-alive on the control connection once the session is open: the
// desktop sends kPing every few seconds and the device answers kPingEcho.
// (One desktop of those studied pings this way, the newest none; the
// bridge counts missed echoes only from a device that answered once.)
const uint32_t kPing = 1;
const uint32_t kPingEcho = 2;

// Limits on what a device may announce.
const uint32_t kMaxInfoBlockBytes = 2048;
const uint32_t kMaxNameUnits = 31;
const uint32_t kMaxInfoTextBytes = 256;  // platform, model
const uint32_t kMaxComponents = 6;
const uint32_t kComponentBytes = 8;
// Longest password the desktop sends, in UTF-16 units without terminator.
const uint32_t kMaxPasswordUnits = 255;

// The information block (the N bytes after kInfoFollows and N):
//   0    GUID, 16 bytes
//   16   u32 OS major          20  u32 OS minor
//   24   u32 L (name units, at most 31), the name in UTF-16LE, a 2-byte NUL
//   A    u32 version (build), A+4 u32 processor type, A+8 u32 unknown,
//        A+12 u32 current partner id, A+16 u32 device id      (A = 30 + 2L)
//   A+20 u32 P, P bytes platform (ASCII, a NUL-separated list ending in NUL)
//   B    u32 M, M bytes model (ASCII, no NUL), then one byte (NUL)
//   then u32 K (at most 6) component versions of 8 bytes each
//   then u32 password key
//   then, optional, u32 n and n bytes of data of unknown meaning.
struct DeviceInfo {
    uint8_t guid[16] = {};
    uint32_t major = 0, minor = 0;
    std::wstring name;
    uint32_t version = 0, processor = 0, unknown = 0, partnerId = 0, deviceId = 0;
    std::string platform;  // the list's first entry
    std::string model;
    std::vector<uint8_t> components;  // K * 8 bytes, as sent
    uint32_t key = kKeyNone;
    std::vector<uint8_t> extra;       // the optional data, as sent
};

// The block, without its u32 length. The name is cut to 31 units and
// platform and model to what the limits allow.
std::vector<uint8_t> EncodeInfoBlock(const DeviceInfo &info);
// False, with *problem saying why, when the block is longer than
// kMaxInfoBlockBytes, a length points past its end, the name is longer
// than 31 units or has no terminator, or K is above 6. Bytes after the
// optional data are ignored.
bool ParseInfoBlock(const uint8_t *block, size_t size, DeviceInfo *info, const char **problem);

// The password as the desktop sends it for an XOR key: u16 byte count,
// then the password in UTF-16LE WITH its 2-byte terminator, every byte
// XOR the key's low byte. (Of the desktops that were studied, two send
// no terminator and the newest sends it; a device reading a terminated
// text reads both alike, so it is sent, as the v1 protocol does.) The
// password is cut to kMaxPasswordUnits.
std::vector<uint8_t> EncodePassword(const std::wstring &password, uint32_t key);
// The device's side: the encoded bytes (after the u16 count) back to the
// text; a trailing terminator is optional. False when the byte count is
// odd or above the limit, or a NUL sits inside the text.
bool DecodePassword(const uint8_t *bytes, size_t count, uint32_t key, std::wstring *password);

// ---- The calls

enum Command : uint32_t {
    kFindFirstFile = 0x11,
    kFindNextFile = 0x12,
    kFindClose = 0x13,
    kGetFileAttributes = 0x14,
    kCreateFile = 0x16,
    kReadFile = 0x17,
    kWriteFile = 0x18,
    kCloseHandle = 0x19,
    kFindAllFiles = 0x1a,
    kSetFilePointer = 0x26,
    kCreateDirectory = 0x28,
    kRemoveDirectory = 0x29,
    kCreateProcess = 0x2a,
    kMoveFile = 0x2b,
    kDeleteFile = 0x2d,
    kGetFileSize = 0x2e,
    kRegOpenKeyEx = 0x2f,
    kRegEnumKeyEx = 0x30,
    kRegCreateKeyEx = 0x31,
    kRegCloseKey = 0x32,
    kRegDeleteKey = 0x33,
    kRegEnumValue = 0x34,
    kRegDeleteValue = 0x35,
    kRegQueryValueEx = 0x37,
    kRegSetValueEx = 0x38,
    kGetStoreInformation = 0x39,
    kGetSystemInfo = 0x3d,
    kGetFileTime = 0x41,
    kSetFileTime = 0x42,
    kGetVersionEx = 0x43,
    kGetSystemPowerStatusEx = 0x49,
    kGetSpecialFolderPath = 0x4b,
    kRapiInvoke = 0x4c,
    kGetDiskFreeSpaceEx = 0x5c,
    // CeSetFileAttributes and CeSHCreateShortcut have no known layout in
    // this protocol and deliberately no code here: a guessed code could
    // be read by a real device as another call.
};

const uint32_t kSystemInfoBytes = 36;
const uint32_t kProcessInformationBytes = 16;
const uint32_t kPowerStatusBytes = 24;
const uint32_t kOsVersionInfoBytes = 276;
const uint32_t kFileTimeBytes = 8;

// A request's arguments. Which fields a command uses, in wire order
// ("s" = string; fields not named stay unused and are not sent):
//   FindFirstFile, GetFileAttributes, CreateDirectory, RemoveDirectory,
//   DeleteFile, GetDiskFreeSpaceEx          s path
//   MoveFile                                s path, s second
//   FindNextFile, FindClose, CloseHandle,
//   GetFileTime, RegCloseKey                handle
//   CreateFile       s path, access, share, disposition, attributes, templateFile
//   ReadFile         handle, count (bytes wanted)
//   WriteFile        handle, u32 size, the `size` bytes at `data`
//   FindAllFiles     s path, flags
//   SetFilePointer   handle, u32 distance low, u32 hasHigh, [u32 distanceHigh], method
//   GetFileSize      handle, then u32 1, u32 4, u32 0 when hasHigh, else u32 0
//   RegOpenKeyEx, RegDeleteKey  handle (the key), s path (the subkey)
//   RegCreateKeyEx   handle (the key), s path (the subkey), s second (its class)
//   RegQueryValueEx  handle (the key), s path (the value name), count (buffer bytes)
//   RegDeleteValue   handle (the key), s path (the value name)
//   RegSetValueEx    handle (the key), s path (the value name), valueType,
//                    u32 size, the `size` bytes at `data`
//   RegEnumKeyEx     handle (the key), index, nameRoom, classRoom (each in
//                    characters), u32 0 (no write time asked)
//   RegEnumValue     handle (the key), index, nameRoom (characters),
//                    count (data buffer bytes)
//   CreateProcess    s path (program), s second (command line), u32 0 x3,
//                    flags (creation flags), u32 0 x3
//   GetSystemInfo    u32 1, u32 36, u32 0
//   GetSpecialFolderPath  handle (CSIDL), count (buffer length; SynCE's
//                    tools give bytes, so the device takes it as bytes)
//   RapiInvoke       handle (reserved), s path (library), s second (function),
//                    u32 size, the `size` bytes at `data`, flags (1: stream)
//   SetFileTime      handle, then per time (creation, access, write)
//                    u32 8 and the FILETIME when hasTime[i], else u32 0
//   GetSystemPowerStatusEx  flags (refresh)
//   GetVersionEx, GetStoreInformation: nothing
struct Request {
    uint32_t command = 0;
    std::wstring path, second;
    bool hasPath = false, hasSecond = false;  // false: an absent string (u32 0)
    uint32_t handle = 0;
    uint32_t count = 0;
    uint32_t flags = 0;
    uint32_t access = 0, share = 0, disposition = 0, attributes = 0, templateFile = 0;
    uint32_t distanceLow = 0, distanceHigh = 0, method = 0;
    bool hasHigh = false;
    bool hasTime[3] = {false, false, false};
    uint64_t times[3] = {0, 0, 0};
    const uint8_t *data = nullptr;  // the caller's bytes, or inside the frame read
    uint32_t size = 0;
    uint32_t index = 0, nameRoom = 0, classRoom = 0, valueType = 0;
};

// A reply's fields. After the last error (not sent by
// GetSystemPowerStatusEx), per command:
//   FindFirstFile    result (search handle), found (u32 560 + CE_FIND_DATA)
//   FindNextFile     result (BOOL), found
//   FindClose, CloseHandle, CreateDirectory, RemoveDirectory, DeleteFile,
//   MoveFile, SetFileTime                      result (BOOL)
//   GetFileAttributes                          result (attributes)
//   CreateFile                                 result (handle)
//   RegCloseKey, RegDeleteKey, RegDeleteValue,
//   RegSetValueEx                              result (error code)
//   FindAllFiles     result (unknown; 1), u32 count, entries: per entry,
//                    each only when the request's flags ask for it: u32
//                    name BYTES with the terminator, attributes, creation,
//                    access and write FILETIMEs, size high, size low, OID,
//                    then the name in UTF-16LE with its terminator
//   ReadFile         result (BOOL), u32 size, the bytes at `data`
//   WriteFile        result (BOOL), value (bytes written)
//   SetFilePointer   result (new position, low), [value (high) when the
//                    request had hasHigh]
//   GetFileSize      result (size, low), then u32 0 when the request had no
//                    hasHigh, else u32 1, u32 4, u32 hasValue, [value (high)]
//   GetFileTime      result (BOOL), numbers[0..2] (creation, access, write
//                    FILETIMEs, each u32 low, u32 high)
//   RegOpenKeyEx     result (error code), [value (the new key) when result is 0]
//   RegCreateKeyEx   result (error code); when 0: value (the new key),
//                    numbers[0] (disposition: 1 created, 2 opened) as a u32
//   RegQueryValueEx  result (error code); when 0: value (type), u32 size
//                    (the value's), then its bytes at `data` (none sent
//                    when `data` is null: a size query, count 0)
//   RegEnumKeyEx     result (error code); when 0: the name as u32 units and
//                    the units (`text`), then the class the same way (empty)
//   RegEnumValue     result (error code); when 0: the name as RegEnumKeyEx's,
//                    value (type), u32 size, the bytes at `data` as for
//                    RegQueryValueEx
// (A name's unit count is sent without its terminator, and the terminator
// is not sent; a reader takes a trailing NUL as the end of the name, since
// whether a device counts it is not known.)
//   GetVersionEx     result (BOOL), u32 size, the CEOSVERSIONINFO bytes at `data`
//   GetSystemInfo    the 36 SYSTEM_INFO bytes at `data` (no result)
//   GetSpecialFolderPath  result (units of text, no terminator), the units of `text`
//   CreateProcess    result (BOOL), the 16 PROCESS_INFORMATION bytes at `data`
//   RapiInvoke       result (HRESULT); when it is not negative: u32 size,
//                    the bytes at `data`
//   GetStoreInformation   result (BOOL), numbers[0] (store size), numbers[1]
//                    (free size), each a u32
//   GetDiskFreeSpaceEx    result (non-zero: done), numbers[0..2] (free to the
//                    caller, total, total free), each u32 low, u32 high
//   GetSystemPowerStatusEx  result (BOOL), the 24 bytes at `data` (no last error)
struct Reply {
    uint32_t lastError = 0;
    uint32_t result = 0;
    uint32_t value = 0;
    bool hasValue = false;
    FindData found;
    std::vector<FindData> entries;
    const uint8_t *data = nullptr;  // the device's bytes, or inside the frame read
    uint32_t size = 0;
    uint64_t numbers[3] = {0, 0, 0};
    std::wstring text;
};

// The request's body (the command code first); Frame() adds the length.
void WriteRequest(Writer *out, const Request &request);
// Reads a request body. False (the reader says why) for an unknown
// command, a string without its terminator, with a NUL inside or of an odd
// size, a size past the frame, a flag other than 0 or 1, or bytes left over.
bool ReadRequest(Reader *in, Request *request);

// The reply body to `request`.
void WriteReply(Writer *out, const Request &request, const Reply &reply);
// Reads the reply to `request`. Every count is checked before use: against
// the frame, and against what the request asked for (bytes read at most
// those wanted, written at most those sent, a registry value at most the
// buffer, find data at most 560 bytes, a version record at most 276, a
// folder path at most the buffer length, the fixed records exactly their
// size). Bytes after the fields are ignored.
bool ReadReply(Reader *in, const Request &request, Reply *reply);

// Strings and byte blocks (u32 size, then the bytes) alone, for anything
// beyond the table above.
void WriteString(Writer *out, const wchar_t *text);  // nullptr: absent
std::wstring ReadString(Reader *in, bool *present);
void WriteBlock(Writer *out, const uint8_t *data, uint32_t size);
const uint8_t *ReadBlock(Reader *in, uint32_t *size);  // a view inside the frame

}  // namespace rapi2
