// The real setup.exe, run as a child process from a setup folder of its own.
#pragma once

#include <windows.h>

#include <string>

class SetupProcess {
public:
    // Makes a fresh setup folder in the temporary folder holding setup.exe
    // and the stand-in rapi.dll from this test program's folder.
    SetupProcess();
    // Ends the program if it still runs, and deletes the setup folder.
    ~SetupProcess();
    SetupProcess(const SetupProcess &) = delete;
    SetupProcess &operator=(const SetupProcess &) = delete;

    const std::string &Folder() const { return folder_; }
    // Copies a file of this test program's folder into the setup folder.
    bool AddFromTestFolder(const std::string &name);

    // Starts setup.exe with the setup folder as its current directory and
    // the given text after the program name. False when it cannot start.
    bool Start(const std::string &arguments = "");
    // The exit code once the program ended within the time; -1 otherwise.
    long WaitForExit(DWORD timeoutMs);

private:
    std::string folder_;
    PROCESS_INFORMATION process_ = {};
};
