#include "serve/pipe_admin.h"

#include "model/text_util.h"

bool AnswerAdminRequest(Device &d, LinkSpeed &link, uint32_t op, const std::string &prefix, wire::Reader *in,
                        wire::Writer *out) {
    if (op == wire::kAdminImage) {
        if (!in->Exhausted()) return false;
        out->U32(wire::kErrorUnchanged);
        out->Text(d.Image());
        // The link the image is served over, for a --list while docked.
        out->U64(link.BytesPerSecond());
        out->U32(link.LatencyMs());
        return true;
    }
    std::wstring first = in->Text();
    std::wstring second = op == wire::kAdminSetFault ? in->Text() : std::wstring();
    if (!in->Exhausted()) return false;
    std::string error;
    bool ok = false;
    if (op == wire::kAdminSetFault) {
        ok = d.SetFaultLocked(WideToUtf8(first), WideToUtf8(second), &error);
    } else if (op == wire::kAdminInsertCard) {
        ok = d.InsertCardLocked(first, &error);
    } else if (op == wire::kAdminRemoveCard) {
        ok = d.RemoveCardLocked(first, &error);
    } else if (op == wire::kAdminRegistrySet || op == wire::kAdminRegistryDelete) {
        ok = d.ChangeRegistryLocked(op == wire::kAdminRegistrySet, first, &error);
    } else {
        uint32_t processId = 0;
        Device::Result result = d.DoCreateProcess(first, &processId);
        d.Log(prefix + "start by hand " + Quoted(first) + " -> " + result.note);
        ok = result.ok;
        if (!ok) error = "cannot start it (error " + std::to_string(result.lastError) + ")";
    }
    out->U32(wire::kErrorUnchanged);
    out->U32(ok);
    out->Text(Utf8ToWide(error));
    return true;
}
