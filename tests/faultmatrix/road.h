// The fault matrix runs whole roads of the program (the reader install, the
// book transfer) against a fresh simulated device, breaks each run off in
// every way a docked handheld can fail, and checks that no device file is
// ever left half-written.
//
// A road is a table entry: a name, a device profile, a Prepare function
// that makes the host files, gives the device its earlier state and
// declares which device paths the road writes, and a Run function that
// performs the action as the program's menu does. Adding a road is one line
// in kRoads (roads.cpp), plus its two functions.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/test_device.h"

namespace faultmatrix {

// A host file's content and its three times, as the device copy must end.
struct HostFile {
    std::string path;  // full host path
    std::string content;
};

class RoadSetup {
public:
    RoadSetup(TestDevice &device, const std::string &hostRoot);

    TestDevice &device;
    // Host folders, each with a trailing "\": SetupState.setupFolder and
    // bookFolder are set to them before Prepare runs.
    std::string setupFolder, bookFolder;

    // Makes a host file of size bytes (content from its name) with the given
    // last-write time; returns its full path.
    std::string MakeHostFile(const std::string &folder, const std::string &name, DWORD size, ULONGLONG lastWrite);
    // Gives the device a file it held before the run, with a last-write time.
    void PutDeviceFile(const std::wstring &path, const std::string &content, ULONGLONG lastWrite);
    // devicePath may end the run holding the complete copy of hostPath, with
    // its times; otherwise it must hold what it held before the run.
    void Target(const std::wstring &devicePath, const std::string &hostPath);
    // companion must hold what it held before as long as target does.
    void Companion(const std::wstring &companion, const std::wstring &target);
    // Message box captions the road may show when a run is broken off.
    void AllowBox(const std::string &caption);

    std::map<std::wstring, std::vector<std::string>> targets;  // device path -> host paths
    std::vector<std::pair<std::wstring, std::wstring>> companions;
    std::vector<std::string> allowedBoxes;
    std::vector<std::string> hostFolders;
};

struct Road {
    const char *name;
    const char *profile;
    void (*prepare)(RoadSetup &setup);
    // Runs the action with the device connected (SetupState.connected 1).
    void (*run)();
    // Captions of the action's own dialogs (wizard pages), null-terminated;
    // they are answered with their default button and are no message boxes.
    const char *const *pages = nullptr;
    // A whole action of the program, which connects for itself: after the
    // device was pulled and docked again, a rerun finds its way back.
    bool reconnects = false;
};

extern const std::vector<Road> kRoads;

// The storage card of the roads' device, where the books go.
const wchar_t kCardName[] = L"CF Card";

// 2001-01-01 and one day, in 100-nanosecond ticks.
const ULONGLONG kYear2001 = 126227808000000000ull;
const ULONGLONG kOneDay = 864000000000ull;

}  // namespace faultmatrix
