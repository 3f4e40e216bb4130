// Waiting on handles while window messages keep flowing.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "device/message_wait.h"

namespace {

class Event {
public:
    Event() : handle_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Event() { CloseHandle(handle_); }
    HANDLE get() const { return handle_; }
    void Set() { SetEvent(handle_); }

private:
    HANDLE handle_;
};

// A message-only window on the waiting thread. Its procedure counts the
// messages it is given and, on kSignalMessage, sets the event named in the
// message, so a test can see that a message was dispatched by the wait.
const UINT kSignalMessage = WM_APP + 1;
const UINT kCountMessage = WM_APP + 2;
std::atomic<int> g_dispatched{0};

LRESULT CALLBACK ReceiverProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kSignalMessage) {
        ++g_dispatched;
        SetEvent(reinterpret_cast<HANDLE>(lParam));
        return 0;
    }
    if (message == kCountMessage) {
        ++g_dispatched;
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

class Receiver {
public:
    Receiver() {
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = ReceiverProc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = "MessageWaitReceiver";
        RegisterClassA(&windowClass);
        window_ = CreateWindowA("MessageWaitReceiver", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
        g_dispatched = 0;
    }
    ~Receiver() { DestroyWindow(window_); }
    HWND get() const { return window_; }

private:
    HWND window_;
};

TEST(WaitWithMessages, ReturnsTheLowestSignalledIndex) {
    const struct {
        bool signalled[3];
        DWORD expected;
    } cases[] = {
        {{true, false, false}, 0},
        {{false, true, false}, 1},
        {{false, false, true}, 2},
        {{false, true, true}, 1},
        {{true, true, true}, 0},
    };
    for (const auto &c : cases) {
        Event events[3];
        HANDLE handles[3];
        for (int i = 0; i < 3; ++i) {
            if (c.signalled[i]) events[i].Set();
            handles[i] = events[i].get();
        }
        EXPECT_EQ(WaitWithMessages(3, handles, 1000), c.expected);
        EXPECT_EQ(WaitWithMessages(3, handles, INFINITE), c.expected);
    }
}

TEST(WaitWithMessages, TimesOutWhenNothingIsSignalled) {
    Event event;
    HANDLE handle = event.get();
    const DWORD start = GetTickCount();
    EXPECT_EQ(WaitWithMessages(1, &handle, 300), static_cast<DWORD>(WAIT_TIMEOUT));
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 280u);
    EXPECT_LT(elapsed, 3000u);
}

TEST(WaitWithMessages, AnUnlimitedWaitEndsWhenAnotherThreadSignals) {
    Event event;
    HANDLE handle = event.get();
    std::thread signaller([&] {
        Sleep(200);
        event.Set();
    });
    EXPECT_EQ(WaitWithMessages(1, &handle, INFINITE), 0u);
    signaller.join();
}

// The event is set only by the window procedure, so the wait can end only
// if it dispatched the posted message itself.
TEST(WaitWithMessages, DispatchesMessagesWhileWaiting) {
    for (DWORD limit : {static_cast<DWORD>(INFINITE), static_cast<DWORD>(5000)}) {
        Receiver receiver;
        Event event;
        HANDLE handle = event.get();
        HWND window = receiver.get();
        std::thread poster([&] {
            Sleep(100);
            PostMessageA(window, kSignalMessage, 0, reinterpret_cast<LPARAM>(handle));
        });
        EXPECT_EQ(WaitWithMessages(1, &handle, limit), 0u) << "limit " << limit;
        EXPECT_EQ(g_dispatched, 1);
        poster.join();
    }
}

// Messages that keep arriving do not stretch a limited wait: the time left
// is always counted from the start.
TEST(WaitWithMessages, MessagesDoNotStretchTheLimit) {
    Receiver receiver;
    Event event;
    HANDLE handle = event.get();
    HWND window = receiver.get();
    std::atomic<bool> stop{false};
    // Posts for at most 4 s, so a wait that restarted its limit on every
    // message would end late instead of never.
    std::thread poster([&] {
        for (int i = 0; i < 200 && !stop; ++i) {
            PostMessageA(window, kCountMessage, 0, 0);
            Sleep(20);
        }
    });
    const DWORD start = GetTickCount();
    const DWORD result = WaitWithMessages(1, &handle, 400);
    const DWORD elapsed = GetTickCount() - start;
    stop = true;
    poster.join();
    EXPECT_GE(result, 1u) << "no handle was signalled";
    EXPECT_NE(result, static_cast<DWORD>(WAIT_FAILED));
    EXPECT_GE(elapsed, 380u);
    EXPECT_LT(elapsed, 3000u);
    EXPECT_GT(g_dispatched, 3);
}

// A time left of exactly 0 still gets one more wait of 0 ms. With a limit
// of 0, a waiting message wakes the first wait; its dispatch signals the
// handle, and within the same millisecond the time left is exactly 0, so
// the wait that follows finds the handle signalled. A millisecond may pass
// now and then (often on a loaded machine), so the case is repeated, for
// up to 10 s, until three runs were exact.
TEST(WaitWithMessages, ATimeLeftOfExactlyZeroGetsOneMoreWait) {
    Receiver receiver;
    int exactRuns = 0;
    const DWORD start = GetTickCount();
    for (int run = 0; GetTickCount() - start < 10000 && exactRuns < 3; ++run) {
        Event event;
        HANDLE handle = event.get();
        PostMessageA(receiver.get(), kSignalMessage, 0, reinterpret_cast<LPARAM>(handle));
        const DWORD before = GetTickCount();
        const DWORD result = WaitWithMessages(1, &handle, 0);
        if (GetTickCount() != before) continue;
        ++exactRuns;
        EXPECT_EQ(result, 0u) << "run " << run;
    }
    EXPECT_GT(exactRuns, 0);
}

TEST(WaitWithMessages, AHandleThatCannotBeWaitedOnFails) {
    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7ffffff0));
    EXPECT_EQ(WaitWithMessages(1, &bogus, 1000), static_cast<DWORD>(WAIT_FAILED));
}

}  // namespace
