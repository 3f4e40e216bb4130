// Serves a device on a named pipe: one thread listens, one thread per
// connected client runs its session. Stopping it is pulling the device
// out: listening ends and every open session breaks.
#pragma once

#include <windows.h>

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class Device;
class LinkSpeed;

class PipeService {
public:
    // Every request and its answer cross `link`, the device's one cable.
    PipeService(Device &device, LinkSpeed &link, const std::wstring &pipeName);
    ~PipeService();
    PipeService(const PipeService &) = delete;
    PipeService &operator=(const PipeService &) = delete;

    // Returns once the pipe exists, so a client can connect at once.
    // False (and why) when the pipe cannot be made, e.g. another service
    // holds its name.
    bool Start(std::string *error);
    void Stop();
    bool Serving() const { return stop_ != nullptr; }

private:
    struct Session {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    HANDLE NewInstance(bool first);
    void Listen(HANDLE pipe);
    void RunSession(HANDLE pipe, std::shared_ptr<std::atomic<bool>> done);
    void ReapSessions(bool all);

    Device &device_;
    LinkSpeed &link_;
    std::wstring pipeName_;
    HANDLE stop_ = nullptr;  // manual-reset: set while stopping
    std::thread listener_;
    std::mutex sessionsLock_;
    std::list<Session> sessions_;
};
