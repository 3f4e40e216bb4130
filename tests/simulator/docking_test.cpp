// Docking: the start-up that CeRapiInitEx begins, plugging the device in
// while it waits, a refused start-up, ending a pending start-up, and
// unplugging.
#include <atomic>
#include <thread>

#include "protocol/wire.h"
#include "tests/simulator/docked.h"
#include "tests/support/rapi1_client.h"

using simtest::Connect;

namespace {

const DWORD kPlenty = 10000;

DWORD Elapsed(DWORD since) { return GetTickCount() - since; }

class Docking : public ::testing::Test {
protected:
    void TearDown() override { CeRapiUninit(); }
    TestDevice device;
};

TEST_F(Docking, PluggedDeviceAnswersTheStartUpQuickly) {
    device.Plug();
    RAPIINIT init = {sizeof(RAPIINIT), nullptr, E_FAIL};
    DWORD start = GetTickCount();
    ASSERT_EQ(CeRapiInitEx(&init), S_OK);
    ASSERT_NE(init.heRapiInit, nullptr);
    ASSERT_EQ(WaitForSingleObject(init.heRapiInit, kPlenty), WAIT_OBJECT_0);
    // The program's quick attempt waits 250 ms; stay well inside it even on
    // a busy machine.
    EXPECT_LT(Elapsed(start), 2000u);
    EXPECT_EQ(init.hrRapiInit, S_OK);
    EXPECT_NE(simtest::Attributes(L"\\Windows"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Docking, PluggingInCompletesAPendingStartUp) {
    RAPIINIT init = {sizeof(RAPIINIT), nullptr, E_FAIL};
    ASSERT_EQ(CeRapiInitEx(&init), S_OK);
    EXPECT_EQ(WaitForSingleObject(init.heRapiInit, 300), static_cast<DWORD>(WAIT_TIMEOUT))
        << "signalled with no device";
    device.Plug();
    DWORD plugged = GetTickCount();
    ASSERT_EQ(WaitForSingleObject(init.heRapiInit, kPlenty), WAIT_OBJECT_0);
    EXPECT_LT(Elapsed(plugged), 1000u);
    EXPECT_EQ(init.hrRapiInit, S_OK);
}

TEST_F(Docking, RefusedStartUpCarriesANegativeResult) {
    device.SetFault("refuse_startup", "1");
    device.Plug();
    HRESULT result = Connect();
    EXPECT_TRUE(FAILED(result)) << std::hex << result;
    EXPECT_NE(result, E_ABORT) << "the start-up never ended";
    // No link was made.
    EXPECT_EQ(simtest::Attributes(L"\\Windows"), INVALID_FILE_ATTRIBUTES);
    CeRapiUninit();
    device.SetFault("refuse_startup", "0");
    EXPECT_EQ(Connect(), S_OK);
}

TEST_F(Docking, UninitEndsAPendingStartUpAndLeavesTheRecordAlone) {
    RAPIINIT init = {sizeof(RAPIINIT), nullptr, E_FAIL};
    ASSERT_EQ(CeRapiInitEx(&init), S_OK);
    HRESULT before = init.hrRapiInit;
    DWORD start = GetTickCount();
    EXPECT_EQ(CeRapiUninit(), S_OK);
    EXPECT_LT(Elapsed(start), 2000u);
    device.Plug();
    // A fresh start-up connects, and the abandoned one never did.
    EXPECT_EQ(Connect(), S_OK);
    EXPECT_EQ(init.hrRapiInit, before);
    size_t hellos = 0;
    for (const std::string &line : device.Log()) hellos += line.find("CeRapiInit") != std::string::npos;
    EXPECT_EQ(hellos, 1u);
}

TEST_F(Docking, UninitWhileConnectingFromAnotherThreadIsSafe) {
    // The program starts the link on a worker thread and may give up on it
    // from there at any moment; repeat to shake out races.
    device.Plug();
    for (int round = 0; round < 20; ++round) {
        RAPIINIT *init = new RAPIINIT{sizeof(RAPIINIT), nullptr, E_FAIL};
        std::thread worker([init, round] {
            if (SUCCEEDED(CeRapiInitEx(init))) WaitForSingleObject(init->heRapiInit, static_cast<DWORD>(round % 3) * 5);
        });
        worker.join();
        EXPECT_EQ(CeRapiUninit(), S_OK);
        delete init;  // nothing of the stand-in may write to it now
    }
    EXPECT_EQ(Connect(), S_OK);
    EXPECT_NE(simtest::Attributes(L"\\Windows"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Docking, UninitFromTwoThreadsAtOnce) {
    // The program's Cancel and its connection worker may both end the
    // start-up at the same moment.
    for (int round = 0; round < 20; ++round) {
        if (round == 10) device.Plug();  // pending start-ups first, then connected ones
        RAPIINIT init = {sizeof(RAPIINIT), nullptr, E_FAIL};
        ASSERT_EQ(CeRapiInitEx(&init), S_OK);
        if (round >= 10) WaitForSingleObject(init.heRapiInit, kPlenty);
        HRESULT results[2] = {E_FAIL, E_FAIL};
        std::thread other([&results] { results[1] = CeRapiUninit(); });
        results[0] = CeRapiUninit();
        other.join();
        EXPECT_EQ(results[0], S_OK);
        EXPECT_EQ(results[1], S_OK);
    }
    EXPECT_EQ(Connect(), S_OK);
    EXPECT_NE(simtest::Attributes(L"\\Windows"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Docking, StartUpRecordIsChecked) {
    RAPIINIT wrongSize = {sizeof(RAPIINIT) - 1, nullptr, E_FAIL};
    EXPECT_TRUE(FAILED(CeRapiInitEx(&wrongSize)));
    EXPECT_TRUE(FAILED(CeRapiInitEx(nullptr)));
    RAPIINIT first = {sizeof(RAPIINIT), nullptr, E_FAIL};
    RAPIINIT second = {sizeof(RAPIINIT), nullptr, E_FAIL};
    ASSERT_EQ(CeRapiInitEx(&first), S_OK);
    EXPECT_TRUE(FAILED(CeRapiInitEx(&second))) << "a second start-up without CeRapiUninit";
}

TEST_F(Docking, UnpluggingMakesLaterCallsFail) {
    device.Plug();
    ASSERT_EQ(Connect(), S_OK);
    ASSERT_EQ(simtest::Attributes(L"\\Windows"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    device.Unplug();
    EXPECT_EQ(simtest::Attributes(L"\\Windows"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(CeCreateFile(L"\\x", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    // Plugged in again, the old link stays down until a new start-up.
    device.Plug();
    EXPECT_EQ(simtest::Attributes(L"\\Windows"), INVALID_FILE_ATTRIBUTES);
    CeRapiUninit();
    ASSERT_EQ(Connect(), S_OK);
    EXPECT_EQ(simtest::Attributes(L"\\Windows"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
}

TEST_F(Docking, ConnectionWorksFromAnyThread) {
    device.Plug();
    HRESULT result = E_FAIL;
    std::thread worker([&result] { result = Connect(); });
    worker.join();
    ASSERT_EQ(result, S_OK);
    // Calls from several threads at once each get their own answer.
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&wrong] {
            for (int i = 0; i < 50; ++i) {
                if (simtest::Attributes(L"\\Windows") != FILE_ATTRIBUTE_DIRECTORY) ++wrong;
                if (simtest::Attributes(L"\\nothing") != INVALID_FILE_ATTRIBUTES) ++wrong;
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

// The cable's speed holds back every byte that crosses it; at 1 MB/s a
// copy of 400 KB takes about 0.4 s, in one write or in many.
TEST_F(Docking, LinkSpeedPacesTheBytesMoved) {
    device.SetLinkSpeed(1000000);
    device.Plug();
    ASSERT_EQ(Connect(), S_OK);
    const std::string chunk(40000, 'x');
    HANDLE file = CeCreateFile(L"\\My Documents\\paced.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD start = GetTickCount();
    for (int i = 0; i < 10; ++i) {
        DWORD written = 0;
        ASSERT_TRUE(CeWriteFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr));
    }
    EXPECT_GE(Elapsed(start), 370u) << "400 KB crossed a 1 MB/s cable too fast";
    CeCloseHandle(file);
    EXPECT_EQ(device.ReadFile(L"\\My Documents\\paced.bin").size(), 400000u);
}

// The link's delay per call holds neither the model nor the other
// sessions: a call that waits out its delay has been served already, a
// second session's call is served meanwhile and waits a delay of its own,
// and a delay lifted while they wait lets both answer.
TEST(LinkLatency, EachCallWaitsItsDelayOutsideTheModelsLock) {
    struct Transport {
        const char *what;
        bool network;
    } const kTransports[] = {{"pipe", false}, {"TCP", true}};
    for (const Transport &transport : kTransports) {
        SCOPED_TRACE(transport.what);
        TestDevice device;
        device.Plug();
        const uint16_t port = transport.network ? device.ServeNetwork() : 0;
        // One session's GetFileAttributes, through the service of each
        // transport: true when its answer came.
        auto call = [&]() {
            if (transport.network) {
                Rapi1Client client;
                return client.Connect(port) && client.GetFileAttributes(L"\\Windows") == FILE_ATTRIBUTE_DIRECTORY;
            }
            // Both sessions connect at once: the one that finds every
            // instance of the pipe taken waits for the next.
            const std::wstring name = wire::PipeNameFromEnvironment();
            HANDLE pipe = INVALID_HANDLE_VALUE;
            for (DWORD start = GetTickCount(); pipe == INVALID_HANDLE_VALUE && Elapsed(start) < kPlenty;) {
                pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
                if (pipe == INVALID_HANDLE_VALUE && !WaitNamedPipeW(name.c_str(), kPlenty)) Sleep(10);
            }
            if (pipe == INVALID_HANDLE_VALUE) return false;
            wire::Writer request;
            request.U32(wire::kGetFileAttributes);
            request.Text(L"\\Windows");
            std::vector<uint8_t> &frame = request.Finish();
            uint8_t length[4];
            const bool answered = wire::MovePipeBytes(pipe, frame.data(), frame.size(), false) &&
                                  wire::MovePipeBytes(pipe, length, sizeof length, true);
            CloseHandle(pipe);
            return answered;
        };
        auto servedCalls = [&] {
            for (DWORD waited = 0; waited < kPlenty; waited += 10) {
                size_t served = 0;
                for (const std::string &line : device.Log()) served += line.find("CeGetFileAttributes") != std::string::npos;
                if (served >= 2) return true;
                Sleep(10);
            }
            return false;
        };
        device.SetLinkLatency(60000);
        std::atomic<int> answered{0};
        auto answer = [&] {
            if (call()) ++answered;
        };
        std::thread first(answer);
        std::thread second(answer);
        EXPECT_TRUE(servedCalls()) << "a call waiting out its delay kept the other session's call from the model";
        EXPECT_EQ(answered.load(), 0) << "a call was answered before its delay";
        device.SetLinkLatency(0);
        first.join();
        second.join();
        EXPECT_EQ(answered.load(), 2);
    }
}

}  // namespace
