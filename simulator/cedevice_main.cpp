// cedevice.exe: the simulated Windows CE device. Docks the device kept in an
// image folder (creating it from a profile the first time), serves it to the
// stand-in rapi.dll on a named pipe and prints one line per operation.
// With --network it also serves the remote API over TCP as a networked CE
// device does, and with --desktop it connects out to a desktop's control
// port. Options change the device instead: set a fault, insert or remove a
// storage card, start a program, change the registry, list what is on it.
#include <windows.h>
#include <stdio.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cedevice_admin.h"
#include "cedevice_options.h"
#include "model/device.h"
#include "model/host_files.h"
#include "model/image_lock.h"
#include "model/profiles.h"
#include "model/text_util.h"
#include "protocol/rapi1.h"
#include "protocol/rapi2.h"
#include "protocol/wire.h"
#include "serve/link_speed.h"
#include "serve/network_service.h"
#include "serve/pipe_service.h"
#include "serve/rapi2_dock.h"

namespace {

HANDLE g_stop = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD) {
    SetEvent(g_stop);
    return TRUE;
}

bool ChangeDirectly(Device &device, const Options &options) {
    bool allOk = true;
    for (const auto &change : options.changes) {
        std::string error;
        bool ok = false;
        if (change.first == wire::kAdminSetFault) {
            std::string text = WideToUtf8(change.second);
            size_t at = text.find('=');
            ok = device.SetFault(text.substr(0, at), at == std::string::npos ? "" : text.substr(at + 1), &error);
        } else if (change.first == wire::kAdminInsertCard) {
            ok = device.InsertCard(change.second, &error);
        } else if (change.first == wire::kAdminRemoveCard) {
            ok = device.RemoveCard(change.second, &error);
        } else if (change.first == wire::kAdminRegistrySet || change.first == wire::kAdminRegistryDelete) {
            ok = device.ChangeRegistry(change.first == wire::kAdminRegistrySet, change.second, &error);
        } else {
            ok = device.StartProgram(change.second, &error);
        }
        Print(WideToUtf8(change.second) + ": " + (ok ? "done" : error));
        allOk = allOk && ok;
    }
    return allOk;
}

// Why an image served by a device this program cannot reach is left alone,
// in this program's own words: the kit has no other command for it.
std::string ServedElsewhere(const Options &options, const std::wstring &holderPipe) {
    return "cedevice: " + WideToUtf8(FullHostPath(options.image)) + " is docked: a running cedevice serves it on " +
           WideToUtf8(holderPipe) + ", and changes to it must go through that device.\n" +
           "Give the same cedevice command where that device runs (the same Windows session or Wine prefix), " +
           "adding --pipe " + WideToUtf8(holderPipe) + " if that is not the default pipe.";
}

// The image another device serves on this pipe; false when none answers
// there. A pipe whose every instance is busy is served, by an image this
// program cannot learn (empty).
bool PipeServedBy(const std::wstring &pipe, std::wstring *image) {
    image->clear();
    AdminLink link(pipe);
    if (!link.Open()) return GetLastError() == ERROR_PIPE_BUSY;
    if (!link.ServedImage(image)) image->clear();
    return true;
}

struct NetworkServices {
    std::unique_ptr<NetworkService> rapi1;  // a CE 3.x/4.x device's port and control channel
    std::unique_ptr<Rapi2Dock> dock;        // a Windows Mobile device calling the desktop
    std::unique_ptr<NetworkService> bare;   // bare Windows Mobile sessions (--rapi2-listen)
};

// The network services the options ask for, in the protocol of the
// device's profile. 0, or the exit code when one cannot start.
int StartNetwork(Device &device, LinkSpeed &link, const Options &options, NetworkServices *services) {
    const bool mobile = device.Introduce().remoteApi == 2;
    NetworkService::Endpoint rapi, desktop, bare;
    if (!options.network.empty() && !NetworkService::ParseEndpoint(options.network, rapi1::kRapiPort, &rapi)) {
        Print("cedevice: --network wants ADDRESS[:PORT], not " + options.network);
        return 2;
    }
    const uint16_t desktopPort = mobile ? rapi2::kDesktopPort : rapi1::kDesktopPort;
    if (!options.desktop.empty() && !NetworkService::ParseEndpoint(options.desktop, desktopPort, &desktop)) {
        Print("cedevice: --desktop wants HOST[:PORT], not " + options.desktop);
        return 2;
    }
    if (!options.rapi2Listen.empty() && !NetworkService::ParseEndpoint(options.rapi2Listen, 0, &bare)) {
        Print("cedevice: --rapi2-listen wants ADDRESS:PORT, not " + options.rapi2Listen);
        return 2;
    }
    if (mobile && !options.network.empty() && options.desktop.empty()) {
        Print("cedevice: a Windows Mobile device calls the desktop: --network needs --desktop HOST[:PORT]");
        return 2;
    }
    std::string error;
    if (!options.network.empty() && mobile) {
        services->dock.reset(new Rapi2Dock(device, link, rapi, desktop));
        services->dock->SetForgiving(options.forgiving);
        if (!services->dock->Start(&error)) {
            Print("cedevice: " + error);
            return 1;
        }
    } else if (!options.network.empty()) {
        services->rapi1.reset(new NetworkService(device, link, rapi, desktop));
        services->rapi1->SetForgiving(options.forgiving);
        if (!services->rapi1->Start(&error)) {
            Print("cedevice: " + error);
            return 1;
        }
    }
    if (!options.rapi2Listen.empty()) {
        services->bare.reset(new NetworkService(device, link, bare, NetworkService::Endpoint(), true));
        if (!services->bare->Start(&error)) {
            Print("cedevice: " + error);
            return 1;
        }
    }
    return 0;
}

