// The device service under 10,000 seeded random request frames: noise,
// requests cut short or with bytes left over, requests with a damaged count or an unknown
// operation, and frames or fields above the limits. Each such frame must
// end its own link unanswered and change nothing; the service keeps
// serving the stand-in's session throughout, and the image stays as it was.
// Damage to the frame itself goes over the pipe; damage inside a request
// body goes over the pipe for one frame in ten and straight to the
// device's request handler (the one the pipe's sessions call) for the
// rest, which keeps the run short. The same seeded frames, built from the
// remote API's own requests, then go to the network transport, where an
// unknown command is refused (E_NOTIMPL) instead and the session goes on.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "model/host_files.h"
#include "model/text_util.h"
#include "protocol/rapi1.h"
#include "protocol/wire.h"
#include "device/rapi.h"
#include "model/device.h"
#include "serve/link_speed.h"
#include "serve/pipe_service.h"
#include "serve/pipe_translator.h"
#include "serve/rapi1_translator.h"
#include "tests/support/rapi1_client.h"
#include "tests/support/test_device.h"

namespace {

const int kFrames = 10000;
const uint32_t kSeed = 20261208;

using Bytes = std::vector<uint8_t>;

void PutU32(Bytes *bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutText(Bytes *bytes, const std::wstring &text) {
    PutU32(bytes, static_cast<uint32_t>(text.size()));
    for (wchar_t unit : text) {
        bytes->push_back(static_cast<uint8_t>(unit));
        bytes->push_back(static_cast<uint8_t>(unit >> 8));
    }
}

Bytes Framed(const Bytes &body) {
    Bytes frame;
    PutU32(&frame, static_cast<uint32_t>(body.size()));
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

// Complete, well-formed requests, including ones that would change the
// device: only ever sent cut short or damaged, so none may take effect.
struct Request {
    Bytes body;
    size_t countAt;  // where its first text or byte count sits
};

std::vector<Request> ChangingRequests(uint32_t heldHandle) {
    std::vector<Request> requests;
    auto request = [&](wire::Op op, const std::function<void(Bytes *)> &arguments) {
        Bytes body;
        PutU32(&body, op);
        arguments(&body);
        // A handle first (write, set times), else a text first.
        size_t countAt = op == wire::kWriteFile ? 8 : op == wire::kSetFileTime ? 0 : 4;
        requests.push_back(Request{body, countAt});
    };
    request(wire::kCreateDirectory, [](Bytes *b) { PutText(b, L"\\fuzz folder"); });
    request(wire::kDeleteFile, [](Bytes *b) { PutText(b, L"\\My Documents\\keep.txt"); });
    request(wire::kRemoveDirectory, [](Bytes *b) { PutText(b, L"\\Windows"); });
    request(wire::kMoveFile, [](Bytes *b) {
        PutText(b, L"\\My Documents\\keep.txt");
        PutText(b, L"\\moved.txt");
    });
    request(wire::kCreateFile, [](Bytes *b) {
        PutText(b, L"\\fuzz.txt");
        PutU32(b, GENERIC_WRITE);
        PutU32(b, 0);
        PutU32(b, CREATE_ALWAYS);
        PutU32(b, FILE_ATTRIBUTE_NORMAL);
    });
    request(wire::kWriteFile, [&](Bytes *b) {
        PutU32(b, heldHandle);
        PutU32(b, 5);
        for (char c : std::string("fuzz!")) b->push_back(static_cast<uint8_t>(c));
    });
    request(wire::kSetFileTime, [&](Bytes *b) {
        PutU32(b, heldHandle);
        PutU32(b, 7);
        for (int i = 0; i < 6; ++i) PutU32(b, 0);
    });
    request(wire::kCreateShortcut, [](Bytes *b) {
        PutText(b, L"\\fuzz.lnk");
        PutText(b, L"\\Windows\\x.exe");
    });
    request(wire::kCreateProcess, [](Bytes *b) { PutText(b, L"\\Windows\\x.exe"); });
    request(wire::kAdminSetFault, [](Bytes *b) {
        PutText(b, L"capacity");
        PutText(b, L"0");
    });
    request(wire::kAdminInsertCard, [](Bytes *b) { PutText(b, L"Fuzz Card"); });
    return requests;
}

// The same requests in the remote API's own encoding (rapi1.h).
std::vector<Request> NetworkChangingRequests(uint32_t heldHandle) {
    std::vector<Request> requests;
    auto request = [&](uint32_t command, size_t countAt, const std::function<void(rapi1::Writer *)> &arguments) {
        rapi1::Writer body;
        body.U32(command);
        arguments(&body);
        requests.push_back(Request{body.Body(), countAt});
    };
    request(rapi1::kCreateDirectory, 8, [](rapi1::Writer *w) {
        w->OptionalString(L"\\fuzz folder");
        w->Absent();
    });
    request(rapi1::kDeleteFile, 8, [](rapi1::Writer *w) { w->OptionalString(L"\\My Documents\\keep.txt"); });
    request(rapi1::kRemoveDirectory, 8, [](rapi1::Writer *w) { w->OptionalString(L"\\Windows"); });
    request(rapi1::kMoveFile, 8, [](rapi1::Writer *w) {
        w->OptionalString(L"\\My Documents\\keep.txt");
        w->OptionalString(L"\\moved.txt");
    });
    request(rapi1::kCreateFile, 28, [](rapi1::Writer *w) {
        for (uint32_t value : {static_cast<uint32_t>(GENERIC_WRITE), 0u, static_cast<uint32_t>(CREATE_ALWAYS),
                               static_cast<uint32_t>(FILE_ATTRIBUTE_NORMAL), 0u}) {
            w->U32(value);
        }
        w->String(L"\\fuzz.txt");
    });
    request(rapi1::kWriteFile, 12, [&](rapi1::Writer *w) {
        w->U32(heldHandle);
        w->InBuffer("fuzz!", 5);
        w->Absent();
    });
    request(rapi1::kSetFileTime, 12, [&](rapi1::Writer *w) {
        w->U32(heldHandle);
        const uint8_t zero[8] = {};
        for (int i = 0; i < 3; ++i) w->InBuffer(zero, 8);
    });
    request(rapi1::kSHCreateShortcut, 8, [](rapi1::Writer *w) {
        w->OptionalString(L"\\fuzz.lnk");
        w->OptionalString(L"\\Windows\\x.exe");
    });
    request(rapi1::kCreateProcess, 8, [](rapi1::Writer *w) {
        w->OptionalString(L"\\Windows\\x.exe");
        w->Absent();
        for (int i = 0; i < 7; ++i) w->U32(0);
        w->OutBuffer(rapi1::kProcessInformationBytes);
    });
    request(rapi1::kSetFileAttributes, 12, [](rapi1::Writer *w) {
        w->U32(FILE_ATTRIBUTE_READONLY);
        w->String(L"\\My Documents\\keep.txt");
    });
    return requests;
}

// What one random frame is.
enum Kind {
    kNoise,
    kCutShort,
    kLeftOver,
    kUnknownOperation,
    kCountTooLarge,
    kTextAboveLimit,
    kFrameAboveLimit,
    kFrameUnfinished,
    kKinds
};

class Fuzzer {
public:
    // `network`: the remote API's requests, codes and limits, not the pipe's.
    Fuzzer(std::vector<Request> requests, bool network)
        : random_(kSeed), requests_(std::move(requests)), network_(network) {}

    // The bytes to send; `unfinished` when the frame announces more than is sent.
    Bytes Next(Kind kind) {
        switch (kind) {
        case kNoise:
            return RandomBytes(1 + Below(600));  // its first four bytes are a random length
        case kCutShort: {
            const Bytes &whole = Pick().body;
            return Framed(Bytes(whole.begin(), whole.begin() + static_cast<long>(Below(static_cast<uint32_t>(whole.size())))));
        }
        case kLeftOver: {
            // A whole request with bytes after it.
            Bytes body = Pick().body;
            Bytes rest = RandomBytes(1 + Below(40));
            body.insert(body.end(), rest.begin(), rest.end());
            return Framed(body);
        }
        case kUnknownOperation: {
            Bytes body;
            uint32_t op = Below(2) ? wire::kMoveFile + 1 + Below(70) : wire::kAdminStartProgram + 1 + Below(0xFFFFFF00u);
            // Codes the device does not serve: the database calls, and past the last.
            if (network_) op = op <= wire::kMoveFile + 70 ? 0x0a + op % 11 : rapi1::kRapiInvoke + 1 + op % 0xFFFFFF00u;
            PutU32(&body, op);
            Bytes rest = RandomBytes(Below(200));
            body.insert(body.end(), rest.begin(), rest.end());
            return Framed(body);
        }
        case kCountTooLarge: {
            // A text or byte count that runs past the end of the request.
            Request request = Pick();
            while (request.countAt == 0) request = Pick();
            Bytes &body = request.body;
            uint32_t room = static_cast<uint32_t>(body.size() - request.countAt - 4);
            uint32_t count = room + 1 + Below(1000);  // in units or bytes: too many either way
            for (int i = 0; i < 4; ++i) body[request.countAt + i] = static_cast<uint8_t>(count >> (8 * i));
            return Framed(body);
        }
        case kTextAboveLimit: {
            Bytes body;
            PutU32(&body, Below(2) ? wire::kCreateDirectory : wire::kDeleteFile);
            uint32_t units = wire::kMaxTextUnits + 1 + Below(1000);
            if (network_) {
                body.clear();
                PutU32(&body, rapi1::kGetFileAttributes);
                PutU32(&body, 1);
                units = rapi1::kMaxStringUnits + 1 + units % 1000;
            }
            PutU32(&body, units);
            Bytes text = RandomBytes(units * 2);
            body.insert(body.end(), text.begin(), text.end());
            return Framed(body);
        }
        case kFrameAboveLimit: {
            Bytes frame;
            PutU32(&frame, (network_ ? rapi1::kMaxFrameBytes : wire::kMaxFrameBytes) + 1 + Below(0x7FFFFFFFu));
            Bytes rest = RandomBytes(Below(64));
            frame.insert(frame.end(), rest.begin(), rest.end());
            return frame;
        }
        case kFrameUnfinished:
        default: {
            // A whole request announced, part of it sent, then the client goes.
            Bytes frame = Framed(Pick().body);
            frame.resize(4 + Below(static_cast<uint32_t>(frame.size() - 4)));
            return frame;
        }
        }
    }
    uint32_t Below(uint32_t bound) { return bound ? static_cast<uint32_t>(random_() % bound) : 0; }

private:
    Bytes RandomBytes(size_t count) {
        Bytes bytes(count);
        for (uint8_t &byte : bytes) byte = static_cast<uint8_t>(random_());
        return bytes;
    }
    const Request &Pick() { return requests_[Below(static_cast<uint32_t>(requests_.size()))]; }

    std::mt19937 random_;
    std::vector<Request> requests_;
    bool network_;
};

HANDLE OpenRawLink() {
    std::wstring name = wire::PipeNameFromEnvironment();
    for (int attempt = 0; attempt < 500; ++attempt) {
        HANDLE pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) return pipe;
        WaitNamedPipeW(name.c_str(), 20);
    }
    return INVALID_HANDLE_VALUE;
}

// True when the service ends the link without answering (a blocking read
// returns as soon as the service closes its end).
bool EndedUnanswered(HANDLE pipe) {
    uint8_t byte;
    DWORD got = 0;
    return !ReadFile(pipe, &byte, 1, &got, nullptr) || got == 0;
}

// Every file of the image folder (store, meta.txt, faults, cards) with its content.
void ReadImage(const std::wstring &folder, std::map<std::wstring, std::string> *files) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring path = folder + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            (*files)[path + L"\\"] = "";
            ReadImage(path, files);
        } else {
            ReadHostFile(path, &(*files)[path]);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// A device image of its own, served on the pipe CEDEVICE_PIPE names; the
// test reaches its request handler directly as well.
class ServedImage {
public:
    ServedImage() {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder_ = std::wstring(temp) + L"tesh-fuzz-" + std::to_wstring(GetCurrentProcessId());
        DeleteHostTree(folder_);
        CreateDirectoryW(folder_.c_str(), nullptr);
        std::string error;
        if (!Device::CreateImage(folder_ + L"\\image", "pocketpc", &error) ||
            !(device_ = Device::Load(folder_ + L"\\image", &error))) {
            ADD_FAILURE() << error;
            return;
        }
        service_.reset(new PipeService(*device_, link_, wire::PipeNameFromEnvironment()));
        if (!service_->Start(&error)) ADD_FAILURE() << error;
    }
    ~ServedImage() {
        service_.reset();
        device_.reset();
        DeleteHostTree(folder_);
    }
    Device &device() { return *device_; }
    LinkSpeed &link() { return link_; }

private:
    std::wstring folder_;
    std::unique_ptr<Device> device_;
    LinkSpeed link_;
    std::unique_ptr<PipeService> service_;
};

TEST(ServiceFuzz, TenThousandRandomFramesChangeNothingAndServingGoesOn) {
    ServedImage served;
    ASSERT_TRUE(served.device().WriteContent(L"\\My Documents\\keep.txt", "must survive"));
    ASSERT_TRUE(served.device().WriteContent(L"\\Windows\\x.exe", "a program that opens no window"));
    RAPIINIT init{sizeof init, nullptr, 0};
    ASSERT_TRUE(SUCCEEDED(CeRapiInitEx(&init)));
    ASSERT_EQ(WaitForSingleObject(init.heRapiInit, 10000), WAIT_OBJECT_0);
    // A file the stand-in's own session holds open all along.
    HANDLE held = CeCreateFile(L"\\My Documents\\held.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::map<std::wstring, std::string> before;
    ReadImage(served.device().Image(), &before);

    Fuzzer fuzzer(ChangingRequests(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(held))), false);
    int counts[kKinds] = {};
    int answered = 0, overPipe = 0;
    uint32_t session = served.device().OpenSession();
    for (int frame = 0; frame < kFrames; ++frame) {
        Kind kind = static_cast<Kind>(fuzzer.Below(kKinds));
        Bytes bytes = fuzzer.Next(kind);
        ++counts[kind];
        bool frameDamage = kind == kNoise || kind == kFrameAboveLimit || kind == kFrameUnfinished;
        if (!frameDamage && frame % 10 != 0) {
            // Straight to the handler: the body after the length.
            wire::Writer answer;
            if (ServePipeRequest(served.device(), served.link(), session, bytes.data() + 4, bytes.size() - 4, &answer) !=
                ServeOutcome::kDrop) {
                ++answered;
            }
            served.device().CloseSession(session);
            session = served.device().OpenSession();
            continue;
        }
        ++overPipe;
        HANDLE pipe = OpenRawLink();
        ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << "the service stopped taking links at frame " << frame;
        DWORD sent = 0;
        WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &sent, nullptr);
        // Noise may announce more than it holds, and an unfinished frame
        // does: the client gives up and goes.
        if (kind != kNoise && kind != kFrameUnfinished && !EndedUnanswered(pipe)) ++answered;
        CloseHandle(pipe);
        // The stand-in's session is served all along.
        if (overPipe % 200 == 0) {
            FILETIME creation, access, write;
            ASSERT_TRUE(CeGetFileTime(held, &creation, &access, &write)) << "the stand-in lost its link at " << frame;
        }
    }
    served.device().CloseSession(session);
    EXPECT_EQ(answered, 0) << "malformed frames were answered";
    std::map<std::wstring, std::string> after;
    ReadImage(served.device().Image(), &after);
    EXPECT_TRUE(before == after) << "the image changed";
    DWORD written = 0;
    EXPECT_TRUE(CeWriteFile(held, "still served", 12, &written, nullptr));
    CeCloseHandle(held);
    CeRapiUninit();
    printf("service fuzz: %d frames, %d over the pipe (noise %d, cut short %d, left-over bytes %d, unknown operation %d, count too "
           "large %d, text above the limit %d, frame above the limit %d, unfinished %d)\n",
           kFrames, overPipe, counts[kNoise], counts[kCutShort], counts[kLeftOver], counts[kUnknownOperation], counts[kCountTooLarge],
           counts[kTextAboveLimit], counts[kFrameAboveLimit], counts[kFrameUnfinished]);
}

// The reply refusing an unknown command: result_1 = 1, E_NOTIMPL.
const rapi1::Writer &Refusal() {
    static rapi1::Writer refusal = [] {
        rapi1::Writer writer;
        writer.Failed(rapi1::kENotImpl);
        return writer;
    }();
    return refusal;
}

TEST(ServiceFuzz, TheSameFramesOnTheNetworkChangeNothingAndServingGoesOn) {
    TestDevice device("pocketpc");
    device.WriteFile(L"\\My Documents\\keep.txt", "must survive");
    device.WriteFile(L"\\Windows\\x.exe", "a program that opens no window");
    uint16_t port = device.ServeNetwork();
    ASSERT_NE(port, 0);
    // A session of its own holds a file open all along.
    Rapi1Client served;
    ASSERT_TRUE(served.Connect(port));
    uint32_t held = served.CreateFile(L"\\My Documents\\held.txt", GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(held, rapi1::kInvalidHandle);
    std::map<std::wstring, std::string> before;
    ReadImage(device.ImageFolder(), &before);

    Fuzzer fuzzer(NetworkChangingRequests(held), true);
    Device &model = device.Model();
    int counts[kKinds] = {};
    int answered = 0, refused = 0, overNetwork = 0;
    uint32_t session = model.OpenSession();
    for (int frame = 0; frame < kFrames; ++frame) {
        Kind kind = static_cast<Kind>(fuzzer.Below(kKinds));
        Bytes bytes = fuzzer.Next(kind);
        ++counts[kind];
        bool frameDamage = kind == kNoise || kind == kFrameAboveLimit || kind == kFrameUnfinished;
        if (!frameDamage && frame % 10 != 0) {
            Bytes reply;
            if (ServeRapi1Request(model, session, bytes.data() + 4, bytes.size() - 4, &reply) == ServeOutcome::kAnswer) {
                ++(reply == Refusal().Frame() && kind == kUnknownOperation ? refused : answered);
            }
            model.CloseSession(session);
            session = model.OpenSession();
            continue;
        }
        ++overNetwork;
        Rapi1Client client;
        ASSERT_TRUE(client.Connect(port)) << "the device stopped taking sessions at frame " << frame;
        client.SendBytes(bytes);
        if (kind == kUnknownOperation) {
            Bytes body;
            EXPECT_TRUE(client.ReceiveFrame(&body) && body == Refusal().Body())
                << "an unknown command is refused, frame " << frame;
            ++refused;
        } else if (kind != kNoise && kind != kFrameUnfinished && !client.EndedUnanswered()) {
            ++answered;
        }
        if (overNetwork % 200 == 0) {
            ASSERT_EQ(served.GetFileAttributes(L"\\My Documents"), static_cast<uint32_t>(FILE_ATTRIBUTE_DIRECTORY))
                << "the served session lost its link at " << frame;
        }
    }
    model.CloseSession(session);
    EXPECT_EQ(answered, 0) << "malformed frames were answered";
    EXPECT_EQ(refused, counts[kUnknownOperation]) << "every unknown command is refused, and only those";
    std::map<std::wstring, std::string> after;
    ReadImage(device.ImageFolder(), &after);
    EXPECT_TRUE(before == after) << "the image changed";
    EXPECT_TRUE(served.WriteFile(held, "still served", 12));
    EXPECT_TRUE(served.CloseHandle(held));
    printf("network fuzz: %d frames, %d over TCP, %d unknown commands refused\n", kFrames, overNetwork, refused);
}

}  // namespace
