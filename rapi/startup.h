// What the pipe and the network links share: the start-up that
// CeRapiInitEx begins (the caller's record and event, and a worker thread
// that looks for the device) and its end in CeRapiUninit, which may come
// from any thread, while the worker still looks or long after it found
// the device.
#pragma once

#include <windows.h>
#include <stdint.h>

#include "device/rapi_types.h"
#include "rapi/section_lock.h"

namespace rapistartup {

const HRESULT kAlreadyStarted = static_cast<HRESULT>(0x80041001);  // CERAPI_E_ALREADYINITIALIZED

struct Startup {
    SectionLock state;        // guards these fields and the link's own
    SectionLock calls;        // one round trip at a time
    bool started = false;     // between the start-up and its end
    bool ending = false;      // the end is stopping the worker
    uint64_t generation = 0;  // counts start-ups
    RAPIINIT *record = nullptr;
    HANDLE startupEvent = nullptr;  // handed to the caller; ours to close
    HANDLE stopEvent = nullptr;     // every wait of the worker also watches it
    HANDLE worker = nullptr;
};

// With `state` held: makes the events, hands the caller its event and
// starts `work`. E_OUTOFMEMORY, with nothing left open, when the thread
// cannot start.
HRESULT Launch(Startup &startup, RAPIINIT *record, LPTHREAD_START_ROUTINE work);

// With `state` held, from the worker: the start-up's result goes into the
// caller's record and its event is set.
void Report(Startup &startup, HRESULT result);

// The link's own part of an end: `wake` runs with `state` held once the
// worker was told to stop (to interrupt a call, say); `release` runs with
// `calls` and `state` held after the worker has ended, and closes what the
// link holds.
struct EndHooks {
    void (*wake)();
    void (*release)();
};

// Stops the worker, waits for it, then releases everything, unless there
// is no start-up or another thread's end came first.
HRESULT End(Startup &startup, const EndHooks &hooks);

}  // namespace rapistartup
