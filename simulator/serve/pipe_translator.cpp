// The pipe protocol's translator: decodes each request of the stand-in
// rapi.dll's pipe frames (protocol/wire.h), runs it as one device operation
// under the model's lock, writes one log line, and encodes the answer. A
// request that does not decode exactly (cut short, or with bytes left over)
// is refused and its link dropped: a garbled client must never reach the
// object store.
//
// Adding a protocol (one translator per protocol, all over the same model):
//   1. protocol/: its wire format, bytes only (a codec and its constants).
//   2. serve/NAME_translator.h/.cpp: one Serve...Request function like the
//      one here: decode with protocol/, take Device::Lock(), call
//      EndClosedPrograms() and DropPlanned() as this one does, call the
//      model's Do... operations (model/device.h), encode their Result.
//      Log one line per call through Device::Log.
//   3. serve/: a service (or a new port of network_service.cpp) that reads
//      its frames from a transport, calls the translator and paces the
//      bytes through the shared LinkSpeed; cedevice_main.cpp starts it.
//   4. docs/building.md, "How it is built"; tests under tests/simulator (golden
//      bytes) and tests/faultmatrix (the fuzz of requests).
// The model needs no change unless the protocol asks the device for
// something it cannot do yet; then add a Do... operation to model/.
#include "serve/pipe_translator.h"

#include <stdio.h>

#include "model/profiles.h"
#include "model/text_util.h"
#include "serve/pipe_admin.h"
#include "serve/pipe_registry.h"

static_assert(wire::kErrorUnchanged == Device::kErrorUnchanged, "the pipe carries the model's own value");
static_assert(wire::kRootLocalMachine == Device::kRootLocalMachine, "the pipe carries the model's own root");

