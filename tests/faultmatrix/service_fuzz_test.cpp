// The device service under 10,000 seeded random request frames: noise,
// requests cut short or with bytes left over, requests with a damaged count or an unknown
// operation, and frames or fields above the limits. Each such frame must
// end its own link unanswered and change nothing; the service keeps
// serving the stand-in's session throughout, and the image stays as it was.
// Damage to the frame itself goes over the pipe; damage inside a request
// body goes over the pipe for one frame in ten and straight to the
// device's request handler (the one the pipe's sessions call) for the
// rest, which keeps the run short.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/host_files.h"
#include "core/text_util.h"
#include "core/wire.h"
#include "device/rapi.h"
#include "core/device.h"
#include "core/pipe_service.h"

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
    explicit Fuzzer(uint32_t heldHandle) : random_(kSeed), requests_(ChangingRequests(heldHandle)) {}

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
            PutU32(&body, units);
            Bytes text = RandomBytes(units * 2);
            body.insert(body.end(), text.begin(), text.end());
            return Framed(body);
        }
        case kFrameAboveLimit: {
            Bytes frame;
            PutU32(&frame, wire::kMaxFrameBytes + 1 + Below(0x7FFFFFFFu));
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
        service_.reset(new PipeService(*device_, wire::PipeNameFromEnvironment()));
        if (!service_->Start(&error)) ADD_FAILURE() << error;
    }
    ~ServedImage() {
        service_.reset();
        device_.reset();
        DeleteHostTree(folder_);
    }
    Device &device() { return *device_; }

private:
    std::wstring folder_;
    std::unique_ptr<Device> device_;
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

    Fuzzer fuzzer(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(held)));
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
            if (served.device().Serve(session, bytes.data() + 4, bytes.size() - 4, &answer) !=
                Device::Outcome::kDrop) {
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

}  // namespace
