// A simulated device for tests: a fresh image folder in a temporary folder,
// served by a device service on a thread of the test process, on the pipe
// that CEDEVICE_PIPE names (the pipe the stand-in rapi.dll reaches).
#pragma once

#include <windows.h>
#include <stdint.h>

#include <stdint.h>

#include <string>
#include <vector>

class Device;

class TestDevice {
public:
    // Creates the image from a built-in profile ("pocketpc", "hpc2000",
    // "hpcpro", "teshsize", "emulator", "wm5ppc", "wm6ppc"). The device is not plugged in yet.
    explicit TestDevice(const std::string &profile = "pocketpc");
    // Unplugs and deletes the image folder.
    ~TestDevice();
    TestDevice(const TestDevice &) = delete;
    TestDevice &operator=(const TestDevice &) = delete;

    // Starts / stops serving: plugging the device in and pulling it out.
    void Plug();
    void Unplug();
    // Also serves the remote API over TCP on a free port of a loopback
    // address (and, with a desktop "HOST:PORT", the control channel to it);
    // the port, or 0 when it cannot. Unplug ends it with the pipe.
    // A Windows Mobile profile speaks its own protocol: with a desktop it
    // docks to it from `address` (and gives the desktop's port), without
    // one it serves bare sessions on the free port.
    // kForgiving: the device calls the desktop again every few seconds
    // until answered and after each undocking (tests whose desktop listens
    // only later); as a real one, it calls when plugged and, for Windows
    // Mobile, on each trigger.
    enum class Docking { kAsReal, kForgiving };
    uint16_t ServeNetwork(const std::string &desktop = std::string(), const std::string &address = "127.0.0.1",
                          Docking docking = Docking::kAsReal);
    // The device model itself, for tests that feed it requests directly.
    Device &Model();

    const std::wstring &ImageFolder() const;

    // Device settings and faults, effective at once, docked or not.
    // Names: "refuse_startup" (0/1), "drop_after_calls" (N), "drop_after_bytes" (N),
    // "capacity" (bytes), "ignore_close" (0/1), "refuse_move" (error), "refuse_version" (error, over the
    // network), "refuse_listing" (error), "close_delay_ms" (N, default 300),
    // "no_ident" (0/1),
    // "origname" (text), "origname_type" ("string", "dword" or "missing"),
    // "special_folder_fail" (0/1), "invoke_result" (number), "version" ("3.0"),
    // "processor" (number).
    void SetFault(const std::string &name, const std::string &value);
    // The cable's speed in bytes per second (0: unlimited, the default).
    void SetLinkSpeed(uint64_t bytesPerSecond);
    // The link's delay per call in milliseconds (0, the default: none).
    void SetLinkLatency(uint32_t milliseconds);

    // Storage cards: a root folder carrying directory + temporary attributes.
    void InsertCard(const std::wstring &name);
    void RemoveCard(const std::wstring &name);

    // The device's contents, read and written in the image folder directly.
    bool Exists(const std::wstring &devicePath) const;
    std::string ReadFile(const std::wstring &devicePath) const;
    void WriteFile(const std::wstring &devicePath, const std::string &content);
    void MakeFolder(const std::wstring &devicePath);
    // Attributes, or INVALID_FILE_ATTRIBUTES when the item does not exist.
    DWORD Attributes(const std::wstring &devicePath) const;
    bool Times(const std::wstring &devicePath, FILETIME *creation, FILETIME *lastAccess, FILETIME *lastWrite) const;
    void SetTimes(const std::wstring &devicePath, const FILETIME &creation, const FILETIME &lastAccess,
                  const FILETIME &lastWrite);

    // Programs: start one by hand (as a user taps it), and ask what runs.
    bool StartProgram(const std::wstring &devicePath);
    // A program asked to close runs on for close_delay_ms (default 300).
    bool IsRunning(const std::wstring &devicePath) const;
    // Device handles (files, searches, keys, processes, threads) held open
    // by connected clients.
    size_t OpenHandleCount() const;

    // The service's log lines so far, one per device operation.
    std::vector<std::string> Log() const;

private:
    struct Impl;
    Impl *impl_;
};

// A loopback port nothing listens on now (for a desktop's port in tests).
uint16_t FreeLoopbackPort();
