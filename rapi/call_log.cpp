#include "rapi/call_log.h"
#include "rapi/section_lock.h"

#include <stdarg.h>
#include <stdio.h>


#include "rapi/last_error.h"

namespace calllog {

namespace {

struct LogFile {
    SectionLock lock;
    HANDLE file = INVALID_HANDLE_VALUE;
};

LogFile &TheLog() {
    // Opened once and never closed: the process's end closes it, and late
    // calls from other threads still find it.
    static LogFile *log = [] {
        LogFile *made = new LogFile();
        wchar_t path[MAX_PATH];
        DWORD length = GetEnvironmentVariableW(L"RAPI_LOG", path, MAX_PATH);
        if (length > 0 && length < MAX_PATH) {
            made->file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        }
        return made;
    }();
    return *log;
}

}  // namespace

bool Enabled() { return TheLog().file != INVALID_HANDLE_VALUE; }

void Line(const std::string &text) {
    LogFile &log = TheLog();
    if (log.file == INVALID_HANDLE_VALUE) return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[32];
    snprintf(stamp, sizeof stamp, "%02u:%02u:%02u.%03u ", now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    std::string line = stamp + text + "\r\n";
    SectionGuard lock(log.lock);
    DWORD written = 0;
    WriteFile(log.file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void Event(const char *format, ...) {
    if (!Enabled()) return;
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    Line(std::string("link: ") + text);
}

std::string Utf8(const wchar_t *text) {
    if (!text) return std::string();
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(bytes > 0 ? bytes - 1 : 0, '\0');
    if (bytes > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, &utf8[0], bytes, nullptr, nullptr);
    return utf8;
}

std::string Text(const wchar_t *text) {
    if (!text) return "null";
    return "\"" + Utf8(text) + "\"";
}

std::string Hex(unsigned long long value) {
    char text[24];
    snprintf(text, sizeof text, "0x%llx", value);
    return text;
}

unsigned long long Call::Now() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<unsigned long long>(count.QuadPart) * 1000000ull /
           static_cast<unsigned long long>(frequency.QuadPart);
}

void Call::Done(const std::string &arguments, const std::string &result) const {
    if (!Enabled()) return;
    unsigned long long micros = Now() - start_;
    char tail[96];
    snprintf(tail, sizeof tail, " last error %lu, %llu.%03llu ms", static_cast<unsigned long>(rapilink::LastError()),
             micros / 1000, micros % 1000);
    Line(std::string(name_) + "(" + arguments + ") -> " + result + tail);
}

}  // namespace calllog
