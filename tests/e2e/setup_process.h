// The real setup.exe, run as a child process from a setup folder of its own.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

class SetupProcess {
public:
    // Makes a fresh setup folder in the temporary folder holding setup.exe
    // from this test program's folder. setup.exe finds the stand-in rapi.dll
    // in the Wine prefix's system folder, as it finds the system's.
    SetupProcess();
    // Ends the program if it still runs, and deletes the setup folder.
    ~SetupProcess();
    SetupProcess(const SetupProcess &) = delete;
    SetupProcess &operator=(const SetupProcess &) = delete;

    const std::string &Folder() const { return folder_; }
    // Copies a file of this test program's folder (or a subfolder) into the
    // setup folder, under another name or path there when "as" is given.
    bool AddFromTestFolder(const std::string &name, const std::string &as = "");

    // Starts setup.exe with the setup folder (or currentDirectory) as its
    // current directory and the given text after the program name. False
    // when it cannot start.
    bool Start(const std::string &arguments = "", const std::string &currentDirectory = "");
    // The exit code once the program ended within the time; -1 otherwise.
    long WaitForExit(DWORD timeoutMs);

private:
    std::string folder_;
    PROCESS_INFORMATION process_ = {};
};

const char kOtherOptionsCaption[] = "Other Options";

// Clicks an action of the Other Options menu: the menu goes away while the
// action runs, and a new one comes back after it, which is returned.
// Waiting for the old one to go first keeps the next click from landing
// on a menu that is already closing.
HWND RunAction(HWND options, int button, const std::function<void()> &whileRunning = nullptr,
               DWORD timeoutMs = 15000);
