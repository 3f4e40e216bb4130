// A simulated device served on a thread of the test process: a fresh image
// in a temporary folder, the pipe CEDEVICE_PIPE names, the log kept in
// memory (also printed when CEDEVICE_LOG is set).
#include "tests/support/test_device.h"

#include <winsock2.h>

#include <gtest/gtest.h>
#include <stdio.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "model/device.h"
#include "model/host_files.h"
#include "serve/link_speed.h"
#include "serve/network_service.h"
#include "serve/pipe_service.h"
#include "serve/rapi2_dock.h"
#include "model/text_util.h"
#include "protocol/wire.h"

struct TestDevice::Impl {
    std::wstring folder;  // the temporary folder holding the image
    std::unique_ptr<Device> device;
    LinkSpeed link;  // the device's cable, shared by its services
    std::unique_ptr<PipeService> service;
    std::unique_ptr<NetworkService> network;
    std::unique_ptr<Rapi2Dock> dock;  // a Windows Mobile device docked to a desktop
    mutable std::mutex logLock;
    std::vector<std::string> log;
};

namespace {

std::wstring NewTemporaryFolder() {
    static std::atomic<unsigned> counter{0};
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    for (;;) {
        std::wstring folder = std::wstring(base) + L"tesh-device-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(counter++);
        if (CreateDirectoryW(folder.c_str(), nullptr)) return folder;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return std::wstring();
    }
}

bool LogToConsole() {
    wchar_t value[8];
    return GetEnvironmentVariableW(L"CEDEVICE_LOG", value, 8) > 0;
}

}  // namespace

TestDevice::TestDevice(const std::string &profile) : impl_(new Impl()) {
    impl_->folder = NewTemporaryFolder();
    std::wstring image = impl_->folder + L"\\image";
    std::string error;
    if (impl_->folder.empty() || !Device::CreateImage(image, profile, &error) ||
        !(impl_->device = Device::Load(image, &error))) {
        ADD_FAILURE() << "cannot make a test device (" << profile << "): " << error;
        return;
    }
    Impl *impl = impl_;
    bool print = LogToConsole();
    impl_->device->SetLogSink([impl, print](const std::string &line) {
        std::lock_guard<std::mutex> lock(impl->logLock);
        impl->log.push_back(line);
        if (print) printf("cedevice: %s\n", line.c_str());
    });
    impl_->service.reset(new PipeService(*impl_->device, impl_->link, wire::PipeNameFromEnvironment()));
}

TestDevice::~TestDevice() {
    impl_->dock.reset();
    impl_->network.reset();
    impl_->service.reset();  // unplugs
    impl_->device.reset();
    if (!impl_->folder.empty()) DeleteHostTree(impl_->folder);
    delete impl_;
}

void TestDevice::Plug() {
    if (!impl_->service) return;
    std::string error;
    // The pipe of a device unplugged a moment ago may still be closing.
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (impl_->service->Start(&error)) return;
        Sleep(50);
    }
    ADD_FAILURE() << "cannot plug the test device in: " << error;
}

void TestDevice::Unplug() {
    if (impl_->dock) impl_->dock->Stop();
    if (impl_->network) impl_->network->Stop();
    if (impl_->service) impl_->service->Stop();
}

uint16_t TestDevice::ServeNetwork(const std::string &desktop, const std::string &address, Docking docking) {
    if (!impl_->device) return 0;
    NetworkService::Endpoint rapi{address, 0}, control;
    if (!desktop.empty() && !NetworkService::ParseEndpoint(desktop, 0, &control)) return 0;
    const bool mobile = impl_->device->Introduce().remoteApi == 2;
    if (mobile && !desktop.empty()) {
        impl_->dock.reset(new Rapi2Dock(*impl_->device, impl_->link, rapi, control));
        impl_->dock->SetForgiving(docking == Docking::kForgiving);
        std::string error;
        if (!impl_->dock->Start(&error)) {
            ADD_FAILURE() << "cannot dock the test device: " << error;
            return 0;
        }
        return control.port;
    }
    impl_->network.reset(new NetworkService(*impl_->device, impl_->link, rapi, control, mobile));
    impl_->network->SetForgiving(docking == Docking::kForgiving);
    std::string error;
    if (!impl_->network->Start(&error)) {
        ADD_FAILURE() << "cannot serve the test device on the network: " << error;
        return 0;
    }
    return impl_->network->Port();
}

