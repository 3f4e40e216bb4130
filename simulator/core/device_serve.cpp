// Answering the stand-in's requests: decode, run the operation under the
// device's lock, write one log line, encode the answer. A request that does
// not decode exactly (cut short, or with bytes left over) is refused and its
// link dropped: a garbled client must never reach the object store.
#include <stdio.h>

#include "core/device.h"
#include "core/profiles.h"
#include "core/text_util.h"

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

}  // namespace

Device::Outcome Device::Serve(uint32_t session, const uint8_t *body, size_t size, wire::Writer *answer) {
    Outcome outcome;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wire::Reader request(body, size);
        outcome = ServeLocked(session, &request, answer);
    }
    // The request crossed the cable, and so does its answer (length prefixes
    // included); other sessions go on meanwhile.
    link_.Pace(4 + size + (outcome == Outcome::kAnswer ? answer->Size() : 0));
    link_.Delay();
    return outcome;
}

void Device::SetLinkSpeed(uint64_t bytesPerSecond) { link_.Set(bytesPerSecond); }

void Device::SetLinkLatency(uint32_t milliseconds) { link_.SetLatency(milliseconds); }

bool Device::DropPlanned(const std::string &prefix) {
    if (faults_.dropAfterCalls < 0) return false;
    if (faults_.dropAfterCalls == 0) {
        faults_.dropAfterCalls = -1;
        SaveFaults();
        Log(prefix + "link dropped (fault drop_after_calls)");
        return true;
    }
    --faults_.dropAfterCalls;
    return false;
}

