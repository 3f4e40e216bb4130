#include "model/device_faults.h"

#include "model/text_util.h"

namespace {

bool ParseFlag(const std::string &value, bool *flag) {
    if (value == "1" || value == "true" || value == "on") {
        *flag = true;
        return true;
    }
    if (value == "0" || value == "false" || value == "off" || value.empty()) {
        *flag = false;
        return true;
    }
    return false;
}

// A count or size; empty or "off" turns the fault off (-1).
bool ParseLimit(const std::string &value, int64_t *limit) {
    if (value.empty() || value == "off" || value == "-1") {
        *limit = -1;
        return true;
    }
    uint64_t number = 0;
    if (!ParseUnsigned(value, &number) || number > 0x7FFFFFFFFFFFFFFFull) return false;
    *limit = static_cast<int64_t>(number);
    return true;
}

bool ParseVersion(const std::string &value, DWORD *major, DWORD *minor) {
    std::vector<std::string> parts = SplitFields(value, '.');
    uint64_t high = 0, low = 0;
    if (parts.size() != 2 || !ParseUnsigned(parts[0], &high) || !ParseUnsigned(parts[1], &low)) return false;
    if (high > 0xFFFFFFFFull || low > 0xFFFFFFFFull) return false;
    *major = static_cast<DWORD>(high);
    *minor = static_cast<DWORD>(low);
    return true;
}

bool Cleared(const std::string &value) { return value.empty() || value == "off"; }

// "CARD:BYTES" sets a card's capacity, "CARD:" (or "CARD:off") clears it,
// and an empty value clears every card's. Card names hold no ':'.
bool ParseCardCapacity(const std::string &value, std::map<std::wstring, int64_t> *cards) {
    if (Cleared(value)) {
        cards->clear();
        return true;
    }
    const size_t colon = value.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    const std::wstring card = Utf8ToWide(value.substr(0, colon));
    int64_t bytes = -1;
    if (!ParseLimit(value.substr(colon + 1), &bytes)) return false;
    for (auto it = cards->begin(); it != cards->end(); ++it) {
        if (CaseKey(it->first) == CaseKey(card)) {
            cards->erase(it);
            break;
        }
    }
    if (bytes >= 0) (*cards)[card] = bytes;
    return true;
}

// An error code a call is to fail with; cleared (0) by an empty value.
bool ParseErrorCode(const std::string &value, DWORD *code) {
    uint64_t number = 0;
    bool ok = Cleared(value) || (ParseUnsigned(value, &number) && number <= 0xFFFFFFFFull);
    *code = ok ? static_cast<DWORD>(number) : 0;
    return ok;
}

// Every fault Set knows, as a refusal of an unknown name lists them.
const char kFaultNames[] =
    "refuse_startup, drop_after_calls, drop_after_bytes, capacity, card_capacity, ignore_close, refuse_move, "
    "refuse_room, refuse_version, refuse_listing, close_delay_ms, no_ident, origname, origname_type, "
    "special_folder_fail, invoke_result, version, processor, password";

}  // namespace

