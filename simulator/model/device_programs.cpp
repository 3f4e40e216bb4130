// Identity queries, special folders, shortcut files,
// programs and remote invocation of library functions.
//
// Program and library files are recognised by their first line:
//   CEAPP<TAB>WINDOW<TAB>class<TAB>title    a program with that window
//   CELIB<TAB>EXPORTS<TAB>name[<TAB>name]   a library exporting functions
// Any other file is a program that opens no window: it runs and ends at
// once, so it never stays in use.
#include <algorithm>

#include "model/device.h"
#include "model/device_path.h"
#include "model/host_files.h"
#include "model/text_util.h"

namespace {

const int kProgramsFolder = 2;   // CSIDL_PROGRAMS
const int kDesktopFolder = 0;    // CSIDL_DESKTOP
const int kDocumentsFolder = 5;  // CSIDL_PERSONAL
const size_t kCloseRequestBytes = 1024;
const size_t kCloseRequestHalf = 512;

// The first line of a device file (at most 4 KB), without "\r\n".
std::string FirstLine(const std::wstring &hostPath) {
    HANDLE file = CreateFileW(hostPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    char buffer[4096];
    DWORD got = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) got = 0;
    CloseHandle(file);
    std::string line(buffer, got);
    line = line.substr(0, line.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// The UTF-16 string in one half of a close request, up to its terminator
// (or the whole half when it has none).
std::wstring RequestString(const uint8_t *half) {
    std::wstring text;
    for (size_t i = 0; i + 1 < kCloseRequestHalf; i += 2) {
        wchar_t unit = static_cast<wchar_t>(half[i] | (half[i + 1] << 8));
        if (unit == 0) break;
        text += unit;
    }
    return text;
}

}  // namespace

Device::Result Device::DoGetSpecialFolder(int32_t folder, std::wstring *path) {
    if (faults_.specialFolderFail) return Fail(ERROR_FILE_NOT_FOUND);
    switch (folder) {
    case kProgramsFolder:
        *path = identity_.programs;
        break;
    case kDesktopFolder:
        *path = identity_.desktop;
        break;
    case kDocumentsFolder:
        *path = L"\\My Documents";
        break;
    default:
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (path->empty()) return Fail(ERROR_FILE_NOT_FOUND);  // no such folder on this platform
    return Done(Quoted(*path));
}

Device::Result Device::DoCreateShortcut(const std::wstring &shortcut, const std::wstring &target) {
    std::wstring canonical, parent, name;
    DWORD error = NormalizeDevicePath(shortcut, false, &canonical);
    if (error) return Fail(error);
    SplitDevicePath(canonical, &parent, &name);
    Item folder = LookUp(parent);
    if (name.empty() || !folder.exists || !folder.directory) return Fail(ERROR_PATH_NOT_FOUND);
    Item item = LookUp(canonical);
    if (item.exists && item.directory) return Fail(ERROR_ACCESS_DENIED);
    if (item.exists && (IsOpen(canonical) || IsRunningLocked(canonical))) return Fail(ERROR_SHARING_VIOLATION);
    // The device's shortcut form: the target's length in characters, "#",
    // then the target (stored here as UTF-8).
    std::string content = std::to_string(target.size()) + "#" + WideToUtf8(target);
    if (content.size() > item.size && !HasRoomFor(canonical, content.size() - item.size)) {
        return Fail(ERROR_DISK_FULL);
    }
    if (!WriteHostFile(HostPath(canonical), content)) return Fail(GetLastError());
    uint64_t now = FileTimeValue(DeviceNow());
    SetRecord(canonical, FILE_ATTRIBUTE_ARCHIVE, item.exists ? item.creation : now, now, now);
    SaveRecords();
    usedKnown_ = false;
    return Done("\"" + content + "\"");
}

Device::Result Device::DoStartProgram(const std::wstring &canonical, uint32_t *processId) {
    for (const Program &program : running_) {
        if (SameName(program.path, canonical)) {
            // One copy at a time: starting it again leaves the running one.
            *processId = program.processId;
            return Done("already running");
        }
    }
    std::vector<std::string> fields = SplitFields(FirstLine(HostPath(canonical)), '\t');
    if (fields[0] == "CELIB") return Fail(ERROR_BAD_EXE_FORMAT);  // a library is no program
    // Process ids are even; the main thread's id is the one after.
    *processId = nextProcessId_;
    nextProcessId_ += 2;
    if (fields.size() < 4 || fields[0] != "CEAPP" || fields[1] != "WINDOW") return Done("ran and ended");
    Program program;
    program.path = canonical;
    program.windowClass = Utf8ToWide(fields[2]);
    program.title = Utf8ToWide(fields[3]);
    program.processId = *processId;
    running_.push_back(program);
    SaveRunning();
    return Done("running, window " + Quoted(program.windowClass) + " " + Quoted(program.title));
}

// The program file `image` names, as a canonical path. Windows CE looks
// for a program named without a folder in \Windows first, then in the root.
Device::Result Device::FindProgram(const std::wstring &image, std::wstring *canonical) {
    std::wstring name = image;
    if (image.find(L'\\') == std::wstring::npos &&
        NormalizeDevicePath(L"\\Windows\\" + image, false, canonical) == 0 && LookUp(*canonical).exists) {
        name = L"\\Windows\\" + image;
    }
    DWORD error = NormalizeDevicePath(name, false, canonical);
    if (error) return Fail(error);
    Item item = LookUp(*canonical);
    if (!item.exists) return Fail(ERROR_FILE_NOT_FOUND);
    if (item.directory) return Fail(ERROR_ACCESS_DENIED);
    return Done("");
}

Device::Result Device::DoCreateProcess(const std::wstring &image, uint32_t *processId) {
    std::wstring canonical;
    Result found = FindProgram(image, &canonical);
    return found.ok ? DoStartProgram(canonical, processId) : found;
}

Device::Result Device::DoCreateProcess(uint32_t session, const std::wstring &image, Started *started) {
    std::wstring canonical;
    Result result = FindProgram(image, &canonical);
    if (!result.ok) return result;
    result = DoStartProgram(canonical, &started->processId);
    if (!result.ok) return result;
    started->threadId = started->processId + 1;
    // The caller holds both handles until it closes them, whether or not
    // the program still runs, as on Windows.
    for (Kind kind : {Kind::kProcess, Kind::kThread}) {
        Handle handle;
        handle.session = session;
        handle.kind = kind;
        handle.path = canonical;
        (kind == Kind::kProcess ? started->process : started->thread) = NewHandle(std::move(handle));
    }
    result.note += ", process handle " + std::to_string(started->process) + ", thread handle " +
                   std::to_string(started->thread);
    return result;
}

void Device::EndClosedPrograms() {
    const uint64_t now = GetTickCount64();
    auto ended = [now](const Program &program) { return program.endsAt != 0 && now >= program.endsAt; };
    for (const Program &program : running_) {
        if (ended(program)) Log("program ended: " + Quoted(program.path));
    }
    // running.txt already left them out when they were asked to close.
    running_.erase(std::remove_if(running_.begin(), running_.end(), ended), running_.end());
}

Device::Result Device::DoInvoke(const std::wstring &library, const std::wstring &function, const uint8_t *input,
                                uint32_t inputSize, int32_t *returned, std::vector<uint8_t> *output) {
    output->clear();
    std::wstring canonical;
    Result result;
    Item item;
    if (NormalizeDevicePath(library, false, &canonical) != 0 || !(item = LookUp(canonical)).exists ||
        item.directory) {
        result = Fail(ERROR_FILE_NOT_FOUND);
    } else {
        std::vector<std::string> fields = SplitFields(FirstLine(HostPath(canonical)), '\t');
        std::string wanted = WideToUtf8(function);
        bool isLibrary = fields.size() >= 2 && fields[0] == "CELIB" && fields[1] == "EXPORTS";
        if (!isLibrary) {
            result = Fail(ERROR_BAD_EXE_FORMAT);
        } else if (std::find(fields.begin() + 2, fields.end(), wanted) == fields.end()) {
            result = Fail(ERROR_CALL_NOT_IMPLEMENTED);
        } else if (wanted != "CloseApp") {
            result = Done("ran " + wanted);  // a function this device knows nothing more about
            *output = {0, 0, 0, 0};
        } else if (inputSize < kCloseRequestBytes) {
            result = Fail(ERROR_INVALID_PARAMETER);
        } else {
            std::wstring windowClass = RequestString(input);
            std::wstring title = RequestString(input + kCloseRequestHalf);
            // Window class and title compare as FindWindow compares them.
            auto match = std::find_if(running_.begin(), running_.end(), [&](const Program &program) {
                return SameName(program.windowClass, windowClass) && SameName(program.title, title);
            });
            bool found = match != running_.end();
            if (found && !faults_.ignoreClose && faults_.closeDelayMs == 0) {
                result = Done("CloseApp " + Quoted(windowClass) + " " + Quoted(title) + ": closed " +
                              Quoted(match->path));
                running_.erase(match);
                SaveRunning();
            } else if (found && !faults_.ignoreClose) {
                // The program takes a while to end; its file stays in use
                // until then. A second request does not put its end off.
                if (match->endsAt == 0) match->endsAt = GetTickCount64() + static_cast<uint64_t>(faults_.closeDelayMs);
                result = Done("CloseApp " + Quoted(windowClass) + " " + Quoted(title) + ": " +
                              Quoted(match->path) + " closing, ends in " + std::to_string(faults_.closeDelayMs) +
                              " ms");
                SaveRunning();
            } else {
                result = Done("CloseApp " + Quoted(windowClass) + " " + Quoted(title) +
                              (found ? ": the program ignores it" : ": no such window"));
            }
            // The output block: 1 when a window was asked to close, else 0.
            *output = {static_cast<uint8_t>(found ? 1 : 0), 0, 0, 0};
        }
    }
    *returned = result.ok ? 0 : static_cast<int32_t>(result.lastError);
    if (faults_.hasInvokeResult) {
        *returned = faults_.invokeResult;
        result.note += " (result forced to " + std::to_string(*returned) + ")";
    }
    if (*returned != 0) output->clear();
    return result;
}
