// Throughput of CopyFileToDevice against the remote API's own floor (a bare
// loop of 16384-byte CeWriteFile calls through the same rapi.dll) and
// against a host-to-host copy of the same 64 MiB file. The copy adds a host
// read and a progress update per chunk to the bare loop; that overhead
// should stay under 10%. A third run copies without a progress window, to
// tell the copy's own cost from what drawing the bar costs.
//
// The device's network transport runs the same bare loop over TCP (the
// device's remote API on a loopback port), which must reach at least 0.9
// of the pipe's rate, judged on alternating 1 MiB batches of the two; and
// a small call (GetFileAttributes) is timed over both.
//
//   CEDEVICE_PIPE=\\.\pipe\bench tools/wine-run.sh --system-rapi build/bin/rapi.dll build/bin/bench_copy_throughput.exe [MiB] [rounds] [compare]
//
// With "compare" each round copies over the pipe, then over TCP through
// the stand-in rapi.dll (its RAPI_DEVICE), then over a Windows Mobile
// device's link in the newer protocol (docked to its RAPI_DESKTOP2),
// reconnecting in between, so that every transport meets the same machine
// load; the ratios of their rates to the pipe's are printed
// (CopyFileToDevice over either network link should reach at least 0.9 of
// the pipe's).
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "device/rapi.h"
#include "devicefiles/file_copy.h"
#include "devicefiles/progress_window.h"
#include "base/setup_state.h"
#include "model/device.h"
#include "protocol/wire.h"
#include "serve/pipe_translator.h"
#include "serve/rapi1_translator.h"
#include "tests/support/rapi1_client.h"
#include "tests/support/test_device.h"

