// Where the program's libraries come from: rapi.dll only from the system
// folder, although this test program has the stand-in beside it, and,
// once the search is restricted, nothing from the program's own folder or
// the current directory.
#include <gtest/gtest.h>

#include <string>

#include "device/rapi.h"
#include "device/rapi_loader.h"
#include "tests/support/test_device.h"

namespace {

std::string ModulePath(HMODULE module) {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(module, path, MAX_PATH);
    return path;
}

std::string FolderOf(const std::string &path) { return path.substr(0, path.find_last_of('\\')); }

std::string SystemFolder() {
    char path[MAX_PATH] = "";
    GetSystemDirectoryA(path, MAX_PATH);
    return path;
}

// Runs before the search is restricted below (tests run in file order).
TEST(RapiLoader, TheSystemFoldersRapiDllIsTheOneUsed) {
    TestDevice device("pocketpc");
    device.Plug();
    RAPIINIT init = {sizeof(RAPIINIT), nullptr, E_FAIL};
    ASSERT_EQ(CeRapiInitEx(&init), S_OK);
    WaitForSingleObject(init.heRapiInit, 10000);
    CeRapiUninit();
    const std::string beside = FolderOf(ModulePath(nullptr)) + "\\rapi.dll";
    ASSERT_NE(GetFileAttributesA(beside.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(_stricmp(ModulePath(GetModuleHandleA("rapi.dll")).c_str(), (SystemFolder() + "\\rapi.dll").c_str()), 0)
        << ModulePath(GetModuleHandleA("rapi.dll"));
}

// A library beside the program, a library and a kernel32.dll in the current
// directory: none is found once the search is restricted.
TEST(RapiLoader, TheRestrictedSearchLeavesOutTheProgramFolderAndTheCurrentDirectory) {
    const std::string programFolder = FolderOf(ModulePath(nullptr));
    const std::string planted = programFolder + "\\planted\\rapi.dll";
    const std::string besideProgram = programFolder + "\\tesh_probe_beside.dll";
    char temp[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, temp);
    const std::string work = std::string(temp) + "tesh-search-" + std::to_string(GetCurrentProcessId());
    char previous[MAX_PATH] = "";
    GetCurrentDirectoryA(MAX_PATH, previous);
    ASSERT_TRUE(CreateDirectoryA(work.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(CopyFileA(planted.c_str(), besideProgram.c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(planted.c_str(), (work + "\\tesh_probe_here.dll").c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(planted.c_str(), (work + "\\kernel32.dll").c_str(), FALSE));
    SetCurrentDirectoryA(work.c_str());

    RestrictLibrarySearch();
    EXPECT_EQ(LoadLibraryA("tesh_probe_beside.dll"), nullptr);
    EXPECT_EQ(LoadLibraryA("tesh_probe_here.dll"), nullptr);
    char found[MAX_PATH] = "";
    SearchPathA(nullptr, "kernel32.dll", nullptr, MAX_PATH, found, nullptr);
    EXPECT_EQ(_stricmp(FolderOf(found).c_str(), SystemFolder().c_str()), 0) << found;

    SetCurrentDirectoryA(previous);
    DeleteFileA(besideProgram.c_str());
    DeleteFileA((work + "\\tesh_probe_here.dll").c_str());
    DeleteFileA((work + "\\kernel32.dll").c_str());
    RemoveDirectoryA(work.c_str());
}

}  // namespace
