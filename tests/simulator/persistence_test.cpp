// The image folder as the device's memory: cedevice.exe serves an image,
// a second cedevice.exe changes it while it serves, the first is killed,
// and everything it answered is found again by a new service.
#include <string>

#include "model/device.h"
#include "model/host_files.h"
#include "serve/link_speed.h"
#include "serve/pipe_service.h"
#include "model/text_util.h"
#include "protocol/wire.h"
#include "tests/simulator/docked.h"

namespace {

const DWORD kProcessWaitMs = 60000;
const wchar_t kReader[] = L"\\Program Files\\Corvex Press\\Tesh Reader.exe";
const wchar_t kLibrary[] = L"\\Program Files\\Corvex Press\\tarnlib.dll";
const wchar_t kShortcut[] = L"\\Windows\\Desktop\\Tesh\u2122 Reader.lnk";

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

// cedevice.exe with its output going to a file.
PROCESS_INFORMATION StartDevice(const std::wstring &arguments, const std::wstring &outputFile) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE output = CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                CREATE_ALWAYS, 0, nullptr);
    std::wstring command = L"\"" + ProgramFolder() + L"\\cedevice.exe\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION child = {};
    // Wine now and then fails to start a process on a busy machine (error
    // 1359); what is tested here is the device, so a start is tried again.
    bool started = false;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
        if (attempt) Sleep(500);
        started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child);
    }
    if (!started) ADD_FAILURE() << "cannot start cedevice.exe (error " << GetLastError() << ")";
    CloseHandle(output);
    return child;
}

// Runs cedevice.exe to its end: its exit code and what it printed.
DWORD RunDevice(const std::wstring &arguments, const std::wstring &outputFile, std::string *printed) {
    PROCESS_INFORMATION child = StartDevice(arguments, outputFile);
    DWORD code = 999;
    if (child.hProcess) {
        EXPECT_EQ(WaitForSingleObject(child.hProcess, kProcessWaitMs), WAIT_OBJECT_0);
        GetExitCodeProcess(child.hProcess, &code);
        CloseHandle(child.hProcess);
        CloseHandle(child.hThread);
    }
    ReadHostFile(outputFile, printed);
    return code;
}

void Kill(PROCESS_INFORMATION *child) {
    TerminateProcess(child->hProcess, 9);
    WaitForSingleObject(child->hProcess, kProcessWaitMs);
    CloseHandle(child->hProcess);
    CloseHandle(child->hThread);
}

// Points the stand-in (read at each start-up) and child processes at a pipe.
class PipeOverride {
public:
    explicit PipeOverride(const std::wstring &pipe) : saved_(wire::PipeNameFromEnvironment()) {
        SetEnvironmentVariableW(L"CEDEVICE_PIPE", pipe.c_str());
    }
    ~PipeOverride() { SetEnvironmentVariableW(L"CEDEVICE_PIPE", saved_.c_str()); }

private:
    std::wstring saved_;
};

FILETIME Time(uint64_t value) { return FileTimeFrom(value); }

