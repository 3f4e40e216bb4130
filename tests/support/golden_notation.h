// The notation of the golden wire vectors, written by hand from the
// protocol notes: 8 hex digits are a u32 (little-endian on the wire);
// 'text' is UTF-16LE with its terminator; #hex raw bytes; zN N zero bytes;
// ???? any 4 bytes; | starts a second frame.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct GoldenBytes {
    std::vector<uint8_t> data;
    std::vector<bool> any;  // bytes that may hold anything
    void Add(uint8_t byte, bool wildcard = false) {
        data.push_back(byte);
        any.push_back(wildcard);
    }
};

// One entry per frame (split at `|`), without length prefixes.
std::vector<GoldenBytes> ParseGolden(const std::string &text);

// The bytes in groups of four, as hex.
std::string GoldenHex(const std::vector<uint8_t> &bytes);

// The frames the text names (split at `|`), each with its u32 length in
// front, as a service sends them.
GoldenBytes GoldenFrames(const std::string &text);
// True when `bytes` are the golden bytes, their wildcards matching anything.
bool MatchesGolden(const std::vector<uint8_t> &bytes, const GoldenBytes &golden);

// Checks what a device's translator did with a golden request: "drop"
// wants the session dropped with nothing sent, any other reply the frames
// it names.
void ExpectGoldenReply(bool dropped, const std::vector<uint8_t> &frames, const char *reply);
