#include "serve/pipe_registry.h"

#include "model/text_util.h"

namespace {

// Registry calls report through their result, not the last error.
void Head(const Device::Result &result, wire::Writer *out) {
    out->U32(wire::kErrorUnchanged);
    out->I32(result.ok ? ERROR_SUCCESS : static_cast<int32_t>(result.lastError));
}

}  // namespace

bool AnswerPipeRegistryRequest(Device &d, uint32_t session, uint32_t op, const std::string &prefix,
                               wire::Reader *in, wire::Writer *out) {
    const uint32_t key = in->U32();
    std::string line;
    Device::Result result;
    switch (op) {
    case wire::kRegOpenKey:
    case wire::kRegCreateKey: {
        std::wstring subKey = in->Text();
        if (!in->Exhausted()) return false;
        uint32_t opened = 0;
        DWORD disposition = 0;
        result = op == wire::kRegOpenKey ? d.DoRegOpenKey(session, key, subKey, &opened)
                                         : d.DoRegCreateKey(session, key, subKey, &opened, &disposition);
        Head(result, out);
        out->U32(opened);
        if (op == wire::kRegCreateKey) out->U32(disposition);
        line = (op == wire::kRegOpenKey ? "CeRegOpenKeyEx " : "CeRegCreateKeyEx ") + Quoted(subKey);
        break;
    }
    case wire::kRegQueryValue: {
        std::wstring name = in->Text();
        uint32_t wantData = in->U32();
        uint32_t bufferSize = in->U32();
        if (!in->Exhausted()) return false;
        DWORD type = 0;
        uint32_t size = 0;
        std::vector<uint8_t> data;
        result = d.DoRegQueryValue(session, key, name, wantData != 0, bufferSize, &type, &data, &size);
        Head(result, out);
        out->U32(type);
        out->U32(size);
        out->Bytes(data.data(), data.size());
        line = "CeRegQueryValueEx " + Quoted(name);
        break;
    }
    case wire::kRegCloseKey:
        if (!in->Exhausted()) return false;
        result = d.DoRegCloseKey(session, key);
        Head(result, out);
        line = "CeRegCloseKey";
        break;
    case wire::kRegEnumKey: {
        uint32_t index = in->U32();
        uint32_t nameRoom = in->U32();
        if (!in->Exhausted()) return false;
        std::wstring name;
        result = d.DoRegEnumKey(session, key, index, nameRoom, &name);
        Head(result, out);
        out->Text(name);
        line = "CeRegEnumKeyEx " + Hex(key) + " #" + std::to_string(index);
        break;
    }
    case wire::kRegEnumValue: {
        uint32_t index = in->U32();
        uint32_t nameRoom = in->U32();
        uint32_t wantData = in->U32();
        uint32_t dataRoom = in->U32();
        if (!in->Exhausted()) return false;
        std::wstring name;
        DWORD type = 0;
        uint32_t size = 0;
        std::vector<uint8_t> data;
        result = d.DoRegEnumValue(session, key, index, nameRoom, wantData != 0, dataRoom, &name, &type, &data, &size);
        Head(result, out);
        out->Text(name);
        out->U32(type);
        out->U32(size);
        out->Bytes(data.data(), data.size());
        line = "CeRegEnumValue " + Hex(key) + " #" + std::to_string(index);
        break;
    }
    case wire::kRegSetValue: {
        std::wstring name = in->Text();
        uint32_t type = in->U32();
        uint32_t size = 0;
        const uint8_t *data = in->Bytes(&size);
        if (!in->Exhausted()) return false;
        result = d.DoRegSetValue(session, key, name, type, data, size);
        Head(result, out);
        line = "CeRegSetValueEx " + Quoted(name);
        break;
    }
    case wire::kRegDeleteValue:
    case wire::kRegDeleteKey: {
        std::wstring name = in->Text();
        if (!in->Exhausted()) return false;
        result = op == wire::kRegDeleteValue ? d.DoRegDeleteValue(session, key, name)
                                             : d.DoRegDeleteKey(session, key, name);
        Head(result, out);
        line = (op == wire::kRegDeleteValue ? "CeRegDeleteValue " : "CeRegDeleteKey ") + Quoted(name);
        break;
    }
    default:
        return false;
    }
    d.Log(prefix + line + " -> " + result.note);
    return true;
}