HANDLE Open(const wchar_t *path, DWORD access, DWORD disposition) {
    return CeCreateFile(path, access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void PutFile(const wchar_t *path, const std::string &content, const FILETIME &when) {
    HANDLE file = Open(path, GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << simtest::Narrow(path);
    DWORD written = 0;
    EXPECT_TRUE(CeWriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
    EXPECT_TRUE(CeSetFileTime(file, &when, &when, &when));
    CeCloseHandle(file);
}

class Persistence : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder = std::wstring(temp) + L"tesh-sim-persist-" + std::to_wstring(GetCurrentProcessId());
        DeleteHostTree(folder);
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        image = folder + L"\\image";
        pipe = wire::PipeNameFromEnvironment() + L"-child";
    }
    void TearDown() override {
        CeRapiUninit();
        DeleteHostTree(folder);
    }
    std::wstring Quoted(const std::wstring &text) { return L"\"" + text + L"\""; }
    std::wstring folder, image, pipe;
};

TEST_F(Persistence, KilledServiceLosesNothingItAnswered) {
    const FILETIME kWhen = Time(0x01C2A0B0C0D0E0F1ull);
    PipeOverride override(pipe);
    PROCESS_INFORMATION service =
        StartDevice(Quoted(image) + L" --profile hpc2000 --pipe " + Quoted(pipe) +
                        L" --fault close_delay_ms=60000 --serve",
                    folder + L"\\serve.log");
    ASSERT_EQ(simtest::Connect(kProcessWaitMs), S_OK);

    // What a reader installation does.
    EXPECT_TRUE(CeCreateDirectory(L"\\Program Files", nullptr));
    EXPECT_TRUE(CeCreateDirectory(L"\\Program Files\\Corvex Press", nullptr));
    PutFile(kReader, "CEAPP\tWINDOW\tREADER\tTesh\xE2\x84\xA2 Reader\n", kWhen);
    PutFile(kLibrary, "CELIB\tEXPORTS\tCloseApp\n", kWhen);
    std::wstring shortcut = kShortcut;
    std::wstring target = L"\"" + std::wstring(kReader) + L"\"";
    EXPECT_NE(CeSHCreateShortcut(&shortcut[0], &target[0]), 0u);
    PROCESS_INFORMATION started = {};
    EXPECT_TRUE(CeCreateProcess(kReader, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &started));
    // A program asked to close, still closing when the service dies.
    const wchar_t kNotes[] = L"\\Windows\\notes.exe";
    PutFile(kNotes, "CEAPP\tWINDOW\tNOTES\tNotes\n", kWhen);
    EXPECT_TRUE(CeCreateProcess(kNotes, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &started));
    BYTE *request = static_cast<BYTE *>(LocalAlloc(LPTR, 1024));
    memcpy(request, L"NOTES", sizeof L"NOTES");
    memcpy(request + 512, L"Notes", sizeof L"Notes");
    DWORD outputSize = 0;
    BYTE *output = nullptr;
    EXPECT_EQ(CeRapiInvoke(kLibrary, L"CloseApp", 1024, request, &outputSize, &output, nullptr, 0), S_OK);
    LocalFree(output);
    // A file still open when the service dies.
    HANDLE open = Open(L"\\My Documents\\open.txt", GENERIC_WRITE, CREATE_ALWAYS);
    DWORD written = 0;
    EXPECT_TRUE(CeWriteFile(open, "partial", 7, &written, nullptr));

    // A second cedevice.exe changes the device through the one serving it.
    std::string printed;
    EXPECT_EQ(RunDevice(Quoted(image) + L" --pipe " + Quoted(pipe) +
                            L" --fault ignore_close=1 --remove-card \"CF Card\" --insert-card \"SD Card\"",
                        folder + L"\\admin.log", &printed),
              0u)
        << printed;
    EXPECT_NE(printed.find("by the running service"), std::string::npos) << printed;
    EXPECT_EQ(simtest::Attributes(L"\\SD Card"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY));
    EXPECT_EQ(simtest::Attributes(L"\\CF Card"), INVALID_FILE_ATTRIBUTES);

    // One that cannot reach the serving device (another pipe, as from another
    // Wine prefix) leaves the image alone and says why; a second device
    // cannot serve it either. Reading it is fine.
    const std::wstring elsewhere = L" --pipe " + Quoted(pipe + L"-elsewhere");
    EXPECT_EQ(RunDevice(Quoted(image) + elsewhere + L" --fault capacity=1", folder + L"\\refused.log", &printed), 1u);
    EXPECT_NE(printed.find("is docked: a running cedevice serves it on " + simtest::Narrow(pipe)), std::string::npos)
        << printed;
    EXPECT_EQ(RunDevice(Quoted(image) + elsewhere, folder + L"\\second.log", &printed), 1u);
    EXPECT_NE(printed.find("is already docked"), std::string::npos) << printed;
    EXPECT_EQ(RunDevice(Quoted(image) + elsewhere + L" --list", folder + L"\\list.log", &printed), 0u) << printed;
    EXPECT_EQ(printed.find("capacity"), std::string::npos) << printed;

    Kill(&service);
    CeRapiUninit();

    // The service printed a line per operation.
    std::string log;
    ReadHostFile(folder + L"\\serve.log", &log);
    EXPECT_NE(log.find("CeCreateFile \"\\Program Files\\Corvex Press\\Tesh Reader.exe\" write create-always -> "
                       "handle"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("CeSHCreateShortcut \"\\Windows\\Desktop\\Tesh\xE2\x84\xA2 Reader.lnk\" -> \"45#"),
              std::string::npos)
        << log;

    // The lock ended with the killed service: the image can be changed directly.
    EXPECT_EQ(RunDevice(Quoted(image) + L" --pipe " + Quoted(pipe) + L" --fault ignore_close=1",
                        folder + L"\\after.log", &printed),
              0u)
        << printed;

    // Everything is in the image.
    std::string error;
    std::unique_ptr<Device> device = Device::Load(image, &error);
    ASSERT_TRUE(device) << error;
    FILETIME c, a, w;
    ASSERT_TRUE(device->Times(kReader, &c, &a, &w));
    EXPECT_EQ(FileTimeValue(c), FileTimeValue(kWhen));
    EXPECT_EQ(FileTimeValue(a), FileTimeValue(kWhen));
    EXPECT_EQ(FileTimeValue(w), FileTimeValue(kWhen));
    EXPECT_TRUE(device->IsRunning(kReader));
    EXPECT_FALSE(device->IsRunning(kNotes)) << "it has ended by the time the device comes back";
    std::string content;
    EXPECT_TRUE(device->ReadContent(kShortcut, &content));
    EXPECT_EQ(content, "45#\"\\Program Files\\Corvex Press\\Tesh Reader.exe\"");
    EXPECT_TRUE(device->ReadContent(L"\\My Documents\\open.txt", &content));
    EXPECT_EQ(content, "partial");
    EXPECT_EQ(device->Attributes(L"\\SD Card"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY));
    EXPECT_FALSE(device->Exists(L"\\CF Card"));
    std::string listing = device->Describe();
    EXPECT_NE(listing.find("fault      ignore_close=1"), std::string::npos) << listing;
    EXPECT_NE(listing.find("fault      close_delay_ms=60000"), std::string::npos) << listing;
    EXPECT_NE(listing.find("running    \\Program Files\\Corvex Press\\Tesh Reader.exe"), std::string::npos)
        << listing;

    // And a new service on it answers as the old one did.
    std::wstring secondPipe = pipe + L"-2";
    PipeOverride second(secondPipe);
    LinkSpeed cable;
    PipeService served(*device, cable, secondPipe);
    ASSERT_TRUE(served.Start(&error)) << error;
    ASSERT_EQ(simtest::Connect(), S_OK);
    HANDLE reader = Open(kReader, GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CeGetFileTime(reader, &c, &a, &w));
    CeCloseHandle(reader);
    EXPECT_EQ(FileTimeValue(w), FileTimeValue(kWhen));
    EXPECT_EQ(Open(kReader, GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE) << "the reader still runs";
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CeRapiUninit();
    served.Stop();
}

TEST_F(Persistence, OptionsChangeAnImageNobodyServes) {
    std::string printed;
    EXPECT_EQ(RunDevice(Quoted(image) + L" --profile pocketpc --pipe " + Quoted(pipe) +
                            L" --fault capacity=5000 --insert-card \"CF Card\" --list",
                        folder + L"\\out.log", &printed),
              0u)
        << printed;
    EXPECT_NE(printed.find("created a pocketpc device"), std::string::npos) << printed;
    EXPECT_NE(printed.find("cards      Storage Card, CF Card"), std::string::npos) << printed;
    EXPECT_NE(printed.find("fault      capacity=5000"), std::string::npos) << printed;
    EXPECT_NE(printed.find("00000110           0"), std::string::npos) << "cards listed as directory + temporary";

    EXPECT_NE(RunDevice(Quoted(image) + L" --pipe " + Quoted(pipe) + L" --fault nonsense=1", folder + L"\\bad.log",
                        &printed),
              0u);
    EXPECT_NE(printed.find("unknown fault"), std::string::npos) << printed;
    EXPECT_NE(RunDevice(Quoted(folder + L"\\other") + L" --profile palmtop", folder + L"\\bad2.log", &printed), 0u);
    EXPECT_NE(printed.find("unknown profile"), std::string::npos) << printed;
}

}  // namespace
