#include "tests/e2e/setup_process.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/robot.h"

namespace {

std::string TestProgramFolder() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    return folder.substr(0, folder.find_last_of("\\/"));
}

std::string NewTemporaryFolder() {
    char temp[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, temp);
    char name[MAX_PATH] = "";
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        snprintf(name, sizeof name, "%stesh-setup-%lu-%lu", temp, static_cast<unsigned long>(GetCurrentProcessId()),
                 static_cast<unsigned long>(GetTickCount() + attempt));
        if (CreateDirectoryA(name, nullptr)) return name;
    }
    ADD_FAILURE() << "cannot create a setup folder in " << temp;
    return std::string();
}

void DeleteFolder(const std::string &folder) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == "..") continue;
            const std::string path = folder + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                DeleteFolder(path);
            } else {
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(folder.c_str());
}

}  // namespace

SetupProcess::SetupProcess() : folder_(NewTemporaryFolder()) {
    EXPECT_TRUE(AddFromTestFolder("setup.exe"));
}

SetupProcess::~SetupProcess() {
    if (process_.hProcess) {
        if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_.hProcess, 1);
            WaitForSingleObject(process_.hProcess, 5000);
        }
        CloseHandle(process_.hProcess);
        CloseHandle(process_.hThread);
    }
    if (!folder_.empty()) DeleteFolder(folder_);
}

bool SetupProcess::AddFromTestFolder(const std::string &name, const std::string &as) {
    const std::string from = TestProgramFolder() + "\\" + name;
    const std::string to = folder_ + "\\" + (as.empty() ? name : as);
    return CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

bool SetupProcess::Start(const std::string &arguments, const std::string &currentDirectory) {
    const std::string program = folder_ + "\\setup.exe";
    std::string commandLine = "\"" + program + "\"";
    if (!arguments.empty()) commandLine += " " + arguments;
    std::vector<char> writable(commandLine.begin(), commandLine.end());
    writable.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    const std::string &directory = currentDirectory.empty() ? folder_ : currentDirectory;
    return CreateProcessA(program.c_str(), writable.data(), nullptr, nullptr, FALSE, 0, nullptr, directory.c_str(),
                          &startup, &process_) != 0;
}

long SetupProcess::WaitForExit(DWORD timeoutMs) {
    if (!process_.hProcess || WaitForSingleObject(process_.hProcess, timeoutMs) != WAIT_OBJECT_0) return -1;
    DWORD exitCode = 0;
    GetExitCodeProcess(process_.hProcess, &exitCode);
    return static_cast<long>(exitCode);
}

HWND RunAction(HWND options, int button, const std::function<void()> &whileRunning, DWORD timeoutMs) {
    robot::Click(options, button);
    EXPECT_TRUE(robot::WaitForWindowGone(options, timeoutMs)) << button;
    if (whileRunning) whileRunning();
    return robot::WaitForWindow(kOtherOptionsCaption, "#32770", timeoutMs);
}
