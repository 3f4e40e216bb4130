#include "cedevice_admin.h"

#include "model/host_files.h"
#include "model/text_util.h"

void Print(const std::string &line) {
    std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string LinkInEffect(const std::wstring &pipe, const std::wstring &image) {
    AdminLink link(pipe);
    std::wstring served;
    ServedLink speeds;
    if (!link.Open() || !link.ServedImage(&served, &speeds) || !SameName(served, FullHostPath(image))) {
        return "link: not docked on " + WideToUtf8(pipe);
    }
    const std::string speed =
        speeds.bytesPerSecond ? std::to_string(speeds.bytesPerSecond) + " bytes per second" : "unlimited speed";
    return "link: docked on " + WideToUtf8(pipe) + ", " + speed + ", " + std::to_string(speeds.latencyMs) +
           " ms delay per call";
}

bool SendToService(const std::wstring &pipe, const std::wstring &image, const AdminChanges &changes, bool *allOk) {
    AdminLink link(pipe);
    std::wstring served;
    if (!link.Open() || !link.ServedImage(&served)) return false;
    if (!SameName(served, FullHostPath(image))) {
        Print("the service on this pipe serves another image; changing " + WideToUtf8(image) + " directly");
        return false;
    }
    std::vector<uint8_t> body;
    for (const auto &change : changes) {
        wire::Writer request;
        request.U32(change.first);
        std::wstring value = change.second;
        if (change.first == wire::kAdminSetFault) {
            size_t at = value.find(L'=');
            request.Text(value.substr(0, at));
            request.Text(at == std::wstring::npos ? std::wstring() : value.substr(at + 1));
        } else {
            request.Text(value);
        }
        if (!link.Call(request, &body)) {
            Print("the service stopped answering");
            *allOk = false;
            return true;
        }
        wire::Reader answer(body.data(), body.size());
        answer.U32();
        bool ok = answer.U32() != 0;
        std::string error = WideToUtf8(answer.Text());
        Print(WideToUtf8(change.second) + ": " + (ok ? "done (by the running service)" : error));
        *allOk = *allOk && ok;
    }
    return true;
}

