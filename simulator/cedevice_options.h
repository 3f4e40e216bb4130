// cedevice.exe's command line: its usage text, and the options read from
// it into one record.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "protocol/wire.h"

struct Options {
    std::wstring image;
    std::string profile = "pocketpc";
    std::wstring pipe;
    std::string network, desktop, rapi2Listen;
    std::vector<std::pair<wire::Op, std::wstring>> changes;  // in the order given
    bool list = false;
    bool serve = false;
    bool forgiving = false;  // --forgiving-docking
    uint64_t linkSpeed = 0;  // bytes per second; 0: unlimited
    uint64_t linkLatency = 0;  // milliseconds per call
};

// The usage text, without its last line end.
std::string Usage();

// True when the command line asks for the usage, wherever it does.
bool AsksForHelp(int argc, wchar_t **argv);

// Reads the command line into `options`, the pipe from the environment
// unless named; false with what is wrong in `error`.
bool ParseOptions(int argc, wchar_t **argv, Options *options, std::string *error);
