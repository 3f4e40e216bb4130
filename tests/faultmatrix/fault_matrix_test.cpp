// The fault matrix: every road is run once cleanly for reference, then
// broken off at every call of that clean run, after n bytes written (at
// each chunk boundary and inside each chunk) and with a full store at
// several capacities. After each broken run: the action ended, its progress
// window is hidden, every device path the road writes is untouched or holds
// the complete new file with the host file's times, the host folders are
// unchanged, and a rerun with the device docked again ends exactly as the
// clean run did.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "model/host_files.h"
#include "model/text_util.h"
#include "device/rapi.h"
#include "base/setup_state.h"
#include "tests/faultmatrix/road.h"
#include "tests/support/test_values.h"

namespace faultmatrix {

// ---- RoadSetup

RoadSetup::RoadSetup(TestDevice &device, const std::string &hostRoot)
    : device(device), setupFolder(hostRoot + "setup\\"), bookFolder(hostRoot + "books\\") {
    CreateDirectoryA(hostRoot.c_str(), nullptr);
    for (const std::string &folder : {setupFolder, bookFolder}) {
        CreateDirectoryA(folder.c_str(), nullptr);
        hostFolders.push_back(folder);
    }
}

std::string RoadSetup::MakeHostFile(const std::string &folder, const std::string &name, DWORD size,
                                    ULONGLONG lastWrite) {
    std::string path = folder + name;
    std::string content(size, '\0');
    DWORD seed = 2166136261u;
    for (char c : name) seed = (seed ^ static_cast<BYTE>(c)) * 16777619u;
    for (DWORD i = 0; i < size; ++i) content[i] = static_cast<char>((seed >> (i % 24)) + i * 7 + i / 509);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    if (size) WriteFile(file, content.data(), size, &written, nullptr);
    FILETIME creation = {static_cast<DWORD>(lastWrite - kOneDay), static_cast<DWORD>((lastWrite - kOneDay) >> 32)};
    FILETIME access = {static_cast<DWORD>(lastWrite + kOneDay), static_cast<DWORD>((lastWrite + kOneDay) >> 32)};
    FILETIME write = {static_cast<DWORD>(lastWrite), static_cast<DWORD>(lastWrite >> 32)};
    SetFileTime(file, &creation, &access, &write);
    CloseHandle(file);
    return path;
}

void RoadSetup::PutDeviceFile(const std::wstring &path, const std::string &content, ULONGLONG lastWrite) {
    device.WriteFile(path, content);
    FILETIME time = {static_cast<DWORD>(lastWrite), static_cast<DWORD>(lastWrite >> 32)};
    device.SetTimes(path, time, time, time);
}

void RoadSetup::Target(const std::wstring &devicePath, const std::string &hostPath) {
    targets[devicePath].push_back(hostPath);
}

void RoadSetup::Companion(const std::wstring &companion, const std::wstring &target) {
    companions.emplace_back(companion, target);
}

void RoadSetup::AllowBox(const std::string &caption) { allowedBoxes.push_back(caption); }

namespace {

// The connection dialog: an action that finds its device gone connects afresh.
const char kConnectCaption[] = "Establishing Connection";
// The temporary file a copy writes beside its target.
const wchar_t kTemporaryName[] = L"~tesh.tmp";
const DWORD kRunLimitMs = 20000;


// ---- What is on the device and the host

struct DeviceItem {
    bool directory = false;
    std::string content;
    ULONGLONG times[3] = {0, 0, 0};
};
using Snapshot = std::map<std::wstring, DeviceItem>;  // by device path, as the device spells it

void WalkStore(TestDevice &device, const std::wstring &hostFolder, const std::wstring &devicePath, Snapshot *items) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((hostFolder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring path = devicePath + L"\\" + name;
        DeviceItem &item = (*items)[path];
        item.directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        FILETIME times[3];
        if (device.Times(path, &times[0], &times[1], &times[2])) {
            for (int i = 0; i < 3; ++i) item.times[i] = Ticks(times[i]);
        }
        if (item.directory) {
            WalkStore(device, hostFolder + L"\\" + name, path, items);
        } else {
            item.content = device.ReadFile(path);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

Snapshot TakeSnapshot(TestDevice &device) {
    Snapshot items;
    WalkStore(device, device.ImageFolder() + L"\\store", L"", &items);
    return items;
}

// Absent items compare as absent.
const DeviceItem *Find(const Snapshot &snapshot, const std::wstring &path) {
    for (const auto &entry : snapshot) {
        if (CompareStringOrdinal(entry.first.c_str(), -1, path.c_str(), -1, TRUE) == CSTR_EQUAL) return &entry.second;
    }
    return nullptr;
}

struct HostState {
    std::string content;
    ULONGLONG times[3];
};

HostState ReadHost(const std::string &path) {
    HostState state{};
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return state;
    FILETIME times[3];
    GetFileTime(file, &times[0], &times[1], &times[2]);
    for (int i = 0; i < 3; ++i) state.times[i] = Ticks(times[i]);
    CloseHandle(file);
    ReadHostFile(Utf8ToWide(path), &state.content);
    return state;
}

// One line per host file: name, size, FNV-1a hash of the content, last write.
std::string HashFolders(const std::vector<std::string> &folders) {
    std::string text;
    for (const std::string &folder : folders) {
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) continue;
        do {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            std::string content;
            ReadHostFile(Utf8ToWide(folder + found.cFileName), &content);
            unsigned long long hash = 1469598103934665603ull;
            for (char c : content) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
            text += folder + found.cFileName + " " + std::to_string(content.size()) + " " + std::to_string(hash) +
                    " " + std::to_string(Ticks(found.ftLastWriteTime)) + "\n";
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    return text;
}

bool IsCompleteCopy(const DeviceItem *item, const HostState &host) {
    return item && !item->directory && item->content == host.content && item->times[0] == host.times[0] &&
           item->times[1] == host.times[1] && item->times[2] == host.times[2];
}

bool SameFile(const DeviceItem *a, const DeviceItem *b) {
    if (!a || !b) return a == b;
    return a->directory == b->directory && a->content == b->content &&
           (a->directory || std::equal(a->times, a->times + 3, b->times));
}

std::wstring FolderOf(const std::wstring &path) { return path.substr(0, path.rfind(L'\\')); }

// The temporary files of copies found on the device.
std::string TemporaryFiles(const Snapshot &snapshot) {
    std::string found;
    for (const auto &entry : snapshot) {
        const std::wstring name = entry.first.substr(entry.first.rfind(L'\\') + 1);
        if (CompareStringOrdinal(name.c_str(), -1, kTemporaryName, -1, TRUE) == CSTR_EQUAL) {
            found += WideToUtf8(entry.first) + " ";
        }
    }
    return found;
}

// ---- Message boxes shown while a road runs

// Answers every message box of this process from a thread of its own, and
// notes their captions and texts. The progress window is no box and is
// left alone.
class BoxAnswerer {
public:
    BoxAnswerer() : thread_([this] { Loop(); }) {}
    ~BoxAnswerer() {
        stop_ = true;
        thread_.join();
    }
    std::vector<std::string> Captions() {
        std::lock_guard<std::mutex> lock(lock_);
        return captions_;
    }
    std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> lock(lock_);
        return texts_;
    }

private:
    void Loop() {
        while (!stop_) {
            EnumWindows(&BoxAnswerer::Visit, reinterpret_cast<LPARAM>(this));
            Sleep(2);
        }
    }
    static BOOL CALLBACK Visit(HWND window, LPARAM self) {
        BoxAnswerer *answerer = reinterpret_cast<BoxAnswerer *>(self);
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        char windowClass[16] = "";
        GetClassNameA(window, windowClass, sizeof windowClass);
        if (process != GetCurrentProcessId() || !IsWindowVisible(window) || strcmp(windowClass, "#32770") != 0 ||
            window == g_setup.progressWindow || answerer->answered_.count(window)) {
            return TRUE;
        }
        char caption[128] = "", text[1024] = "";
        GetWindowTextA(window, caption, sizeof caption);
        GetDlgItemTextA(window, 0xFFFF, text, sizeof text);
        answerer->answered_.insert(window);
        {
            std::lock_guard<std::mutex> lock(answerer->lock_);
            answerer->captions_.push_back(caption);
            answerer->texts_.push_back(text);
        }
        PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        return TRUE;
    }

    std::atomic<bool> stop_{false};
    std::set<HWND> answered_;
    std::mutex lock_;
    std::vector<std::string> captions_;
    std::vector<std::string> texts_;
    std::thread thread_;
};

// ---- One run of a road on a fresh device

bool Connect() {
    RAPIINIT init{sizeof init, nullptr, 0};
    if (FAILED(CeRapiInitEx(&init))) return false;
    bool ok = WaitForSingleObject(init.heRapiInit, 10000) == WAIT_OBJECT_0 && SUCCEEDED(init.hrRapiInit);
    if (!ok) CeRapiUninit();
    g_setup.connected = ok ? 1 : 0;
    return ok;
}

void Disconnect() {
    CeRapiUninit();
    g_setup.connected = 0;
}

std::string HostRoot() {
    static std::atomic<unsigned> counter{0};
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    return std::string(temp) + "tesh_matrix_" + std::to_string(GetCurrentProcessId()) + "_" +
           std::to_string(counter++) + "\\";
}

struct RunResult {
    std::vector<std::string> boxes;
    std::vector<std::string> texts;  // of every window answered, pages too
    std::vector<std::string> pages;  // the road's own dialogs that opened
    DWORD milliseconds = 0;
    bool progressHidden = false;
};

RunResult RunRoad(const Road &road) {
    RunResult result;
    DWORD start = GetTickCount();
    {
        BoxAnswerer answerer;
        road.run();
        result.texts = answerer.Texts();
        for (const std::string &caption : answerer.Captions()) {
            bool page = false;
            for (const char *const *p = road.pages; p && *p; ++p) page = page || caption == *p;
            (page ? result.pages : result.boxes).push_back(caption);
        }
    }
    result.milliseconds = GetTickCount() - start;
    result.progressHidden = !g_setup.progressWindow || !IsWindowVisible(g_setup.progressWindow);
    return result;
}

// Whether the roads run over the device's network port (the stand-in's
// RAPI_DEVICE) rather than the pipe, or over a Windows Mobile device's
// link (it docks to the stand-in's RAPI_DESKTOP2 in the newer protocol).
enum class Link { kPipe, kTcp, kWindowsMobile };
Link g_link = Link::kPipe;
const char *LinkName() {
    return g_link == Link::kTcp ? " over TCP" : g_link == Link::kWindowsMobile ? " over the Windows Mobile link" : "";
}

// The roads are written for a MIPS Handheld PC 2000 and its "CF Card". A
// Windows Mobile device runs them under that identity (its faults) and
// with that card, so that only the link differs.
void DockAsWindowsMobile(TestDevice &device) {
    device.SetFault("processor", "4000");
    device.SetFault("origname", "Handheld_PC");
    device.SetFault("version", "3.0");
    device.InsertCard(kCardName);
}

// A fresh device and fresh host folders, prepared for the road.
struct Bench {
    explicit Bench(const Road &road)
        : device(g_link == Link::kWindowsMobile ? "wm5ppc" : road.profile), setup(device, HostRoot()) {
        if (g_link == Link::kWindowsMobile) DockAsWindowsMobile(device);
        hostRoot = setup.setupFolder.substr(0, setup.setupFolder.size() - strlen("setup\\"));
        strcpy(g_setup.setupFolder, setup.setupFolder.c_str());
        strcpy(g_setup.bookFolder, setup.bookFolder.c_str());
        road.prepare(setup);
        before = TakeSnapshot(device);
        hostHashes = HashFolders(setup.hostFolders);
        device.Plug();
        if (g_link == Link::kTcp) {
            uint16_t port = device.ServeNetwork();
            EXPECT_NE(port, 0);
            SetEnvironmentVariableA("RAPI_DEVICE", ("127.0.0.1:" + std::to_string(port)).c_str());
        } else if (g_link == Link::kWindowsMobile) {
            const std::string desktop2 = "127.0.0.1:" + std::to_string(FreeLoopbackPort());
            SetEnvironmentVariableA("RAPI_DESKTOP", ("127.0.0.1:" + std::to_string(FreeLoopbackPort())).c_str());
            SetEnvironmentVariableA("RAPI_DESKTOP2", desktop2.c_str());
            EXPECT_NE(device.ServeNetwork(desktop2, "127.0.0.1", TestDevice::Docking::kForgiving), 0);
        }
    }
    ~Bench() {
        Disconnect();
        device.Unplug();
        for (const char *name : {"RAPI_DEVICE", "RAPI_DESKTOP", "RAPI_DESKTOP2"}) SetEnvironmentVariableA(name, nullptr);
        DeleteHostTree(Utf8ToWide(hostRoot));
    }
    TestDevice device;
    RoadSetup setup;
    std::string hostRoot;
    Snapshot before;
    std::string hostHashes;
};

// What a clean run of a road did: the reference for every broken run.
struct Reference {
    Snapshot after;
    size_t calls = 0;
    std::vector<DWORD> writes;  // the sizes of the device writes, in order
    ULONGLONG usedBefore = 0;   // bytes of files in main memory before the run
    ULONGLONG cardUsedBefore = 0;  // and on the storage card
};

size_t CountCalls(const std::vector<std::string> &log, size_t from) {
    size_t calls = 0;
    for (size_t i = from; i < log.size(); ++i) {
        if (log[i].find("] Ce") != std::string::npos && log[i].find("CeRapiInit") == std::string::npos) ++calls;
    }
    return calls;
}

std::vector<DWORD> WriteSizes(const std::vector<std::string> &log, size_t from) {
    std::vector<DWORD> sizes;
    for (size_t i = from; i < log.size(); ++i) {
        size_t at = log[i].find(" bytes -> ");
        if (log[i].find("] CeWriteFile ") == std::string::npos || at == std::string::npos) continue;
        size_t number = log[i].rfind(' ', at - 1) + 1;
        sizes.push_back(static_cast<DWORD>(std::stoul(log[i].substr(number, at - number))));
    }
    return sizes;
}

const Reference &CleanRun(const Road &road) {
    static std::map<std::string, Reference> references;
    // The calls differ by transport (a network GetFileTime is a search).
    const std::string key = std::string(road.name) + LinkName();
    auto found = references.find(key);
    if (found != references.end()) return found->second;
    Reference &reference = references[key];
    Bench bench(road);
    const std::wstring store = L"\\\\?\\" + bench.device.ImageFolder() + L"\\store";
    reference.cardUsedBefore = HostTreeBytes(store + L"\\" + kCardName);
    reference.usedBefore = HostTreeBytes(store) - reference.cardUsedBefore;
    EXPECT_TRUE(Connect());
    size_t logStart = bench.device.Log().size();
    RunResult run = RunRoad(road);
    std::vector<std::string> log = bench.device.Log();
    reference.calls = CountCalls(log, logStart);
    reference.writes = WriteSizes(log, logStart);
    reference.after = TakeSnapshot(bench.device);
    printf("road \"%s\"%s: a clean run makes %u device calls and %u writes\n", road.name, LinkName(),
           static_cast<unsigned>(reference.calls), static_cast<unsigned>(reference.writes.size()));
    EXPECT_TRUE(run.boxes.empty()) << road.name << ": a clean run shows no box, got " << run.boxes.front();
    // Leftovers of earlier runs are removed, and every copy renamed its own.
    EXPECT_EQ(TemporaryFiles(reference.after), "") << road.name;
    EXPECT_TRUE(run.progressHidden) << road.name;
    // The clean run itself: every target holds the last host file mapped to it.
    for (const auto &target : bench.setup.targets) {
        EXPECT_TRUE(IsCompleteCopy(Find(reference.after, target.first), ReadHost(target.second.back())))
            << road.name << ": " << WideToUtf8(target.first);
    }
    return reference;
}

std::string Describe(const DeviceItem *item) {
    if (!item) return "absent";
    if (item->directory) return "folder";
    return std::to_string(item->content.size()) + " bytes, last write " + std::to_string(item->times[2]);
}

// Counts of what the broken runs left, for the closing summary.
struct Tally {
    int cases = 0;
    int untouched = 0;      // target paths that held what they held before
    int complete = 0;       // target paths that held a complete new copy
    int renameGap = 0;      // broken between deleting the old target and the rename
    int boxes = 0;
};
Tally g_tally;

// The checks after a broken run; then the rerun, docked again. linkUp: the
// device answered to the end, so every failed copy could remove its
// temporary file. reconnects: the rerun is the program's own, in the same
// process and with its connection as the broken run left it.
void CheckBrokenRun(const Road &road, Bench &bench, const RunResult &run, const std::string &what, bool linkUp,
                    bool reconnects = false) {
    SCOPED_TRACE(std::string(road.name) + ", " + what);
    ++g_tally.cases;
    g_tally.boxes += static_cast<int>(run.boxes.size());
    EXPECT_LT(run.milliseconds, kRunLimitMs);
    EXPECT_TRUE(run.progressHidden);
    for (const std::string &caption : run.boxes) {
        bool allowed = caption == kConnectCaption || std::find(bench.setup.allowedBoxes.begin(),
                                                               bench.setup.allowedBoxes.end(),
                                                               caption) != bench.setup.allowedBoxes.end();
        EXPECT_TRUE(allowed) << "unexpected message box \"" << caption << "\"";
    }
    // A lost link is told once, in words that say what to do, never as the
    // system's bare text for it.
    if (!linkUp) {
        int told = 0;
        for (const std::string &text : run.texts) {
            told += text.find("The device was disconnected") != std::string::npos;
            EXPECT_EQ(text.find(SystemText(ERROR_DEVICE_NOT_CONNECTED)), std::string::npos)
                << "a lost link told only as the system's text: " << text;
        }
        EXPECT_LE(told, 1) << "the lost link was told more than once";
    }
    Snapshot after = TakeSnapshot(bench.device);
    if (linkUp) {
        EXPECT_EQ(TemporaryFiles(after), "") << "a failed copy left its temporary file";
    }
    std::set<std::wstring> untouchedTargets;
    for (const auto &target : bench.setup.targets) {
        const DeviceItem *now = Find(after, target.first);
        const DeviceItem *was = Find(bench.before, target.first);
        if (SameFile(now, was)) {
            untouchedTargets.insert(target.first);
            ++g_tally.untouched;
            continue;
        }
        bool complete = false;
        for (const std::string &host : target.second) complete = complete || IsCompleteCopy(now, ReadHost(host));
        if (complete) {
            ++g_tally.complete;
            continue;
        }
        // The device has no replacing rename: the old file is deleted just
        // before the complete new one is renamed into its place. A link lost
        // at that rename leaves the new file, whole and with the host times,
        // under the temporary name; the rerun puts it in place.
        const DeviceItem *temporary = Find(after, FolderOf(target.first) + L"\\" + kTemporaryName);
        bool gap = !now && was && temporary;
        bool whole = false;
        for (const std::string &host : target.second) whole = whole || IsCompleteCopy(temporary, ReadHost(host));
        if (gap && whole) {
            ++g_tally.renameGap;
            continue;
        }
        ADD_FAILURE() << WideToUtf8(target.first) << " is neither untouched nor complete: " << Describe(now)
                      << " (held " << Describe(was) << ")";
    }
    for (const auto &companion : bench.setup.companions) {
        if (!untouchedTargets.count(companion.second)) continue;
        EXPECT_TRUE(SameFile(Find(after, companion.first), Find(bench.before, companion.first)))
            << WideToUtf8(companion.first) << " changed while " << WideToUtf8(companion.second) << " was not replaced";
    }
    EXPECT_EQ(HashFolders(bench.setup.hostFolders), bench.hostHashes) << "host folders changed";

    // Docked again, without the fault: the run ends as the clean one did.
    if (!reconnects) Disconnect();
    for (const char *fault : {"drop_after_calls", "drop_after_bytes", "capacity", "card_capacity", "refuse_room"}) {
        bench.device.SetFault(fault, "");
    }
    if (!reconnects) {
        ASSERT_TRUE(Connect());
    }
    RunResult rerun = RunRoad(road);
    // Connecting afresh may take the connection dialog, which ends by itself.
    if (reconnects) rerun.boxes.erase(std::remove(rerun.boxes.begin(), rerun.boxes.end(), kConnectCaption),
                                      rerun.boxes.end());
    EXPECT_TRUE(rerun.boxes.empty()) << "the rerun showed \"" << rerun.boxes.front() << "\"";
    for (const char *const *page = road.pages; reconnects && page && *page; ++page) {
        EXPECT_NE(std::find(rerun.pages.begin(), rerun.pages.end(), std::string(*page)), rerun.pages.end())
            << "the rerun did not reach \"" << *page << "\"";
    }
    EXPECT_TRUE(rerun.progressHidden);
    Snapshot again = TakeSnapshot(bench.device);
    const Snapshot &clean = CleanRun(road).after;
    std::set<std::wstring> paths;
    for (const auto &entry : again) paths.insert(entry.first);
    for (const auto &entry : clean) paths.insert(entry.first);
    for (const std::wstring &path : paths) {
        const DeviceItem *mine = Find(again, path);
        const DeviceItem *wanted = Find(clean, path);
        bool same = mine && wanted && mine->directory == wanted->directory && mine->content == wanted->content;
        // Targets end as the last host file mapped to them, with its times
        // (which the host's reads may have moved since the clean run);
        // other items keep the device's own times.
        auto target = bench.setup.targets.find(path);
        if (same && target != bench.setup.targets.end()) same = IsCompleteCopy(mine, ReadHost(target->second.back()));
        EXPECT_TRUE(same) << "after the rerun " << WideToUtf8(path) << ": " << Describe(mine) << ", clean run "
                          << Describe(wanted);
    }
}

// Runs the road on a fresh device with one fault set (and the card's
// capacity, when given), then checks it.
void RunBroken(const Road &road, const char *fault, ULONGLONG value, const std::string &what,
               ULONGLONG cardCapacity = 0) {
    Bench bench(road);
    ASSERT_TRUE(Connect());
    bench.device.SetFault(fault, std::to_string(value));
    if (cardCapacity) {
        bench.device.SetFault("card_capacity", WideToUtf8(kCardName) + ":" + std::to_string(cardCapacity));
        // Unknown room: the wizard copies until a store is full, which is
        // what these runs are for, instead of refusing before the first byte.
        bench.device.SetFault("refuse_room", std::to_string(ERROR_NOT_SUPPORTED));
    }
    RunResult run = RunRoad(road);
    CheckBrokenRun(road, bench, run, what, strcmp(fault, "capacity") == 0);
}

class FaultMatrix : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        g_setup.instance = GetModuleHandleA(nullptr);
    }
    static void TearDownTestSuite() {
        printf("fault matrix: %d broken runs; target paths found untouched %d, complete %d, in the rename gap %d; "
               "%d message boxes answered\n",
               g_tally.cases, g_tally.untouched, g_tally.complete, g_tally.renameGap, g_tally.boxes);
    }
};

// One test per road and kind of fault, named for the road, so that each road
// runs as a test entry of its own (tests/CMakeLists.txt).
class FaultMatrixRoad : public FaultMatrix, public ::testing::WithParamInterface<size_t> {
protected:
    const Road &road() const { return kRoads[GetParam()]; }
};

std::string RoadTestName(const ::testing::TestParamInfo<size_t> &info) {
    std::string name = kRoads[info.param].name;
    std::replace(name.begin(), name.end(), ' ', '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Roads, FaultMatrixRoad, ::testing::Range<size_t>(0, kRoads.size()), RoadTestName);

// drop_after_calls k for every k of a clean run: k calls are answered, the
// next one is lost.
void DropAtEveryCall(const Road &road, const std::string &how) {
    const Reference &reference = CleanRun(road);
    ASSERT_GT(reference.calls, 0u) << road.name;
    for (size_t k = 0; k < reference.calls; ++k) {
        RunBroken(road, "drop_after_calls", k,
                  how + "link dropped after " + std::to_string(k) + " of " + std::to_string(reference.calls) + " calls");
        if (::testing::Test::HasFatalFailure()) return;
    }
}

TEST_P(FaultMatrixRoad, LinkDroppedAtEveryCallOfACleanRun) { DropAtEveryCall(this->road(), ""); }

// The handheld pulled at every call of a whole action and docked again: the
// same action, run again in the same process, finds the device gone, connects
// afresh by itself and ends as a clean run does.
TEST_P(FaultMatrixRoad, PulledAtEveryCallTheRerunConnectsAfreshAndCompletes) {
    const Road &road = this->road();
    if (!road.reconnects) GTEST_SKIP() << road.name << " is no whole action";
    const Reference &reference = CleanRun(road);
    for (size_t k = 0; k < reference.calls; ++k) {
        Bench bench(road);
        ASSERT_TRUE(Connect());
        bench.device.SetFault("drop_after_calls", std::to_string(k));
        RunResult run = RunRoad(road);
        CheckBrokenRun(road, bench, run, "pulled after " + std::to_string(k) + " calls, rerun in the same process",
                       false, true);
        if (HasFatalFailure()) return;
    }
}

// Install Book over a network link: the session dropped at every call of
// a clean run leaves every target old or whole, as over the pipe.
void DropAtEveryCallOfInstallBooksOver(Link link, const std::string &how) {
    struct Over {
        explicit Over(Link link) { g_link = link; }
        ~Over() { g_link = Link::kPipe; }
    } over(link);
    for (const Road &road : kRoads) {
        if (strcmp(road.name, "install books") == 0) DropAtEveryCall(road, how);
    }
}

TEST_F(FaultMatrix, NetworkLinkDroppedAtEveryCallOfInstallBooks) {
    DropAtEveryCallOfInstallBooksOver(Link::kTcp, "over TCP, ");
}

// A Windows Mobile device docks again, in the newer protocol, for each
// run's connection.
TEST_F(FaultMatrix, WindowsMobileLinkDroppedAtEveryCallOfInstallBooks) {
    DropAtEveryCallOfInstallBooksOver(Link::kWindowsMobile, "over the Windows Mobile link, ");
}

TEST_P(FaultMatrixRoad, LinkDroppedAtAndInsideEveryChunk) {
    const Road &road = this->road();
    const Reference &reference = CleanRun(road);
    std::set<ULONGLONG> points{0};
    ULONGLONG done = 0;
    for (DWORD size : reference.writes) {
        points.insert(done + size / 2);  // inside the chunk
        done += size;
        points.insert(done);             // at its end
    }
    for (ULONGLONG bytes : points) {
        RunBroken(road, "drop_after_bytes", bytes, "link dropped after " + std::to_string(bytes) + " bytes");
        if (HasFatalFailure()) return;
    }
}

TEST_P(FaultMatrixRoad, FullStoreAtSeveralCapacities) {
    const Road &road = this->road();
    const Reference &reference = CleanRun(road);
    ULONGLONG total = 0;
    for (DWORD size : reference.writes) total += size;
    // A road that writes nothing still runs with no room left.
    for (ULONGLONG room : {0ull, 100ull, 16384ull, 30000ull, total / 2, total ? total - 1 : 0}) {
        // Main memory and the card each with that room left.
        RunBroken(road, "capacity", reference.usedBefore + room,
                  "full store, room for " + std::to_string(room) + " of " + std::to_string(total) + " bytes",
                  reference.cardUsedBefore + room);
        if (HasFatalFailure()) return;
    }
}

}  // namespace
}  // namespace faultmatrix