Device &TestDevice::Model() { return *impl_->device; }

const std::wstring &TestDevice::ImageFolder() const {
    static const std::wstring kNone;
    return impl_->device ? impl_->device->Image() : kNone;
}

void TestDevice::SetFault(const std::string &name, const std::string &value) {
    std::string error;
    if (!impl_->device || !impl_->device->SetFault(name, value, &error)) ADD_FAILURE() << "SetFault: " << error;
}

void TestDevice::SetLinkSpeed(uint64_t bytesPerSecond) {
    impl_->link.SetBytesPerSecond(bytesPerSecond);
}

void TestDevice::SetLinkLatency(uint32_t milliseconds) {
    impl_->link.SetLatency(milliseconds);
}

void TestDevice::InsertCard(const std::wstring &name) {
    std::string error;
    if (!impl_->device || !impl_->device->InsertCard(name, &error)) ADD_FAILURE() << "InsertCard: " << error;
}

void TestDevice::RemoveCard(const std::wstring &name) {
    std::string error;
    if (!impl_->device || !impl_->device->RemoveCard(name, &error)) ADD_FAILURE() << "RemoveCard: " << error;
}

bool TestDevice::Exists(const std::wstring &devicePath) const {
    return impl_->device && impl_->device->Exists(devicePath);
}

std::string TestDevice::ReadFile(const std::wstring &devicePath) const {
    std::string content;
    if (impl_->device) impl_->device->ReadContent(devicePath, &content);
    return content;
}

void TestDevice::WriteFile(const std::wstring &devicePath, const std::string &content) {
    if (!impl_->device || !impl_->device->WriteContent(devicePath, content)) {
        ADD_FAILURE() << "cannot write device file " << WideToUtf8(devicePath);
    }
}

void TestDevice::MakeFolder(const std::wstring &devicePath) {
    if (!impl_->device || !impl_->device->MakeFolder(devicePath)) {
        ADD_FAILURE() << "cannot make device folder " << WideToUtf8(devicePath);
    }
}

DWORD TestDevice::Attributes(const std::wstring &devicePath) const {
    return impl_->device ? impl_->device->Attributes(devicePath) : INVALID_FILE_ATTRIBUTES;
}

bool TestDevice::Times(const std::wstring &devicePath, FILETIME *creation, FILETIME *lastAccess,
                       FILETIME *lastWrite) const {
    return impl_->device && impl_->device->Times(devicePath, creation, lastAccess, lastWrite);
}

void TestDevice::SetTimes(const std::wstring &devicePath, const FILETIME &creation, const FILETIME &lastAccess,
                          const FILETIME &lastWrite) {
    if (!impl_->device || !impl_->device->SetTimes(devicePath, creation, lastAccess, lastWrite)) {
        ADD_FAILURE() << "cannot set times of " << WideToUtf8(devicePath);
    }
}

bool TestDevice::StartProgram(const std::wstring &devicePath) {
    std::string error;
    return impl_->device && impl_->device->StartProgram(devicePath, &error);
}

bool TestDevice::IsRunning(const std::wstring &devicePath) const {
    return impl_->device && impl_->device->IsRunning(devicePath);
}

size_t TestDevice::OpenHandleCount() const { return impl_->device ? impl_->device->OpenHandleCount() : 0; }

std::vector<std::string> TestDevice::Log() const {
    std::lock_guard<std::mutex> lock(impl_->logLock);
    return impl_->log;
}

uint16_t FreeLoopbackPort() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 0;
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address);
    int size = sizeof address;
    getsockname(probe, reinterpret_cast<sockaddr *>(&address), &size);
    closesocket(probe);
    WSACleanup();
    return ntohs(address.sin_port);
}