int Serve(Device &device, const Options &options) {
    // Two devices on one pipe would each take some of the calls.
    std::wstring other;
    if (PipeServedBy(options.pipe, &other)) {
        Print("cedevice: " + WideToUtf8(options.pipe) + " is already served by " +
              (other.empty() ? std::string("another device") : "the device of " + WideToUtf8(other)) +
              "; undock that one first (Ctrl+C where it runs), or serve this one with --pipe NAME.");
        return 1;
    }
    device.SetLogSink(Print);
    LinkSpeed link;
    link.SetBytesPerSecond(options.linkSpeed);
    link.SetLatency(static_cast<uint32_t>(options.linkLatency));
    PipeService service(device, link, options.pipe);
    std::string error;
    if (!service.Start(&error)) {
        Print("cedevice: " + error);
        return 1;
    }
    NetworkServices network;
    int failed = StartNetwork(device, link, options, &network);
    if (failed) return failed;
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    std::string speed = options.linkSpeed ? ", link " + std::to_string(options.linkSpeed) + " bytes per second" : "";
    if (options.linkLatency) speed += ", " + std::to_string(options.linkLatency) + " ms delay per call";
    Print("docked: " + WideToUtf8(device.Image()) + " on " + WideToUtf8(options.pipe) + speed +
          " (Ctrl+C to undock)");
    WaitForSingleObject(g_stop, INFINITE);
    if (network.rapi1) network.rapi1->Stop();
    if (network.dock) network.dock->Stop();
    if (network.bare) network.bare->Stop();
    service.Stop();
    Print("undocked");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    SetConsoleOutputCP(CP_UTF8);
    Options options;
    std::string error;
    if (AsksForHelp(argc, argv)) {
        Print(Usage());
        return 0;
    }
    if (!ParseOptions(argc, argv, &options, &error)) {
        Print("cedevice: " + error + " (cedevice --help lists the options)");
        return 2;
    }
    if (GetFileAttributesW(options.image.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (!Device::CreateImage(options.image, options.profile, &error)) {
            Print("cedevice: " + error);
            return 1;
        }
        Print("created a " + options.profile + " device in " + WideToUtf8(FullHostPath(options.image)));
    }
    bool actions = options.list || !options.changes.empty();
    bool allOk = true;
    if (!options.changes.empty() && !options.serve && SendToService(options.pipe, options.image, options.changes, &allOk)) {
        options.changes.clear();
    }
    // Serving claims the image; changes that could not reach the device
    // serving it would be lost to it, or undone by it.
    ImageLock lock;
    std::wstring holderPipe;
    bool serving = options.serve || !actions;
    if (serving && !lock.Claim(options.image, options.pipe, &holderPipe)) {
        Print(holderPipe.empty() ? "cedevice: cannot lock " + WideToUtf8(FullHostPath(options.image))
                                 : "cedevice: " + WideToUtf8(FullHostPath(options.image)) +
                                       " is already docked: a running cedevice serves it on " + WideToUtf8(holderPipe));
        return 1;
    }
    if (!serving && !options.changes.empty() && ImageLock::IsClaimed(options.image, &holderPipe)) {
        Print(ServedElsewhere(options, holderPipe));
        return 1;
    }
    std::unique_ptr<Device> device = Device::Load(options.image, &error);
    if (!device) {
        Print("cedevice: " + error);
        return 1;
    }
    if (!options.changes.empty()) allOk = ChangeDirectly(*device, options) && allOk;
    if (options.list) Print(LinkInEffect(options.pipe, options.image) + "\n" + device->Describe());
    if ((actions && !options.serve) || !allOk) return allOk ? 0 : 1;
    return Serve(*device, options);
}
