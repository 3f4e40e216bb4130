// One remote API call over TCP: the request as the device's protocol lays it
// out (protocol/rapi1.h), the exchange with the device on the network link,
// and the checks on the reply. A device is a peer we do not control: every
// size and count it sends is checked against what the call asked for and
// against what its reply frame holds before anything is copied into the
// caller's records. A reply that does not hold together fails the call and
// drops the session (the stream can no longer be trusted).
#pragma once

#include <windows.h>
#include <stdint.h>

#include <vector>

#include "device/rapi_types.h"
#include "protocol/rapi1.h"
#include "rapi/network/wait.h"
#include "protocol/rapi2.h"

namespace netcall {

// Room for a reply's fixed fields (head, last error, result, counts).
const size_t kReplyFields = 64;
const size_t kSmallReply = 4096;

HANDLE ToHandle(uint32_t id);
uint32_t FromHandle(HANDLE handle);
// A key as the device knows it (its own HKEY_LOCAL_MACHINE, or one it opened).
uint32_t FromKey(HKEY key);
uint32_t U32At(const uint8_t *bytes);

rapi1::Writer Request(rapi1::Command command);

// A reply being read: the body and a reader placed after the head.
struct Reply {
    explicit Reply(const char *name) : call(name) {}
    const char *call;
    std::vector<uint8_t> body;
    rapi1::Reader in{nullptr, 0};
};

// The reply does not hold together: the call fails and the session goes.
bool Malformed(Reply &reply, const char *problem);

// Sends the request and reads the reply's head. False when the call
// failed: the link is down, the reply is malformed, or the device failed
// the call as a whole (its HRESULT then gives the last error).
// `whole`: the deadline of a call made of several round trips.
bool Exchange(const rapi1::Writer &request, size_t maxReply, Reply *reply, int trailingFrames = 0,
              const netwait::Deadline *whole = nullptr);

// Reads the last error most replies carry next.
void TakeLastError(Reply &reply);

// Ends reading a reply: false (and the session dropped) when it was cut short.
bool Complete(Reply &reply);

// A call whose reply is the last error and a BOOL.
BOOL FlagCall(rapi1::Writer &request, const char *call);

// A call on one or two paths whose reply is the last error and a BOOL.
BOOL PathsCall(rapi1::Command command, const char *call, LPCWSTR path, LPCWSTR second = nullptr);

// A CE_FIND_DATA: its byte count, then that many bytes of the record
// (at most the 560 of CE_FIND_DATA).
bool TakeFindData(Reply &reply, CE_FIND_DATA *found);
// The caller's record of find data the device sent.
void ToCeFindData(const rapi1::FindData &data, CE_FIND_DATA *found);

// The device's records as the caller's structures (the device's have
// 32-bit pointers; the host's may not). Shared by both protocols.
void ToCeFindData(const rapi1::FindData &data, CE_FIND_DATA *found);
// False when the record is shorter than CEOSVERSIONINFO's fixed fields.
bool ToVersionInfo(const uint8_t *bytes, uint32_t size, CEOSVERSIONINFO *info);
void ToSystemInfo(const uint8_t bytes[rapi1::kSystemInfoBytes], SYSTEM_INFO *info);
void ToProcessInformation(const uint8_t bytes[rapi1::kProcessInformationBytes], PROCESS_INFORMATION *info);

// An optional value in a reply that must, when it carries bytes, carry
// exactly `size` of them into `to` (when `to` is given).
bool TakeExactValue(Reply &reply, void *to, uint32_t size, bool *got);

// A call to a Windows Mobile 5/6 device (protocol/rapi2.h): its request,
// and its reply once read, whose views point into `body`.
struct Call2 {
    Call2(const char *name, uint32_t command) : call(name) { request.command = command; }
    const char *call;
    rapi2::Request request;
    rapi2::Reply reply;
    std::vector<uint8_t> body;
};

// Sends the request and reads the reply, checked against the request; the
// reply's last error becomes the session's. False when the link is down or
// the reply does not hold together (the session is then dropped).
bool Exchange2(Call2 &call, size_t maxReply);
// The reply does not hold together: the call fails and the session goes.
bool Malformed2(Call2 &call, const char *problem);

}  // namespace netcall