Device::Outcome Device::ServeLocked(uint32_t session, wire::Reader *in, wire::Writer *out) {
    uint32_t op = in->U32();
    std::string prefix = "[" + std::to_string(session) + "] ";
    auto malformed = [&]() {
        Log(prefix + "malformed request (operation " + std::to_string(op) + "): link dropped");
        return Outcome::kDrop;
    };
    if (!in->ok()) return malformed();
    // Programs asked to close end in their own time, between requests.
    EndClosedPrograms();

    // Every device operation counts towards a planned drop of the link.
    if (op > wire::kHello && op < wire::kAdminImage && DropPlanned(prefix)) return Outcome::kDrop;

    auto answerWith = [&](const Result &result) { out->U32(result.lastError); };
    auto writeFound = [&](const FoundEntry &entry) {
        out->U32(entry.item.attributes);
        out->U64(entry.item.creation);
        out->U64(entry.item.access);
        out->U64(entry.item.write);
        out->U64(entry.item.size);
        out->U32(entry.oid);
        out->Text(entry.name);
    };
    auto handleName = [&](uint32_t id) {
        auto found = handles_.find(id);
        if (found == handles_.end()) return Hex(id);
        const Kind kind = found->second.kind;
        const char *what = kind == Kind::kProcess ? "process " : kind == Kind::kThread ? "thread " : "";
        return what + Quoted(found->second.path);
    };

    switch (op) {
    case wire::kHello: {
        uint32_t version = in->U32();
        uint32_t process = in->U32();
        if (!in->Exhausted()) return malformed();
        int32_t hr = S_OK;
        if (version != wire::kProtocolVersion) hr = static_cast<int32_t>(0x80004002);  // E_NOINTERFACE
        if (faults_.refuseStartup) hr = static_cast<int32_t>(0x80004005);  // E_FAIL
        out->U32(wire::kErrorUnchanged);
        out->I32(hr);
        Log(prefix + "CeRapiInit process " + std::to_string(process) + " -> " +
            (hr == S_OK ? std::string("connected") : "refused " + Hex(static_cast<uint32_t>(hr))));
        return Outcome::kAnswer;
    }
    case wire::kGetVersion: {
        if (!in->Exhausted()) return malformed();
        DWORD major = faults_.hasVersion ? faults_.major : identity_.major;
        DWORD minor = faults_.hasVersion ? faults_.minor : identity_.minor;
        out->U32(wire::kErrorUnchanged);
        out->U32(major);
        out->U32(minor);
        out->U32(identity_.build);
        out->U32(3);  // VER_PLATFORM_WIN32_CE
        Log(prefix + "CeGetVersionEx -> " + std::to_string(major) + "." + std::to_string(minor));
        return Outcome::kAnswer;
    }
    case wire::kGetSystemInfo: {
        if (!in->Exhausted()) return malformed();
        DWORD processor = faults_.hasProcessor ? faults_.processor : identity_.processor;
        out->U32(wire::kErrorUnchanged);
        out->U32(processor);
        out->U32(ArchitectureOfProcessor(processor));
        Log(prefix + "CeGetSystemInfo -> processor " + std::to_string(processor));
        return Outcome::kAnswer;
    }
    case wire::kRegOpenKey: {
        uint32_t root = in->U32();
        std::wstring subKey = in->Text();
        if (!in->Exhausted()) return malformed();
        uint32_t key = 0;
        Result result = DoRegOpenKey(session, root, subKey, &key);
        out->U32(wire::kErrorUnchanged);  // registry calls report through their result
        out->I32(result.ok ? ERROR_SUCCESS : static_cast<int32_t>(result.lastError));
        out->U32(key);
        Log(prefix + "CeRegOpenKeyEx " + Quoted(subKey) + " -> " + result.note);
        return Outcome::kAnswer;
    }
    case wire::kRegQueryValue: {
        uint32_t key = in->U32();
        std::wstring name = in->Text();
        uint32_t wantData = in->U32();
        uint32_t bufferSize = in->U32();
        if (!in->Exhausted()) return malformed();
        DWORD type = 0;
        uint32_t size = 0;
        std::vector<uint8_t> data;
        Result result = DoRegQueryValue(session, key, name, wantData != 0, bufferSize, &type, &data, &size);
        out->U32(wire::kErrorUnchanged);
        out->I32(result.ok ? ERROR_SUCCESS : static_cast<int32_t>(result.lastError));
        out->U32(type);
        out->U32(size);
        out->Bytes(data.data(), data.size());
        Log(prefix + "CeRegQueryValueEx " + Quoted(name) + " -> " + result.note);
        return Outcome::kAnswer;
    }
    case wire::kRegCloseKey: {
        uint32_t key = in->U32();
        if (!in->Exhausted()) return malformed();
        DWORD error = 0;
        bool ok = FindHandle(session, key, Kind::kKey, &error) != nullptr;
        if (ok) CloseHandleLocked(key);
        out->U32(wire::kErrorUnchanged);
        out->I32(ok ? ERROR_SUCCESS : static_cast<int32_t>(error));
        Log(prefix + "CeRegCloseKey -> " + (ok ? std::string("ok") : "error " + std::to_string(error)));
        return Outcome::kAnswer;
    }
    case wire::kCreateFile: {
        std::wstring path = in->Text();
        uint32_t access = in->U32();
        uint32_t share = in->U32();
        uint32_t disposition = in->U32();
        uint32_t flags = in->U32();
        if (!in->Exhausted()) return malformed();
        uint32_t id = 0;
        Result result = DoCreateFile(session, path, access, share, disposition, flags, &id);
        answerWith(result);
        out->U32(result.ok ? id : 0);
        Log(prefix + "CeCreateFile " + Quoted(path) + " " + AccessText(access) + " " +
            DispositionText(disposition) + (share ? " share " + Hex(share) : "") + " -> " + result.note);
        return Outcome::kAnswer;
    }
    case wire::kReadFile: {
        uint32_t id = in->U32();
        uint32_t count = in->U32();
        if (!in->Exhausted()) return malformed();
        std::vector<uint8_t> data;
        Result result = DoReadFile(session, id, count, &data);
        answerWith(result);
        out->U32(result.ok);
        out->Bytes(data.data(), data.size());
        Log(prefix + "CeReadFile " + handleName(id) + " " + std::to_string(count) + " bytes -> " + result.note);
        return Outcome::kAnswer;
    }
    case wire::kWriteFile: {
        uint32_t id = in->U32();
        uint32_t count = 0;
        const uint8_t *data = in->Bytes(&count);
        if (!in->Exhausted()) return malformed();
        uint32_t written = 0;
        bool drop = false;
        std::string name = handleName(id);
        Result result = DoWriteFile(session, id, data, count, &written, &drop);
        Log(prefix + "CeWriteFile " + name + " " + std::to_string(count) + " bytes -> " + result.note);
        if (drop) return Outcome::kDrop;
        answerWith(result);
        out->U32(result.ok);
        out->U32(written);
        return Outcome::kAnswer;
    }
    case wire::kSetFilePointer: {
        uint32_t id = in->U32();
        int64_t distance = in->I64();
        uint32_t method = in->U32();
        if (!in->Exhausted()) return malformed();
        int64_t position = 0;
        Result result = DoSetFilePointer(session, id, distance, method, &position);
        answerWith(result);
        out->U32(result.ok);
        out->I64(position);
        Log(prefix + "CeSetFilePointer " + handleName(id) + " " + std::to_string(distance) + " from " +
            (method == FILE_BEGIN ? "start" : method == FILE_CURRENT ? "current" : "end") + " -> " + result.note);
        return Outcome::kAnswer;
    }
    case wire::kGetFileSize: {
        uint32_t id = in->U32();
        if (!in->Exhausted()) return malformed();
        uint64_t size = 0;
        Result result = DoGetFileSize(session, id, &size);
        answerWith(result);
        out->U32(result.ok);
        out->U64(size);
        Log(prefix + "CeGetFileSize " + handleName(id) + " -> " + result.note);
        return Outcome::kAnswer;
    }
    case wire::kGetFileTime: {
        uint32_t id = in->U32();
        if (!in->Exhausted()) return malformed();
        uint64_t times[3] = {0, 0, 0};
        Result result = DoGetFileTime(session, id, times);
        answerWith(result);
        out->U32(result.ok);
        for (uint64_t time : times) out->U64(time);
        Log(prefix + "CeGetFileTime " + handleName(id) + " -> " + result.note);
        return Outcome::kAnswer;
    }
    case wire::kSetFileTime: {
        uint32_t id = in->U32();
        uint32_t which = in->U32();
        uint64_t times[3];
        for (uint64_t &time : times) time = in->U64();
        if (!in->Exhausted()) return malformed();
        Result result = DoSetFileTime(session, id, which, times);
        answerWith(result);
        out->U32(result.ok);
        Log(prefix + "CeSetFileTime " + handleName(id) + " -> " + result.note);
        return Outcome::kAnswer;
    }
    case wire::kCloseHandle: {
        uint32_t id = in->U32();
        if (!in->Exhausted()) return malformed();
        std::string name = handleName(id);
        Result result = DoCloseHandle(session, id);
        answerWith(result);
        out->U32(result.ok);
        Log(prefix + "CeCloseHandle " + name + " -> " + result.note);
        return Outcome::kAnswer;
    }
    case wire::kDeleteFile:
    case wire::kCreateDirectory:
    case wire::kRemoveDirectory: {
        std::wstring path = in->Text();
        if (!in->Exhausted()) return malformed();
        Result result = op == wire::kDeleteFile        ? DoDeleteFile(path)
                        : op == wire::kCreateDirectory ? DoCreateDirectory(path)
                                                       : DoRemoveDirectory(path);
        answerWith(result);
        out->U32(result.ok);
        const char *name = op == wire::kDeleteFile        ? "CeDeleteFile "
                           : op == wire::kCreateDirectory ? "CeCreateDirectory "
                                                          : "CeRemoveDirectory ";
        Log(prefix + name + Quoted(path) + " -> " + result.note);
        return Outcome::kAnswer;
    }
    case wire::kMoveFile: {
        std::wstring source = in->Text();
        std::wstring target = in->Text();
        if (!in->Exhausted()) return malformed();
        Result result = DoMoveFile(source, target);
        answerWith(result);
        out->U32(result.ok);
        Log(prefix + "CeMoveFile " + Quoted(source) + " to " + Quoted(target) + " -> " + result.note);
        return Outcome::kAnswer;
    }
    case wire::kGetStoreInformation:
    case wire::kGetDiskFreeSpace: {
        const bool store = op == wire::kGetStoreInformation;
        std::wstring folder = store ? std::wstring() : in->Text();
        if (!in->Exhausted()) return malformed();
        uint64_t free = 0, total = 0;
        Result result = store ? DoGetStoreInformation(&total, &free) : DoGetDiskFreeSpace(folder, &free, &total);
        answerWith(result);
        out->U32(result.ok);
        out->U64(free);
        out->U64(total);
        Log(prefix + (store ? "CeGetStoreInformation" : "CeGetDiskFreeSpaceEx " + Quoted(folder)) + " -> " +
            result.note);
        return Outcome::kAnswer;
    }
    case wire::kGetFileAttributes: {
        std::wstring path = in->Text();
        if (!in->Exhausted()) return malformed();
        DWORD attributes = 0;
        Result result = DoGetFileAttributes(path, &attributes);
        answerWith(result);
        out->U32(attributes);
        Log(prefix + "CeGetFileAttributes " + Quoted(path) + " -> " + result.note);
        return Outcome::kAnswer;
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
        FoundEntry entry;
        std::string name = op == wire::kFindNextFile ? handleName(id) : Quoted(pattern);
        Result result = op == wire::kFindFirstFile ? DoFindFirstFile(session, pattern, &id, &entry)
                                                   : DoFindNextFile(session, id, &entry);
        answerWith(result);
        out->U32(result.ok ? (op == wire::kFindFirstFile ? id : 1) : 0);
        writeFound(entry);
        Log(prefix + (op == wire::kFindFirstFile ? "CeFindFirstFile " : "CeFindNextFile ") + name + " -> " +
            result.note);
        return Outcome::kAnswer;
    }
    case wire::kFindAllFiles: {
        std::wstring pattern = in->Text();
        uint32_t flags = in->U32();
        if (!in->Exhausted()) return malformed();
        std::vector<FoundEntry> entries;
        Result result = DoFindAllFiles(pattern, flags, &entries);
        // As many entries as one answer frame holds; the rest are not sent.
        size_t sent = 0, bytes = 64;
        while (sent < entries.size() && (bytes += 48 + 2 * entries[sent].name.size()) < wire::kMaxFrameBytes) ++sent;
        answerWith(result);
        out->U32(result.ok);
        out->U32(static_cast<uint32_t>(sent));
        for (size_t i = 0; i < sent; ++i) writeFound(entries[i]);
        Log(prefix + "CeFindAllFiles " + Quoted(pattern) + " flags " + Hex(flags) + " -> " + result.note +
            (sent < entries.size() ? ", " + std::to_string(sent) + " sent" : ""));
        return Outcome::kAnswer;
    }
    case wire::kFindClose: {
        uint32_t id = in->U32();
        if (!in->Exhausted()) return malformed();
        DWORD error = 0;
        bool ok = FindHandle(session, id, Kind::kSearch, &error) != nullptr;
        if (ok) CloseHandleLocked(id);
        Result result = ok ? Done("ok") : Fail(error);
        answerWith(result);
        out->U32(result.ok);
        Log(prefix + "CeFindClose " + Hex(id) + " -> " + result.note);
        return Outcome::kAnswer;
    }
    case wire::kGetSpecialFolder: {
        int32_t folder = in->I32();
        if (!in->Exhausted()) return malformed();
        std::wstring path;
        Result result = DoGetSpecialFolder(folder, &path);
        answerWith(result);
        out->U32(result.ok);
        out->Text(path);
        Log(prefix + "CeGetSpecialFolderPath " + std::to_string(folder) + " -> " + result.note);
        return Outcome::kAnswer;
    }
    case wire::kCreateShortcut: {
        std::wstring shortcut = in->Text();
        std::wstring target = in->Text();
        if (!in->Exhausted()) return malformed();
        Result result = DoCreateShortcut(shortcut, target);
        answerWith(result);
        out->U32(result.ok);
        Log(prefix + "CeSHCreateShortcut " + Quoted(shortcut) + " -> " + result.note);
        return Outcome::kAnswer;
    }
    case wire::kInvoke: {
        std::wstring library = in->Text();
        std::wstring function = in->Text();
        uint32_t inputSize = 0;
        const uint8_t *input = in->Bytes(&inputSize);
        if (!in->Exhausted()) return malformed();
        int32_t returned = 0;
        std::vector<uint8_t> output;
        Result result = DoInvoke(library, function, input, inputSize, &returned, &output);
        out->U32(returned != 0 ? static_cast<uint32_t>(returned) : wire::kErrorUnchanged);
        out->I32(returned);
        out->Bytes(output.data(), output.size());
        Log(prefix + "CeRapiInvoke " + Quoted(library) + " " + Quoted(function) + " -> " + result.note +
            ", returns " + std::to_string(returned));
        return Outcome::kAnswer;
    }
    case wire::kCreateProcess: {
        std::wstring image = in->Text();
        if (!in->Exhausted()) return malformed();
        Started started;
        Result result = DoCreateProcess(session, image, &started);
        answerWith(result);
        out->U32(result.ok);
        out->U32(started.processId);
        out->U32(started.threadId);
        out->U32(started.process);
        out->U32(started.thread);
        Log(prefix + "CeCreateProcess " + Quoted(image) + " -> " + result.note);
        return Outcome::kAnswer;
    }
    case wire::kAdminImage:
        if (!in->Exhausted()) return malformed();
        out->U32(wire::kErrorUnchanged);
        out->Text(image_);
        // The link the image is served over, for a --list while docked.
        out->U64(link_.BytesPerSecond());
        out->U32(link_.LatencyMs());
        return Outcome::kAnswer;
    case wire::kAdminSetFault:
    case wire::kAdminInsertCard:
    case wire::kAdminRemoveCard:
    case wire::kAdminStartProgram: {
        std::wstring first = in->Text();
        std::wstring second = op == wire::kAdminSetFault ? in->Text() : std::wstring();
        if (!in->Exhausted()) return malformed();
        std::string error;
        bool ok = false;
        if (op == wire::kAdminSetFault) {
            ok = SetFaultLocked(WideToUtf8(first), WideToUtf8(second), &error);
        } else if (op == wire::kAdminInsertCard) {
            ok = InsertCardLocked(first, &error);
        } else if (op == wire::kAdminRemoveCard) {
            ok = RemoveCardLocked(first, &error);
        } else {
            uint32_t processId = 0;
            Result result = DoCreateProcess(first, &processId);
            Log(prefix + "start by hand " + Quoted(first) + " -> " + result.note);
            ok = result.ok;
            if (!ok) error = "cannot start it (error " + std::to_string(result.lastError) + ")";
        }
        out->U32(wire::kErrorUnchanged);
        out->U32(ok);
        out->Text(Utf8ToWide(error));
        return Outcome::kAnswer;
    }
    default:
        return malformed();
    }
}
