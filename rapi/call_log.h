// RAPI_LOG=FILE: one line per remote API call (name, arguments, result,
// time taken) and one per event of the link, appended to FILE, so that a
// user with a real device can send us what happened.
#pragma once

#include <windows.h>

#include <string>

namespace calllog {

// True when RAPI_LOG names a file (read once per process).
bool Enabled();

// Appends one line, stamped with the time of day.
void Line(const std::string &text);

// printf-style helper for the link's events; does nothing when disabled.
void Event(const char *format, ...) __attribute__((format(printf, 1, 2)));

std::string Text(const wchar_t *text);  // "\"...\"" in UTF-8, or "null"
std::string Utf8(const wchar_t *text);  // the text in UTF-8 ("" for null)
std::string Hex(unsigned long long value);

// Times one call and writes its line when it ends.
class Call {
public:
    explicit Call(const char *name) : name_(name), start_(Enabled() ? Now() : 0) {}
    // Writes the line: name(arguments) -> result, last error, milliseconds.
    void Done(const std::string &arguments, const std::string &result) const;

private:
    static unsigned long long Now();
    const char *name_;
    unsigned long long start_;
};

}  // namespace calllog
