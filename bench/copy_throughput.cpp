// Throughput of CopyFileToDevice against the remote API's own floor (a bare
// loop of 16384-byte CeWriteFile calls through the same rapi.dll) and
// against a host-to-host copy of the same 64 MiB file. The copy adds a host
// read and a progress update per chunk to the bare loop; that overhead
// should stay under 10%. A third run copies without a progress window, to
// tell the copy's own cost from what drawing the bar costs.
//
//   CEDEVICE_PIPE=\\.\pipe\bench tools/wine-run.sh build/bin/bench_copy_throughput.exe [MiB] [rounds] [tcp]
//
// With "tcp" the same runs go over the device's network port on loopback
// (the stand-in's RAPI_DEVICE) instead of the pipe. With "compare" each
// round copies over the pipe and then over TCP, reconnecting in between,
// so that both transports meet the same machine load; the ratio of their
// rates is printed (the network should reach at least 0.9 of the pipe).
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
#include "shell/setup_state.h"
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

// Starts the remote API over the pipe, or over TCP to `port`.
bool Connect(uint16_t port) {
    SetEnvironmentVariableA("RAPI_DEVICE", port ? ("127.0.0.1:" + std::to_string(port)).c_str() : nullptr);
    RAPIINIT init{sizeof init, nullptr, 0};
    return SUCCEEDED(CeRapiInitEx(&init)) && WaitForSingleObject(init.heRapiInit, 10000) == WAIT_OBJECT_0 &&
           SUCCEEDED(init.hrRapiInit);
}

double Median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    DWORD mebibytes = argc > 1 ? static_cast<DWORD>(atoi(argv[1])) : 64;
    int rounds = argc > 2 ? atoi(argv[2]) : 7;
    const bool overTcp = argc > 3 && strcmp(argv[3], "tcp") == 0;
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

    TestDevice device("pocketpc");
    device.Plug();
    const uint16_t port = overTcp || compare ? device.ServeNetwork() : 0;
    if (compare) {
        // Alternating rounds: the copy with its window, and the bare loop.
        std::vector<double> copies[2], loops[2];
        for (int round = 0; round < rounds; ++round) {
            for (int tcp = 0; tcp < 2; ++tcp) {
                if (!Connect(tcp ? port : 0)) return 1;
                if (round == 0) BareWriteLoop(bytes);  // warm-up
                loops[tcp].push_back(BareWriteLoop(bytes));
                copies[tcp].push_back(DeviceCopy(hostFile, true));
                CeRapiUninit();
            }
        }
        DeleteFileA(hostFile.c_str());
        const double mb = bytes / 1e6;
        printf("file: %lu MiB, %d alternating rounds; median MB/s (best)\n", static_cast<unsigned long>(mebibytes),
               rounds);
        const char *names[2] = {"pipe", "TCP "};
        for (int tcp = 0; tcp < 2; ++tcp) {
            printf("%s: CopyFileToDevice %7.1f (%7.1f)   bare CeWriteFile loop %7.1f (%7.1f)\n", names[tcp],
                   mb / Median(copies[tcp]), mb / Best(copies[tcp]), mb / Median(loops[tcp]), mb / Best(loops[tcp]));
        }
        printf("TCP / pipe: CopyFileToDevice %.2f median, %.2f best; bare loop %.2f median, %.2f best\n",
               Median(copies[0]) / Median(copies[1]), Best(copies[0]) / Best(copies[1]),
               Median(loops[0]) / Median(loops[1]), Best(loops[0]) / Best(loops[1]));
        return 0;
    }
    if (overTcp) SetEnvironmentVariableA("RAPI_DEVICE", ("127.0.0.1:" + std::to_string(port)).c_str());
    RAPIINIT init{sizeof init, nullptr, 0};
    if (FAILED(CeRapiInitEx(&init)) || WaitForSingleObject(init.heRapiInit, 10000) != WAIT_OBJECT_0 ||
        FAILED(init.hrRapiInit)) {
        fprintf(stderr, "no device connection\n");
        DeleteFileA(hostFile.c_str());
        return 1;
    }

    // Warm-up: the first pass pays for the host cache and the image's folders.
    HostCopy(hostFile, hostTarget);
    BareWriteLoop(bytes);

    std::vector<double> bare, copy, windowless, host;
    for (int round = 0; round < rounds; ++round) {
        bare.push_back(BareWriteLoop(bytes));
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
    CeRapiUninit();
    DeleteFileA(hostFile.c_str());
    for (const std::vector<double> *times : {&bare, &copy, &windowless, &host}) {
        if (std::find_if(times->begin(), times->end(), [](double t) { return t < 0; }) != times->end()) {
            fprintf(stderr, "a run failed\n");
            return 1;
        }
    }

    const double mb = bytes / 1e6;
    printf("file: %lu MiB, %d rounds, over the %s; best (median) seconds and MB/s\n",
           static_cast<unsigned long>(mebibytes), rounds, overTcp ? "network (TCP loopback)" : "pipe");
    printf("bare CeWriteFile loop : %7.3f s (%7.3f)  %8.1f MB/s\n", Best(bare), Median(bare), mb / Best(bare));
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
    return 0;
}
