#include "rapi/startup.h"

namespace rapistartup {

HRESULT Launch(Startup &startup, RAPIINIT *record, LPTHREAD_START_ROUTINE work) {
    startup.startupEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    startup.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    startup.record = record;
    startup.ending = false;
    ++startup.generation;
    record->heRapiInit = startup.startupEvent;
    record->hrRapiInit = E_PENDING;
    startup.worker = startup.startupEvent && startup.stopEvent
                         ? CreateThread(nullptr, 0, work, nullptr, 0, nullptr)
                         : nullptr;
    if (!startup.worker) {
        if (startup.startupEvent) CloseHandle(startup.startupEvent);
        if (startup.stopEvent) CloseHandle(startup.stopEvent);
        startup.startupEvent = startup.stopEvent = nullptr;
        startup.record = nullptr;
        record->heRapiInit = nullptr;
        return E_OUTOFMEMORY;
    }
    startup.started = true;
    return S_OK;
}

void Report(Startup &startup, HRESULT result) {
    startup.record->hrRapiInit = result;
    SetEvent(startup.startupEvent);
}

HRESULT End(Startup &startup, const EndHooks &hooks) {
    HANDLE worker = nullptr;
    uint64_t generation = 0;
    {
        SectionGuard lock(startup.state);
        if (!startup.started) return S_OK;
        startup.ending = true;
        SetEvent(startup.stopEvent);
        generation = startup.generation;
        hooks.wake();
        // Our own handle to wait on: another thread's end may close the
        // start-up's one meanwhile.
        DuplicateHandle(GetCurrentProcess(), startup.worker, GetCurrentProcess(), &worker, SYNCHRONIZE, FALSE, 0);
    }
    if (worker) {
        WaitForSingleObject(worker, INFINITE);
        CloseHandle(worker);
    }
    SectionGuard calls(startup.calls);
    SectionGuard lock(startup.state);
    if (!startup.started || startup.generation != generation) return S_OK;  // ended by another thread
    hooks.release();
    CloseHandle(startup.worker);
    CloseHandle(startup.stopEvent);
    CloseHandle(startup.startupEvent);
    startup.worker = startup.stopEvent = startup.startupEvent = nullptr;
    startup.record = nullptr;
    startup.started = false;
    return S_OK;
}

}  // namespace rapistartup
