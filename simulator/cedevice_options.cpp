#include "cedevice_options.h"

#include "model/text_util.h"

namespace {

const char kUsage[] =
    "usage: cedevice IMAGE [options]\n"
    "       cedevice --help\n"
    "  Serves the device kept in the folder IMAGE until stopped (Ctrl+C),\n"
    "  printing one line per device operation. A missing IMAGE is created.\n"
    "options:\n"
    "  --profile NAME      profile for a new image: pocketpc (default), hpc2000,\n"
    "                      hpcpro, teshsize, emulator; Windows Mobile: wm5ppc,\n"
    "                      wm6ppc\n"
    "  --pipe NAME         pipe to serve on (default: CEDEVICE_PIPE, else\n"
    "                      \\\\.\\pipe\\cedevice)\n"
    "  --network ADDRESS[:PORT]\n"
    "                      also serve the remote API over TCP on ADDRESS, as a\n"
    "                      networked CE device does (PORT default 990); a\n"
    "                      Windows Mobile device listens nowhere and calls the\n"
    "                      desktop from ADDRESS instead (--desktop)\n"
    "  --desktop HOST[:PORT]\n"
    "                      connect out to a desktop's control port from the\n"
    "                      --network address (PORT default 5679; for a Windows\n"
    "                      Mobile device 990, where it docks and opens sessions).\n"
    "                      The device calls the desktop once when it starts, as\n"
    "                      a handheld does when its link comes up; a Windows\n"
    "                      Mobile device also each time the desktop's trigger\n"
    "                      reaches its UDP port 5679\n"
    "  --forgiving-docking (tests) call the desktop again every few seconds\n"
    "                      until answered and after each undocking, which no\n"
    "                      real handheld is known to do\n"
    "  --rapi2-listen ADDRESS:PORT\n"
    "                      also serve bare Windows Mobile (RAPI2) sessions on\n"
    "                      ADDRESS:PORT: no handshake, no id, no password, as a\n"
    "                      connection manager's proxy socket carries them\n"
    "  --fault NAME=VALUE  set a fault (an empty VALUE clears it)\n"
    "  --insert-card NAME  insert a storage card (a root folder)\n"
    "  --remove-card NAME  pull a storage card out\n"
    "  --start PATH        start a program on the device, as a user taps it\n"
    "  --reg-set KEY\\NAME=DATA\n"
    "                      set a registry value (made with its key if need be);\n"
    "                      DATA is text:TEXT, dword:NUMBER or hex:BYTES, KEY\n"
    "                      starts with HKLM, HKCU, HKCR or HKU\n"
    "  --reg-delete KEY[\\NAME]\n"
    "                      delete a registry value, or a key without sub keys\n"
    "  --list              show the device's state, registry and files, and the\n"
    "                      link of the cedevice that serves it, if one does\n"
    "  --serve             serve after the changes above (otherwise the\n"
    "                      changes are made and the program ends)\n"
    "  --link-speed BYTES_PER_SECOND\n"
    "                      while serving, move data no faster than this, as a\n"
    "                      cable would (default: unlimited; USB is about 1000000)\n"
    "  --link-latency MS   while serving, answer each request MS milliseconds\n"
    "                      late, as a slow link's round trip would (default 0)\n"
    "Changes go to the running cedevice that serves IMAGE on the pipe, if any.\n"
    "An image that no device serves is changed directly; one that a device\n"
    "serves on another pipe or in another Wine prefix is left alone.\n";

// The delay per call is kept below a minute: more is a typing error.
const uint64_t kMostLinkLatencyMs = 60000;

// A whole decimal number (bytes per second, milliseconds).
bool ParseWhole(const std::wstring &text, uint64_t *number) {
    if (text.empty() || text.size() > 15) return false;
    uint64_t value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + static_cast<uint64_t>(c - L'0');
    }
    *number = value;
    return true;
}

}  // namespace

std::string Usage() { return std::string(kUsage, sizeof kUsage - 2); }

bool AsksForHelp(int argc, wchar_t **argv) {
    for (int i = 1; i < argc; ++i) {
        if (wcscmp(argv[i], L"--help") == 0 || wcscmp(argv[i], L"-h") == 0 || wcscmp(argv[i], L"/?") == 0) return true;
    }
    return false;
}

bool ParseOptions(int argc, wchar_t **argv, Options *options, std::string *error) {
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == L"--list") {
            options->list = true;
        } else if (arg == L"--serve") {
            options->serve = true;
        } else if (arg == L"--link-speed" && hasValue) {
            if (!ParseWhole(argv[++i], &options->linkSpeed)) {
                *error = "--link-speed wants a whole number of bytes per second, not " + WideToUtf8(argv[i]);
                return false;
            }
        } else if (arg == L"--link-latency" && hasValue) {
            if (!ParseWhole(argv[++i], &options->linkLatency) || options->linkLatency > kMostLinkLatencyMs) {
                *error = "--link-latency wants a whole number of milliseconds up to 60000, not " +
                         WideToUtf8(argv[i]);
                return false;
            }
        } else if (arg == L"--profile" && hasValue) {
            options->profile = WideToUtf8(argv[++i]);
        } else if (arg == L"--pipe" && hasValue) {
            options->pipe = argv[++i];
        } else if (arg == L"--network" && hasValue) {
            options->network = WideToUtf8(argv[++i]);
        } else if (arg == L"--desktop" && hasValue) {
            options->desktop = WideToUtf8(argv[++i]);
        } else if (arg == L"--forgiving-docking") {
            options->forgiving = true;
        } else if (arg == L"--rapi2-listen" && hasValue) {
            options->rapi2Listen = WideToUtf8(argv[++i]);
        } else if (arg == L"--fault" && hasValue) {
            options->changes.emplace_back(wire::kAdminSetFault, argv[++i]);
        } else if (arg == L"--reg-set" && hasValue) {
            options->changes.emplace_back(wire::kAdminRegistrySet, argv[++i]);
        } else if (arg == L"--reg-delete" && hasValue) {
            options->changes.emplace_back(wire::kAdminRegistryDelete, argv[++i]);
        } else if (arg == L"--insert-card" && hasValue) {
            options->changes.emplace_back(wire::kAdminInsertCard, argv[++i]);
        } else if (arg == L"--remove-card" && hasValue) {
            options->changes.emplace_back(wire::kAdminRemoveCard, argv[++i]);
        } else if (arg == L"--start" && hasValue) {
            options->changes.emplace_back(wire::kAdminStartProgram, argv[++i]);
        } else if (arg.compare(0, 2, L"--") != 0 && options->image.empty()) {
            options->image = arg;
        } else {
            *error = "unknown or incomplete option " + WideToUtf8(arg) +
                     " (options: --profile NAME, --pipe NAME, --network ADDRESS[:PORT], --desktop HOST[:PORT], "
                     "--forgiving-docking, --fault NAME=VALUE, --insert-card NAME, --remove-card NAME, --start PATH, "
                     "--reg-set KEY\\NAME=DATA, --reg-delete KEY[\\NAME], --list, --serve, "
                     "--link-speed BYTES_PER_SECOND, --link-latency MS, --help)";
            return false;
        }
    }
    if (options->image.empty()) {
        *error = "no image folder given";
        return false;
    }
    if (options->pipe.empty()) options->pipe = wire::PipeNameFromEnvironment();
    if (!options->desktop.empty() && options->network.empty()) {
        *error = "--desktop needs --network: the device connects out from its network address";
        return false;
    }
    return true;
}
