// A test connected to a fresh simulated device through the remote API, with
// a progress window shown as the program's callers show it, and a scratch
// host folder for the files to copy.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/rapi.h"
#include "progress_recorder.h"
#include "tests/support/test_device.h"
#include "tests/support/test_values.h"

inline size_t CountLines(const std::vector<std::string> &log, const std::string &part, size_t from = 0) {
    return static_cast<size_t>(std::count_if(log.begin() + static_cast<long>(std::min(from, log.size())), log.end(),
                                             [&](const std::string &line) { return line.find(part) != std::string::npos; }));
}

// The sizes of the device writes logged from line `from` on, in order.
inline std::vector<DWORD> DeviceWriteSizes(const std::vector<std::string> &log, size_t from = 0) {
    std::vector<DWORD> sizes;
    for (size_t i = from; i < log.size(); ++i) {
        const std::string &line = log[i];
        size_t bytes = line.find(" bytes -> ");
        if (line.find("CeWriteFile ") == std::string::npos || bytes == std::string::npos) continue;
        size_t number = line.rfind(' ', bytes - 1) + 1;
        sizes.push_back(static_cast<DWORD>(std::stoul(line.substr(number, bytes - number))));
    }
    return sizes;
}

class DeviceTest : public ::testing::Test {
protected:
    explicit DeviceTest(const char *profile = "pocketpc") : device_(new TestDevice(profile)) {}

    void SetUp() override {
        PrepareForDialogs();
        device_->Plug();
        RAPIINIT init{sizeof init, nullptr, 0};
        ASSERT_TRUE(SUCCEEDED(CeRapiInitEx(&init)));
        ASSERT_EQ(WaitForSingleObject(init.heRapiInit, 10000), WAIT_OBJECT_0);
        ASSERT_TRUE(SUCCEEDED(init.hrRapiInit));
        connected_ = true;
        ShowProgressWindow();
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        hostFolder_ = std::string(temp) + "tesh_files_" + std::to_string(GetCurrentProcessId()) + "_" +
                      std::to_string(GetTickCount()) + "\\";
        CreateDirectoryA(hostFolder_.c_str(), nullptr);
    }

    void TearDown() override {
        HideProgressWindow();
        if (connected_) CeRapiUninit();
        for (const std::string &file : hostFiles_) DeleteFileA(file.c_str());
        RemoveDirectoryA(hostFolder_.c_str());
    }

    // A host file of the given size (a pattern that differs per position)
    // with the given last-write time; creation and last access a day apart.
    std::string MakeHostFile(const std::string &name, DWORD size, ULONGLONG lastWrite = kYear2001) {
        std::string path = hostFolder_ + name;
        std::string content(size, '\0');
        for (DWORD i = 0; i < size; ++i) content[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
        HANDLE file =
            CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(file, INVALID_HANDLE_VALUE) << path;
        DWORD written = 0;
        if (size) WriteFile(file, content.data(), size, &written, nullptr);
        FILETIME creation = MakeFileTime(lastWrite - 2 * kOneDay), access = MakeFileTime(lastWrite + kOneDay),
                 write = MakeFileTime(lastWrite);
        SetFileTime(file, &creation, &access, &write);
        CloseHandle(file);
        hostFiles_.push_back(path);
        hostContents_[path] = content;
        return path;
    }

    std::string HostContent(const std::string &path) { return hostContents_[path]; }

    // The host file's three times as the system reads them now.
    bool HostTimes(const std::string &path, FILETIME *creation, FILETIME *access, FILETIME *write) {
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        BOOL ok = GetFileTime(file, creation, access, write);
        CloseHandle(file);
        return ok != FALSE;
    }

    void ExpectDeviceTimesEqualHost(const std::wstring &devicePath, const std::string &hostPath) {
        FILETIME hc, ha, hw, dc, da, dw;
        ASSERT_TRUE(HostTimes(hostPath, &hc, &ha, &hw));
        ASSERT_TRUE(device_->Times(devicePath, &dc, &da, &dw));
        EXPECT_EQ(Ticks(dc), Ticks(hc)) << "creation";
        EXPECT_EQ(Ticks(da), Ticks(ha)) << "last access";
        EXPECT_EQ(Ticks(dw), Ticks(hw)) << "last write";
    }

    void MarkLines() {
        for (int line = 1; line <= 4; ++line) SetProgressLine(line, ("before " + std::to_string(line)).c_str());
    }
    void ExpectLinesMarked() {
        for (int line = 1; line <= 4; ++line) EXPECT_EQ(LineText(line), "before " + std::to_string(line));
    }
    void ExpectLinesBlank() {
        for (int line = 1; line <= 4; ++line) EXPECT_EQ(LineText(line), "") << "line " << line;
    }

    TestDevice &device() { return *device_; }

    std::unique_ptr<TestDevice> device_;
    bool connected_ = false;
    std::string hostFolder_;
    std::vector<std::string> hostFiles_;
    std::map<std::string, std::string> hostContents_;
};
