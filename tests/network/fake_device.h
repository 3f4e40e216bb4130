// A tiny stand-in for a networked handheld, inside the test process on
// loopback: it serves a remote API port whose every reply is scripted, and
// can dock to a listening desktop with a scripted greeting. It lets the
// tests send the stand-in rapi.dll replies no honest device would send.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Little-endian building blocks for scripted bytes.
void PutU32(Bytes *bytes, uint32_t value);
void PutUnits(Bytes *bytes, const std::wstring &text, bool terminator);
Bytes Frame(const Bytes &body);
// A docking device's greeting: the length, then an information block of
// `size` bytes whose three strings sit at the given offsets (a string is
// written only where it fits).
Bytes InfoBlock(uint32_t size, uint32_t nameAt, uint32_t platformAt, uint32_t modelAt, bool terminated = true);
Bytes GoodInfoBlock();

// A Windows Mobile device's information block, laid out by hand: a name
// of `nameUnits` characters, the password key, nothing after it.
Bytes Wm5Block(uint32_t key, uint32_t nameUnits = 3);
// Its whole greeting: the words 0, 6 and 4, the block's length, the block.
Bytes Wm5Greeting(const Bytes &block);
Bytes Words(std::initializer_list<uint32_t> words);

// The stand-in's message boxes about the device shown by this process;
// with `close`, each is told to close. CloseBoxes waits until none is left.
int Boxes(bool close);
void CloseBoxes();

// A free loopback port (bound once, then released).
uint16_t FreePort();

class FakeDevice {
public:
    // Answers one request body with the bytes to send back (a whole frame,
    // or anything else); an empty answer closes the connection.
    using Script = std::function<Bytes(const Bytes &request)>;
    // Plays a whole session on its socket as it likes, until `stop` is set.
    using Session = std::function<void(SOCKET session, const std::atomic<bool> &stop)>;

    FakeDevice();
    ~FakeDevice();
    FakeDevice(const FakeDevice &) = delete;
    FakeDevice &operator=(const FakeDevice &) = delete;

    // Serves the remote API port (127.0.0.1, a free port) with the script.
    // With greetingBytes, each session first reads that many bytes (a
    // password) and answers them with the byte 1.
    void Serve(Script script, size_t greetingBytes = 0);
    // Serves the port with a session of its own; receiveBuffer, when not 0,
    // is the sessions' receive buffer size (small: the device soon stops
    // taking what is sent).
    void ServeRaw(Session session, int receiveBuffer = 0);
    // What the last session sent before its first request.
    Bytes Greeting() const;
    uint16_t RapiPort() const { return rapiPort_; }
    // The command codes of the requests received so far.
    std::vector<uint32_t> Commands() const;

    // Docks to the desktop's control port: sends the greeting, then echoes
    // pings when `echo` is set. False when the desktop does not listen.
    bool Dock(uint16_t desktopPort, const Bytes &greeting, bool echo = true, const char *from = "127.0.0.1");
    // True when the desktop closes the control channel within timeoutMs.
    bool ClosedWithin(DWORD timeoutMs);
    // Reads up to `count` bytes the desktop sent on the control channel
    // (without an echoing device only).
    Bytes ControlReceived(size_t count, DWORD timeoutMs);
    bool SendControl(const Bytes &bytes);
    void Undock();
    // A docked Windows Mobile device: reads the desktop's session request
    // (5, 4, id) on the control connection, opens the session to the
    // desktop's port with the id plus `idDelta` as its first word, and
    // serves the script on it; pings (1) are echoed with 2 from then on.
    // False when no request came within timeoutMs.
    bool ServeSession2(uint16_t desktopPort, Script script, DWORD timeoutMs, uint32_t idDelta = 0);
    // True when the desktop closes the session connection within timeoutMs.
    bool SessionClosedWithin(DWORD timeoutMs);
    // The request bodies received so far.
    std::vector<Bytes> Requests() const;

private:
    void ServeLoop(Script script, size_t greetingBytes);
    void ServeSession(SOCKET session, const Script &script);
    void Listen(int receiveBuffer);
    SOCKET listener_ = INVALID_SOCKET;
    SOCKET control_ = INVALID_SOCKET;
    uint16_t rapiPort_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> undocking_{false};
    std::thread server_;
    std::thread echoer_;
    mutable CRITICAL_SECTION lock_;
    std::vector<uint32_t> commands_;
    std::vector<Bytes> requests_;
    std::atomic<bool> sessionEnded_{false};
    Bytes greeting_;
};