namespace {

std::string AccessText(uint32_t access) {
    std::string text;
    if (access & GENERIC_READ) text += "read";
    if (access & GENERIC_WRITE) text += text.empty() ? "write" : "+write";
    return text.empty() ? "no-access" : text;
}

std::string DispositionText(uint32_t disposition) {
    static const char *const kNames[] = {"?", "create-new", "create-always", "open-existing", "open-always",
                                         "truncate-existing"};
    return disposition <= 5 ? kNames[disposition] : std::to_string(disposition);
}

// One entry of a search or a listing, as kFindFirstFile answers it.
void WriteFound(const Device::FoundEntry &entry, wire::Writer *out) {
    out->U32(entry.item.attributes);
    out->U64(entry.item.creation);
    out->U64(entry.item.access);
    out->U64(entry.item.write);
    out->U64(entry.item.size);
    out->U32(entry.oid);
    out->Text(entry.name);
}

uint32_t LastErrorOnWire(const Device::Result &result) {
    return result.lastError == Device::kErrorUnchanged ? wire::kErrorUnchanged : result.lastError;
}

ServeOutcome Answer(Device &d, LinkSpeed &link, uint32_t session, wire::Reader *in, wire::Writer *out) {
    uint32_t op = in->U32();
    std::string prefix = "[" + std::to_string(session) + "] ";
    auto malformed = [&]() {
        d.Log(prefix + "malformed request (operation " + std::to_string(op) + "): link dropped");
        return ServeOutcome::kDrop;
    };
    if (!in->ok()) return malformed();
    // Programs asked to close end in their own time, between requests.
    d.EndClosedPrograms();

    // Every device operation counts towards a planned drop of the link.
    if (op > wire::kHello && op < wire::kAdminImage && d.DropPlanned(prefix)) return ServeOutcome::kDrop;

    auto answerWith = [&](const Device::Result &result) { out->U32(LastErrorOnWire(result)); };
    auto handleName = [&](uint32_t id) {
        Device::Kind kind;
        std::wstring path;
        if (!d.HandleTarget(id, &kind, &path)) return Hex(id);
        const char *what = kind == Device::Kind::kProcess ? "process " : kind == Device::Kind::kThread ? "thread " : "";
        return what + Quoted(path);
    };

    switch (op) {
    case wire::kHello: {
        uint32_t version = in->U32();
        uint32_t process = in->U32();
        if (!in->Exhausted()) return malformed();
        int32_t hr = S_OK;
        if (version != wire::kProtocolVersion) hr = static_cast<int32_t>(0x80004002);  // E_NOINTERFACE
        if (d.RefusesStartup()) hr = static_cast<int32_t>(0x80004005);  // E_FAIL
        out->U32(wire::kErrorUnchanged);
        out->I32(hr);
        d.Log(prefix + "CeRapiInit process " + std::to_string(process) + " -> " +
            (hr == S_OK ? std::string("connected") : "refused " + Hex(static_cast<uint32_t>(hr))));
        return ServeOutcome::kAnswer;
    }
    case wire::kGetVersion: {
        if (!in->Exhausted()) return malformed();
        const Device::Version version = d.DoGetVersion();
        DWORD major = version.major, minor = version.minor;
        out->U32(wire::kErrorUnchanged);
        out->U32(major);
        out->U32(minor);
        out->U32(version.build);
        out->U32(3);  // VER_PLATFORM_WIN32_CE
        d.Log(prefix + "CeGetVersionEx -> " + std::to_string(major) + "." + std::to_string(minor));
        return ServeOutcome::kAnswer;
    }
    case wire::kGetSystemInfo: {
        if (!in->Exhausted()) return malformed();
        DWORD processor = d.DoGetProcessor();
        out->U32(wire::kErrorUnchanged);
        out->U32(processor);
        out->U32(ArchitectureOfProcessor(processor));
        d.Log(prefix + "CeGetSystemInfo -> processor " + std::to_string(processor));
        return ServeOutcome::kAnswer;
    }
    case wire::kCreateFile: {
        std::wstring path = in->Text();
        uint32_t access = in->U32();
        uint32_t share = in->U32();
        uint32_t disposition = in->U32();
        uint32_t flags = in->U32();
        if (!in->Exhausted()) return malformed();
        uint32_t id = 0;
        Device::Result result = d.DoCreateFile(session, path, access, share, disposition, flags, &id);
        answerWith(result);
        out->U32(result.ok ? id : 0);
        d.Log(prefix + "CeCreateFile " + Quoted(path) + " " + AccessText(access) + " " +
            DispositionText(disposition) + (share ? " share " + Hex(share) : "") + " -> " + result.note);
        return ServeOutcome::kAnswer;
    }
    case wire::kReadFile: {
        uint32_t id = in->U32();
        uint32_t count = in->U32();
        if (!in->Exhausted()) return malformed();
        std::vector<uint8_t> data;
        Device::Result result = d.DoReadFile(session, id, count, &data);
        answerWith(result);
        out->U32(result.ok);
        out->Bytes(data.data(), data.size());
        d.Log(prefix + "CeReadFile " + handleName(id) + " " + std::to_string(count) + " bytes -> " + result.note);
        return ServeOutcome::kAnswer;
    }
    case wire::kWriteFile: {
        uint32_t id = in->U32();
        uint32_t count = 0;
        const uint8_t *data = in->Bytes(&count);
        if (!in->Exhausted()) return malformed();
        uint32_t written = 0;
        bool drop = false;
        std::string name = handleName(id);
        Device::Result result = d.DoWriteFile(session, id, data, count, &written, &drop);
        d.Log(prefix + "CeWriteFile " + name + " " + std::to_string(count) + " bytes -> " + result.note);
        if (drop) return ServeOutcome::kDrop;
        answerWith(result);
        out->U32(result.ok);
        out->U32(written);
        return ServeOutcome::kAnswer;
    }
    case wire::kSetFilePointer: {
        uint32_t id = in->U32();
        int64_t distance = in->I64();
        uint32_t method = in->U32();
        if (!in->Exhausted()) return malformed();
        int64_t position = 0;
        Device::Result result = d.DoSetFilePointer(session, id, distance, method, &position);
        answerWith(result);
        out->U32(result.ok);
        out->I64(position);
        d.Log(prefix + "CeSetFilePointer " + handleName(id) + " " + std::to_string(distance) + " from " +
            (method == FILE_BEGIN ? "start" : method == FILE_CURRENT ? "current" : "end") + " -> " + result.note);
        return ServeOutcome::kAnswer;
    }
    case wire::kGetFileSize: {
        uint32_t id = in->U32();
        if (!in->Exhausted()) return malformed();
        uint64_t size = 0;
        Device::Result result = d.DoGetFileSize(session, id, &size);
        answerWith(result);
        out->U32(result.ok);
        out->U64(size);
        d.Log(prefix + "CeGetFileSize " + handleName(id) + " -> " + result.note);
        return ServeOutcome::kAnswer;
    }
    case wire::kGetFileTime: {
        uint32_t id = in->U32();
        if (!in->Exhausted()) return malformed();
        uint64_t times[3] = {0, 0, 0};
        Device::Result result = d.DoGetFileTime(session, id, times);
        answerWith(result);
        out->U32(result.ok);
        for (uint64_t time : times) out->U64(time);
        d.Log(prefix + "CeGetFileTime " + handleName(id) + " -> " + result.note);
        return ServeOutcome::kAnswer;
    }
    case wire::kSetFileTime: {
        uint32_t id = in->U32();
        uint32_t which = in->U32();
        uint64_t times[3];
        for (uint64_t &time : times) time = in->U64();
        if (!in->Exhausted()) return malformed();
        Device::Result result = d.DoSetFileTime(session, id, which, times);
        answerWith(result);
        out->U32(result.ok);
        d.Log(prefix + "CeSetFileTime " + handleName(id) + " -> " + result.note);
        return ServeOutcome::kAnswer;
    }
    case wire::kCloseHandle: {
        uint32_t id = in->U32();
        if (!in->Exhausted()) return malformed();
        std::string name = handleName(id);
        Device::Result result = d.DoCloseHandle(session, id);
        answerWith(result);
        out->U32(result.ok);
        d.Log(prefix + "CeCloseHandle " + name + " -> " + result.note);
        return ServeOutcome::kAnswer;
    }
    case wire::kDeleteFile:
    case wire::kCreateDirectory:
    case wire::kRemoveDirectory: {
        std::wstring path = in->Text();
        if (!in->Exhausted()) return malformed();
        Device::Result result = op == wire::kDeleteFile        ? d.DoDeleteFile(path)
                        : op == wire::kCreateDirectory ? d.DoCreateDirectory(path)
                                                       : d.DoRemoveDirectory(path);
        answerWith(result);
        out->U32(result.ok);
        const char *name = op == wire::kDeleteFile        ? "CeDeleteFile "
                           : op == wire::kCreateDirectory ? "CeCreateDirectory "
                                                          : "CeRemoveDirectory ";
        d.Log(prefix + name + Quoted(path) + " -> " + result.note);
        return ServeOutcome::kAnswer;
    }
    case wire::kMoveFile: {
        std::wstring source = in->Text();
        std::wstring target = in->Text();
        if (!in->Exhausted()) return malformed();
        Device::Result result = d.DoMoveFile(source, target);
        answerWith(result);
        out->U32(result.ok);
        d.Log(prefix + "CeMoveFile " + Quoted(source) + " to " + Quoted(target) + " -> " + result.note);
        return ServeOutcome::kAnswer;
    }
    case wire::kGetStoreInformation:
    case wire::kGetDiskFreeSpace: {
        const bool store = op == wire::kGetStoreInformation;
        std::wstring folder = store ? std::wstring() : in->Text();
        if (!in->Exhausted()) return malformed();
        uint64_t free = 0, total = 0;
        Device::Result result = store ? d.DoGetStoreInformation(&total, &free) : d.DoGetDiskFreeSpace(folder, &free, &total);
        answerWith(result);
        out->U32(result.ok);
        out->U64(free);
        out->U64(total);
        d.Log(prefix + (store ? "CeGetStoreInformation" : "CeGetDiskFreeSpaceEx " + Quoted(folder)) + " -> " +
            result.note);
        return ServeOutcome::kAnswer;
    }
    case wire::kGetFileAttributes: {
        std::wstring path = in->Text();
        if (!in->Exhausted()) return malformed();
        DWORD attributes = 0;
        Device::Result result = d.DoGetFileAttributes(path, &attributes);
        answerWith(result);
        out->U32(attributes);
        d.Log(prefix + "CeGetFileAttributes " + Quoted(path) + " -> " + result.note);
        return ServeOutcome::kAnswer;
    }
    case wire::kFindFirstFile:
    case wire::kFindNextFile: {
        std::wstring pattern;
        uint32_t id = 0;
        if (op == wire::kFindFirstFile) {
            pattern = in->Text();
        } else {
            id = in->U32();
        }
        if (!in->Exhausted()) return malformed();
        Device::FoundEntry entry;
        std::string name = op == wire::kFindNextFile ? handleName(id) : Quoted(pattern);
        Device::Result result = op == wire::kFindFirstFile ? d.DoFindFirstFile(session, pattern, &id, &entry)
                                                   : d.DoFindNextFile(session, id, &entry);
        answerWith(result);
        out->U32(result.ok ? (op == wire::kFindFirstFile ? id : 1) : 0);
        WriteFound(entry, out);
        d.Log(prefix + (op == wire::kFindFirstFile ? "CeFindFirstFile " : "CeFindNextFile ") + name + " -> " +
            result.note);
        return ServeOutcome::kAnswer;
    }
    case wire::kFindAllFiles: {
        std::wstring pattern = in->Text();
        uint32_t flags = in->U32();
        if (!in->Exhausted()) return malformed();
        // The flags are CeFindAllFiles' own, whose values the model's
        // listing flags share (asserted in rapi1_file_calls.cpp).
        std::vector<Device::FoundEntry> entries;
        Device::Result result = d.DoFindAllFiles(pattern, flags, &entries);
        // As many entries as one answer frame holds; the rest are not sent.
        size_t sent = 0, bytes = 64;
        while (sent < entries.size() && (bytes += 48 + 2 * entries[sent].name.size()) < wire::kMaxFrameBytes) ++sent;
        answerWith(result);
        out->U32(result.ok);
        out->U32(static_cast<uint32_t>(sent));
        for (size_t i = 0; i < sent; ++i) WriteFound(entries[i], out);
        d.Log(prefix + "CeFindAllFiles " + Quoted(pattern) + " flags " + Hex(flags) + " -> " + result.note +
              (sent < entries.size() ? ", " + std::to_string(sent) + " sent" : ""));
        return ServeOutcome::kAnswer;
    }
    case wire::kFindClose: {
        uint32_t id = in->U32();
        if (!in->Exhausted()) return malformed();
        Device::Result result = d.DoFindClose(session, id);
        answerWith(result);
        out->U32(result.ok);
        d.Log(prefix + "CeFindClose " + Hex(id) + " -> " + result.note);
        return ServeOutcome::kAnswer;
    }
    case wire::kGetSpecialFolder: {
        int32_t folder = in->I32();
        if (!in->Exhausted()) return malformed();
        std::wstring path;
        Device::Result result = d.DoGetSpecialFolder(folder, &path);
        answerWith(result);
        out->U32(result.ok);
        out->Text(path);
        d.Log(prefix + "CeGetSpecialFolderPath " + std::to_string(folder) + " -> " + result.note);
        return ServeOutcome::kAnswer;
    }
    case wire::kCreateShortcut: {
        std::wstring shortcut = in->Text();
        std::wstring target = in->Text();
        if (!in->Exhausted()) return malformed();
        Device::Result result = d.DoCreateShortcut(shortcut, target);
        answerWith(result);
        out->U32(result.ok);
        d.Log(prefix + "CeSHCreateShortcut " + Quoted(shortcut) + " -> " + result.note);
        return ServeOutcome::kAnswer;
    }
    case wire::kInvoke: {
        std::wstring library = in->Text();
        std::wstring function = in->Text();
        uint32_t inputSize = 0;
        const uint8_t *input = in->Bytes(&inputSize);
        if (!in->Exhausted()) return malformed();
        int32_t returned = 0;
        std::vector<uint8_t> output;
        Device::Result result = d.DoInvoke(library, function, input, inputSize, &returned, &output);
        out->U32(returned != 0 ? static_cast<uint32_t>(returned) : wire::kErrorUnchanged);
        out->I32(returned);
        out->Bytes(output.data(), output.size());
        d.Log(prefix + "CeRapiInvoke " + Quoted(library) + " " + Quoted(function) + " -> " + result.note +
            ", returns " + std::to_string(returned));
        return ServeOutcome::kAnswer;
    }
    case wire::kCreateProcess: {
        std::wstring image = in->Text();
        if (!in->Exhausted()) return malformed();
        Device::Started started;
        Device::Result result = d.DoCreateProcess(session, image, &started);
        answerWith(result);
        out->U32(result.ok);
        out->U32(started.processId);
        out->U32(started.threadId);
        out->U32(started.process);
        out->U32(started.thread);
        d.Log(prefix + "CeCreateProcess " + Quoted(image) + " -> " + result.note);
        return ServeOutcome::kAnswer;
    }
    case wire::kRegOpenKey:
    case wire::kRegQueryValue:
    case wire::kRegCloseKey:
    case wire::kRegCreateKey:
    case wire::kRegEnumKey:
    case wire::kRegEnumValue:
    case wire::kRegSetValue:
    case wire::kRegDeleteValue:
    case wire::kRegDeleteKey:
        return AnswerPipeRegistryRequest(d, session, op, prefix, in, out) ? ServeOutcome::kAnswer : malformed();
    case wire::kAdminImage:
    case wire::kAdminSetFault:
    case wire::kAdminInsertCard:
    case wire::kAdminRemoveCard:
    case wire::kAdminStartProgram:
    case wire::kAdminRegistrySet:
    case wire::kAdminRegistryDelete:
        return AnswerAdminRequest(d, link, op, prefix, in, out) ? ServeOutcome::kAnswer : malformed();
    default:
        return malformed();
    }
}

}  // namespace

ServeOutcome ServePipeRequest(Device &device, LinkSpeed &link, uint32_t session, const uint8_t *body, size_t size,
                              wire::Writer *answer) {
    std::unique_lock<std::mutex> lock = device.Lock();
    wire::Reader request(body, size);
    return Answer(device, link, session, &request, answer);
}