bool DeviceFaults::Set(const std::string &name, const std::string &value, std::string *error) {
    if (value.find_first_of("\r\n") != std::string::npos) {
        *error = "a fault value is one line";
        return false;
    }
    bool ok = true;
    if (name == "refuse_startup") {
        ok = ParseFlag(value, &refuseStartup);
    } else if (name == "drop_after_calls") {
        ok = ParseLimit(value, &dropAfterCalls);
    } else if (name == "drop_after_bytes") {
        ok = ParseLimit(value, &dropAfterBytes);
    } else if (name == "capacity") {
        ok = ParseLimit(value, &capacity);
    } else if (name == "card_capacity") {
        ok = ParseCardCapacity(value, &cardCapacity);
    } else if (name == "ignore_close") {
        ok = ParseFlag(value, &ignoreClose);
    } else if (name == "refuse_move") {
        ok = ParseErrorCode(value, &refuseMove);
    } else if (name == "refuse_room") {
        ok = ParseErrorCode(value, &refuseRoom);
    } else if (name == "refuse_version") {
        ok = ParseErrorCode(value, &refuseVersion);
    } else if (name == "refuse_listing") {
        ok = ParseErrorCode(value, &refuseListing);
    } else if (name == "close_delay_ms") {
        ok = ParseLimit(value, &closeDelayMs);
        if (ok && closeDelayMs < 0) closeDelayMs = kDefaultCloseDelayMs;
    } else if (name == "no_ident") {
        ok = ParseFlag(value, &noIdent);
    } else if (name == "origname") {
        hasOrigName = !value.empty();
        origName = Utf8ToWide(value);
    } else if (name == "origname_type") {
        if (Cleared(value)) {
            origNameType = "string";
        } else if (value == "string" || value == "dword" || value == "missing") {
            origNameType = value;
        } else {
            ok = false;
        }
    } else if (name == "special_folder_fail") {
        ok = ParseFlag(value, &specialFolderFail);
    } else if (name == "invoke_result") {
        int64_t number = 0;
        hasInvokeResult = !Cleared(value);
        if (hasInvokeResult) {
            // Accepts -2147467259 as well as 2147500037 for 0x80004005.
            ok = ParseSigned(value, &number) && number >= INT32_MIN && number <= UINT32_MAX;
            invokeResult = static_cast<int32_t>(static_cast<uint32_t>(number));
        }
    } else if (name == "version") {
        hasVersion = !Cleared(value);
        if (hasVersion) ok = ParseVersion(value, &major, &minor);
    } else if (name == "processor") {
        uint64_t number = 0;
        hasProcessor = !Cleared(value);
        if (hasProcessor) ok = ParseUnsigned(value, &number) && number <= 0xFFFFFFFFull;
        processor = static_cast<DWORD>(number);
    } else if (name == "password") {
        password = Cleared(value) ? std::wstring() : Utf8ToWide(value);
    } else if (name == "unlock_on_device_ms") {
        ok = ParseLimit(value, &unlockAfterMs);
    } else {
        *error = "unknown fault \"" + name + "\" (faults: " + kFaultNames + ")";
        return false;
    }
    if (!ok) *error = "bad value \"" + value + "\" for fault " + name;
    return ok;
}

std::string DeviceFaults::Serialize() const {
    std::string text;
    auto line = [&text](const std::string &name, const std::string &value) { text += name + "=" + value + "\n"; };
    if (refuseStartup) line("refuse_startup", "1");
    if (dropAfterCalls >= 0) line("drop_after_calls", std::to_string(dropAfterCalls));
    if (dropAfterBytes >= 0) line("drop_after_bytes", std::to_string(dropAfterBytes));
    if (capacity >= 0) line("capacity", std::to_string(capacity));
    for (const auto &card : cardCapacity) line("card_capacity", WideToUtf8(card.first) + ":" + std::to_string(card.second));
    if (ignoreClose) line("ignore_close", "1");
    if (refuseMove) line("refuse_move", std::to_string(refuseMove));
    if (refuseRoom) line("refuse_room", std::to_string(refuseRoom));
    if (refuseVersion) line("refuse_version", std::to_string(refuseVersion));
    if (refuseListing) line("refuse_listing", std::to_string(refuseListing));
    if (closeDelayMs != kDefaultCloseDelayMs) line("close_delay_ms", std::to_string(closeDelayMs));
    if (noIdent) line("no_ident", "1");
    if (hasOrigName) line("origname", WideToUtf8(origName));
    if (origNameType != "string") line("origname_type", origNameType);
    if (specialFolderFail) line("special_folder_fail", "1");
    if (hasInvokeResult) line("invoke_result", std::to_string(invokeResult));
    if (hasVersion) line("version", std::to_string(major) + "." + std::to_string(minor));
    if (hasProcessor) line("processor", std::to_string(processor));
    if (!password.empty()) line("password", WideToUtf8(password));
    if (unlockAfterMs >= 0) line("unlock_on_device_ms", std::to_string(unlockAfterMs));
    return text;
}

int64_t DeviceFaults::CardCapacity(const std::wstring &card) const {
    for (const auto &entry : cardCapacity) {
        if (CaseKey(entry.first) == CaseKey(card)) return entry.second;
    }
    return -1;
}
