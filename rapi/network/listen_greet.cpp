// The listener's greeting threads: one per docking connection, all of them
// counted, and each ended at once when it must make way.
#include "rapi/network/listener.h"

#include "rapi/call_log.h"
#include "rapi/network/listen.h"
#include "rapi/network/wait.h"

namespace netlisten {

namespace {

using netwait::Describe;
using netwait::DescribeHost;

struct GreetingJob {
    Listener *listener;
    SOCKET socket;
    HANDLE stop;
    bool rapi2;  // it came to the Windows Mobile port
};

DWORD WINAPI GreetOne(void *parameter) {
    GreetingJob job = *static_cast<GreetingJob *>(parameter);
    delete static_cast<GreetingJob *>(parameter);
    Listener &l = *job.listener;
    netdock::Docked docked;
    Greeted greeted = Greeted::kFailed;
    if (job.rapi2) {
        greeted = GreetWm5(l, job.socket, job.stop, &docked);
    } else if (netdock::Greet(job.socket, l.devicePort, job.stop, &docked)) {
        greeted = Greeted::kDocked;
    }
    {
        SectionGuard guard(l.lock);
        if (greeted != Greeted::kHandedOver) {
            Forget(l, job.socket);
            if (greeted == Greeted::kDocked && !netwait::Stopping(l.quit)) {
                l.arrived.push_back(docked);
                SetEvent(l.wake);
            } else {
                closesocket(job.socket);
                netwait::CloseSocket(&docked.session);
            }
        }
        --l.greeters;
    }
    CloseHandle(job.stop);
    Release(&l);
    return 0;
}

size_t GreetingsFrom(const Listener &l, in_addr from) {
    size_t count = 0;
    for (const Greeting &greeting : l.greeting) {
        if (!greeting.madeWay && greeting.from.s_addr == from.s_addr) ++count;
    }
    return count;
}

// Makes room for one more greeting (with `lock` held): beyond
// kMaxGreetings the oldest greeting from the address greeted most often
// ends at once.
void MakeWay(Listener &l) {
    Greeting *ended = nullptr;
    size_t going = 0, most = 0;
    for (Greeting &greeting : l.greeting) {
        if (greeting.madeWay) continue;
        ++going;
        size_t count = GreetingsFrom(l, greeting.from);
        if (count > most) {
            most = count;
            ended = &greeting;
        }
    }
    if (going < kMaxGreetings || !ended) return;
    ended->madeWay = true;
    SetEvent(ended->stop);
    calllog::Event("too many greetings at once: the oldest from %s made way", DescribeHost(ended->from).c_str());
}

}  // namespace

void StartGreeting(Listener &l, SOCKET socket, const sockaddr_in &from, bool rapi2) {
    calllog::Event(rapi2 ? "a connection to the Windows Mobile port from %s" : "a device docks from %s",
                   Describe(from).c_str());
    SectionGuard guard(l.lock);
    MakeWay(l);
    HANDLE stop = l.greeters < kMaxGreeters ? CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr;
    GreetingJob *job = stop ? new GreetingJob{&l, socket, stop, rapi2} : nullptr;
    Hold(&l);
    HANDLE thread = job ? CreateThread(nullptr, 0, GreetOne, job, 0, nullptr) : nullptr;
    if (!thread) {
        if (l.greeters >= kMaxGreeters) {
            calllog::Event("%u greetings still ending: the connection from %s closed unread",
                           static_cast<unsigned>(l.greeters), Describe(from).c_str());
        }
        delete job;
        if (stop) CloseHandle(stop);
        closesocket(socket);
        InterlockedDecrement(&l.holders);  // the caller still holds it
        return;
    }
    Greeting greeting;
    greeting.socket = socket;
    greeting.stop = stop;
    greeting.from = from.sin_addr;
    l.greeting.push_back(greeting);
    ++l.greeters;
    CloseHandle(thread);
}

void Forget(Listener &l, SOCKET socket) {
    for (size_t i = 0; i < l.greeting.size(); ++i) {
        if (l.greeting[i].socket != socket) continue;
        l.greeting.erase(l.greeting.begin() + static_cast<std::ptrdiff_t>(i));
        return;
    }
}

void EndGreetings(Listener &l) {
    for (Greeting &greeting : l.greeting) {
        greeting.madeWay = true;
        SetEvent(greeting.stop);
    }
}

}  // namespace netlisten