namespace {

const DWORD kChunk = 16384;

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

bool MakeHostFile(const std::string &path, DWORD bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::vector<BYTE> chunk(kChunk);
    bool ok = true;
    for (DWORD done = 0; ok && done < bytes; done += kChunk) {
        for (DWORD i = 0; i < kChunk; ++i) chunk[i] = static_cast<BYTE>((done / kChunk) * 31 + i * 7);
        DWORD written = 0;
        ok = WriteFile(file, chunk.data(), std::min(kChunk, bytes - done), &written, nullptr) != FALSE;
    }
    CloseHandle(file);
    return ok;
}

double Median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// The floor: the same bytes written through the same interface, with
// nothing else per chunk.
double BareWriteLoop(DWORD bytes) {
    std::vector<BYTE> chunk(kChunk, 0x5A);
    LARGE_INTEGER start = Now();
    HANDLE device =
        CeCreateFile(L"\\bench_bare.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE) return -1;
    for (DWORD done = 0; done < bytes; done += kChunk) {
        DWORD written = 0;
        if (!CeWriteFile(device, chunk.data(), std::min(kChunk, bytes - done), &written, nullptr)) {
            CeCloseHandle(device);
            return -1;
        }
    }
    CeCloseHandle(device);
    LARGE_INTEGER end = Now();
    CeDeleteFile(L"\\bench_bare.bin");
    return Seconds(start, end);
}

// The same loop over the network transport, through a client of its own.
double BareWriteLoopTcp(Rapi1Client &client, DWORD bytes) {
    std::vector<BYTE> chunk(kChunk, 0x5A);
    LARGE_INTEGER start = Now();
    uint32_t device = client.CreateFile(L"\\bench_tcp.bin", GENERIC_WRITE, CREATE_ALWAYS);
    if (device == rapi1::kInvalidHandle) return -1;
    for (DWORD done = 0; done < bytes; done += kChunk) {
        if (!client.WriteFile(device, chunk.data(), std::min(kChunk, bytes - done))) {
            client.CloseHandle(device);
            return -1;
        }
    }
    client.CloseHandle(device);
    LARGE_INTEGER end = Now();
    client.PathCall(rapi1::kDeleteFile, L"\\bench_tcp.bin");
    return Seconds(start, end);
}

// The two bare loops in alternating batches of 1 MiB (64 chunks), pipe then
// TCP, so that both meet the same machine load: other work on a shared
// machine slows whole runs at random. Gives the median batch times.
bool AlternatingBatches(Rapi1Client &client, int batches, double *pipeMedian, double *tcpMedian) {
    std::vector<BYTE> chunk(kChunk, 0x5A);
    HANDLE pipeFile =
        CeCreateFile(L"\\bench_pipe.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    uint32_t tcpFile = client.CreateFile(L"\\bench_tcp.bin", GENERIC_WRITE, CREATE_ALWAYS);
    std::vector<double> times[2];
    bool ok = pipeFile != INVALID_HANDLE_VALUE && tcpFile != rapi1::kInvalidHandle;
    for (int batch = 0; ok && batch < batches; ++batch) {
        for (int tcp = 0; ok && tcp < 2; ++tcp) {
            LARGE_INTEGER start = Now();
            for (int i = 0; ok && i < 64; ++i) {
                DWORD written = 0;
                ok = tcp ? client.WriteFile(tcpFile, chunk.data(), kChunk)
                         : CeWriteFile(pipeFile, chunk.data(), kChunk, &written, nullptr) != FALSE;
            }
            times[tcp].push_back(Seconds(start, Now()));
        }
    }
    if (pipeFile != INVALID_HANDLE_VALUE) CeCloseHandle(pipeFile);
    if (tcpFile != rapi1::kInvalidHandle) client.CloseHandle(tcpFile);
    CeDeleteFile(L"\\bench_pipe.bin");
    client.PathCall(rapi1::kDeleteFile, L"\\bench_tcp.bin");
    if (!ok) return false;
    *pipeMedian = Median(times[0]);
    *tcpMedian = Median(times[1]);
    return true;
}

// Microseconds per GetFileAttributes over the pipe and over TCP: the
// mean of all calls, and of the fastest batch of 100.
void SmallCalls(Rapi1Client &client, double pipe[2], double tcp[2]) {
    typedef DWORD(WINAPI * GetAttributesFn)(LPCWSTR);
    GetAttributesFn viaPipe = reinterpret_cast<GetAttributesFn>(
        reinterpret_cast<void *>(GetProcAddress(LoadLibraryA("rapi.dll"), "CeGetFileAttributes")));
    const int batches = 40, calls = 100;
    for (int transport = 0; transport < 2; ++transport) {
        double *result = transport == 0 ? pipe : tcp;
        result[0] = 0;
        result[1] = 1e9;
        for (int batch = 0; batch < batches; ++batch) {
            LARGE_INTEGER start = Now();
            for (int i = 0; i < calls; ++i) {
                transport == 0 ? viaPipe(L"\\Windows") : client.GetFileAttributes(L"\\Windows");
            }
            double each = Seconds(start, Now()) * 1e6 / calls;
            result[0] += each / batches;
            result[1] = std::min(result[1], each);
        }
    }
}

// Microseconds the device itself spends on one GetFileAttributes request
// of each protocol, without any transport (fastest batch of 100): what
// the transports add is the rest of a call's time.
void DeviceCallCost(Device &model, double *rapi1Us, double *pipeUs) {
    LinkSpeed link;  // unlimited: the translators' own cost alone
    uint32_t session = model.OpenSession();
    rapi1::Writer network;
    network.U32(rapi1::kGetFileAttributes);
    network.String(L"\\Windows");
    wire::Writer pipe;
    pipe.U32(wire::kGetFileAttributes);
    pipe.Text(L"\\Windows");
    std::vector<uint8_t> pipeFrame = pipe.Finish(), frames;
    *rapi1Us = *pipeUs = 1e9;
    for (int batch = 0; batch < 20; ++batch) {
        LARGE_INTEGER start = Now();
        for (int i = 0; i < 100; ++i) ServeRapi1Request(model, session, network.Body().data(), network.Size(), &frames);
        LARGE_INTEGER middle = Now();
        for (int i = 0; i < 100; ++i) {
            wire::Writer answer;
            ServePipeRequest(model, link, session, pipeFrame.data() + 4, pipeFrame.size() - 4, &answer);
        }
        *rapi1Us = std::min(*rapi1Us, Seconds(start, middle) * 1e4);
        *pipeUs = std::min(*pipeUs, Seconds(middle, Now()) * 1e4);
    }
    model.CloseSession(session);
}

// withWindow false leaves the copy without a progress window, which shows
// what drawing the bar costs apart from the copy itself.
double DeviceCopy(const std::string &hostFile, bool withWindow) {
    CeDeleteFile(L"\\bench_copy.bin");  // so that the age test lets the copy through
    if (withWindow) ShowProgressWindow();
    LARGE_INTEGER start = Now();
    DWORD result = CopyFileToDevice(hostFile.c_str(), "\\bench_copy.bin");
    LARGE_INTEGER end = Now();
    if (withWindow) HideProgressWindow();
    return result == 0 ? Seconds(start, end) : -1;
}

double HostCopy(const std::string &hostFile, const std::string &target) {
    LARGE_INTEGER start = Now();
    BOOL copied = CopyFileA(hostFile.c_str(), target.c_str(), FALSE);
    LARGE_INTEGER end = Now();
    DeleteFileA(target.c_str());
    return copied ? Seconds(start, end) : -1;
}

double Best(const std::vector<double> &times) { return *std::min_element(times.begin(), times.end()); }

// Starts the remote API over the pipe, over TCP to `port`, or (with
// `desktop2`) by waiting on RAPI_DESKTOP2 for a Windows Mobile device.
bool Connect(uint16_t port, const std::string &desktop2 = std::string()) {
    SetEnvironmentVariableA("RAPI_DEVICE", port ? ("127.0.0.1:" + std::to_string(port)).c_str() : nullptr);
    const std::string desktop = "127.0.0.1:" + std::to_string(FreeLoopbackPort());
    SetEnvironmentVariableA("RAPI_DESKTOP", desktop2.empty() ? nullptr : desktop.c_str());
    SetEnvironmentVariableA("RAPI_DESKTOP2", desktop2.empty() ? nullptr : desktop2.c_str());
    RAPIINIT init{sizeof init, nullptr, 0};
    return SUCCEEDED(CeRapiInitEx(&init)) && WaitForSingleObject(init.heRapiInit, 10000) == WAIT_OBJECT_0 &&
           SUCCEEDED(init.hrRapiInit);
}

}  // namespace

int main(int argc, char **argv) {
    DWORD mebibytes = argc > 1 ? static_cast<DWORD>(atoi(argv[1])) : 64;
    int rounds = argc > 2 ? atoi(argv[2]) : 7;
    const bool compare = argc > 3 && strcmp(argv[3], "compare") == 0;
    if (mebibytes == 0 || rounds <= 0) return 2;
    const DWORD bytes = mebibytes * 1024 * 1024;

    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    g_setup.instance = GetModuleHandleA(nullptr);

    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string hostFile = std::string(temp) + "tesh_bench_source.bin";
    std::string hostTarget = std::string(temp) + "tesh_bench_target.bin";
    if (!MakeHostFile(hostFile, bytes)) {
        fprintf(stderr, "cannot write %s\n", hostFile.c_str());
        return 1;
    }

    // Main memory of a whole handheld holds far less than the files measured.
    TestDevice device("pocketpc");
    device.SetFault("capacity", "4000000000");
    device.Plug();
    if (compare) {
        const uint16_t port = device.ServeNetwork();
        // A Windows Mobile device docks, in the newer protocol, to the
        // stand-in's RAPI_DESKTOP2 each time it listens there.
        TestDevice mobile("wm5ppc");
        mobile.SetFault("capacity", "4000000000");
        const std::string desktop2 = "127.0.0.1:" + std::to_string(FreeLoopbackPort());
        mobile.ServeNetwork(desktop2);
        // Alternating rounds: the copy with its window, and the bare loop.
        const int kLinks = 3;
        std::vector<double> copies[kLinks], loops[kLinks];
        for (int round = 0; round < rounds; ++round) {
            for (int link = 0; link < kLinks; ++link) {
                if (!Connect(link == 1 ? port : 0, link == 2 ? desktop2 : std::string())) return 1;
                if (round == 0) BareWriteLoop(bytes);  // warm-up
                loops[link].push_back(BareWriteLoop(bytes));
                copies[link].push_back(DeviceCopy(hostFile, true));
                CeRapiUninit();
            }
        }
        DeleteFileA(hostFile.c_str());
        const double mb = bytes / 1e6;
        printf("file: %lu MiB, %d alternating rounds; median MB/s (best)\n", static_cast<unsigned long>(mebibytes),
               rounds);
        const char *names[kLinks] = {"pipe", "TCP ", "WM5 "};
        for (int link = 0; link < kLinks; ++link) {
            printf("%s: CopyFileToDevice %7.1f (%7.1f)   bare CeWriteFile loop %7.1f (%7.1f)\n", names[link],
                   mb / Median(copies[link]), mb / Best(copies[link]), mb / Median(loops[link]), mb / Best(loops[link]));
        }
        for (int link = 1; link < kLinks; ++link) {
            printf("%s/ pipe: CopyFileToDevice %.2f median, %.2f best; bare loop %.2f median, %.2f best "
                   "(target at least 0.9)\n",
                   names[link], Median(copies[0]) / Median(copies[link]), Best(copies[0]) / Best(copies[link]),
                   Median(loops[0]) / Median(loops[link]), Best(loops[0]) / Best(loops[link]));
        }
        return 0;
    }
    RAPIINIT init{sizeof init, nullptr, 0};
    if (FAILED(CeRapiInitEx(&init)) || WaitForSingleObject(init.heRapiInit, 10000) != WAIT_OBJECT_0 ||
        FAILED(init.hrRapiInit)) {
        fprintf(stderr, "no device connection\n");
        DeleteFileA(hostFile.c_str());
        return 1;
    }

    Rapi1Client network;
    uint16_t port = device.ServeNetwork();
    if (port == 0 || !network.Connect(port)) {
        fprintf(stderr, "no network connection to the device\n");
        DeleteFileA(hostFile.c_str());
        return 1;
    }

    // Warm-up: the first pass pays for the host cache and the image's folders.
    HostCopy(hostFile, hostTarget);
    BareWriteLoop(bytes);
    BareWriteLoopTcp(network, bytes);

    std::vector<double> bare, tcp, copy, windowless, host;
    for (int round = 0; round < rounds; ++round) {
        bare.push_back(BareWriteLoop(bytes));
        tcp.push_back(BareWriteLoopTcp(network, bytes));
        copy.push_back(DeviceCopy(hostFile, true));
        host.push_back(HostCopy(hostFile, hostTarget));
        // Without a window, the progress calls find no controls and return.
        SetupState saved = g_setup;
        g_setup.progressWindow = nullptr;
        g_setup.progressBar = nullptr;
        for (HWND &line : g_setup.progressLine) line = nullptr;
        windowless.push_back(DeviceCopy(hostFile, false));
        g_setup = saved;
    }
    double pipeBatch = 0, tcpBatch = 0;
    if (!AlternatingBatches(network, static_cast<int>(mebibytes) * rounds, &pipeBatch, &tcpBatch)) {
        fprintf(stderr, "a run failed\n");
        return 1;
    }
    double pipeCall[2], tcpCall[2], rapi1Cost = 0, pipeCost = 0;
    SmallCalls(network, pipeCall, tcpCall);
    DeviceCallCost(device.Model(), &rapi1Cost, &pipeCost);
    CeRapiUninit();
    DeleteFileA(hostFile.c_str());
    for (const std::vector<double> *times : {&bare, &tcp, &copy, &windowless, &host}) {
        if (std::find_if(times->begin(), times->end(), [](double t) { return t < 0; }) != times->end()) {
            fprintf(stderr, "a run failed\n");
            return 1;
        }
    }

    const double mb = bytes / 1e6;
    printf("file: %lu MiB, %d rounds; best (median) seconds and MB/s\n", static_cast<unsigned long>(mebibytes),
           rounds);
    printf("bare CeWriteFile loop : %7.3f s (%7.3f)  %8.1f MB/s\n", Best(bare), Median(bare), mb / Best(bare));
    printf("  the same over TCP   : %7.3f s (%7.3f)  %8.1f MB/s\n", Best(tcp), Median(tcp), mb / Best(tcp));
    printf("CopyFileToDevice      : %7.3f s (%7.3f)  %8.1f MB/s\n", Best(copy), Median(copy), mb / Best(copy));
    printf("  the same, no window : %7.3f s (%7.3f)  %8.1f MB/s\n", Best(windowless), Median(windowless),
           mb / Best(windowless));
    printf("host-to-host CopyFile : %7.3f s (%7.3f)  %8.1f MB/s\n", Best(host), Median(host), mb / Best(host));
    printf("copy / bare loop      : %.3f best, %.3f median (overhead %+.1f%% / %+.1f%%, target under +10%%)\n",
           Best(copy) / Best(bare), Median(copy) / Median(bare), (Best(copy) / Best(bare) - 1) * 100,
           (Median(copy) / Median(bare) - 1) * 100);
    printf("  no window / bare    : %.3f best, %.3f median\n", Best(windowless) / Best(bare),
           Median(windowless) / Median(bare));
    printf("copy / host copy      : %.2f\n", Best(copy) / Best(host));
    printf("TCP rate / pipe rate  : %.3f best, %.3f median of whole runs; %.3f in alternating 1 MiB batches "
           "(%.1f / %.1f MB/s; target at least 0.9)\n",
           Best(bare) / Best(tcp), Median(bare) / Median(tcp), pipeBatch / tcpBatch, 1.048576 / tcpBatch,
           1.048576 / pipeBatch);
    printf("GetFileAttributes     : %.1f us over the pipe, %.1f us over TCP (mean); %.1f / %.1f us (fastest 100)\n",
           pipeCall[0], tcpCall[0], pipeCall[1], tcpCall[1]);
    printf("  of which the device : %.1f us (pipe's protocol), %.1f us (network's), no transport\n", pipeCost,
           rapi1Cost);
    return 0;
}
