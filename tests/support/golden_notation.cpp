#include "tests/support/golden_notation.h"

#include <gtest/gtest.h>

#include <stdio.h>

std::vector<GoldenBytes> ParseGolden(const std::string &text) {
    std::vector<GoldenBytes> frames(1);
    for (size_t at = 0; at < text.size();) {
        if (text[at] == ' ') {
            ++at;
        } else if (text[at] == '|') {
            frames.emplace_back();
            ++at;
        } else if (text[at] == '\'') {
            size_t end = text.find('\'', at + 1);
            for (size_t i = at + 1; i <= end; ++i) {
                frames.back().Add(i < end ? static_cast<uint8_t>(text[i]) : 0);
                frames.back().Add(0);
            }
            at = end + 1;
        } else if (text[at] == '#') {
            size_t end = text.find(' ', at);
            end = end == std::string::npos ? text.size() : end;
            for (size_t i = at + 1; i + 1 < end; i += 2) frames.back().Add(std::stoul(text.substr(i, 2), nullptr, 16));
            at = end;
        } else if (text[at] == 'z') {
            size_t end = text.find(' ', at);
            end = end == std::string::npos ? text.size() : end;
            for (unsigned long n = std::stoul(text.substr(at + 1, end - at - 1)); n > 0; --n) frames.back().Add(0);
            at = end;
        } else if (text.compare(at, 4, "????") == 0) {
            for (int i = 0; i < 4; ++i) frames.back().Add(0, true);
            at += 4;
        } else {
            uint32_t value = std::stoul(text.substr(at, 8), nullptr, 16);
            for (int i = 0; i < 4; ++i) frames.back().Add(static_cast<uint8_t>(value >> (8 * i)));
            at += 8;
        }
    }
    return frames;
}

std::string GoldenHex(const std::vector<uint8_t> &bytes) {
    std::string text;
    char byte[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(byte, sizeof byte, "%02x", bytes[i]);
        text += byte;
        if (i % 4 == 3) text += ' ';
    }
    return text;
}

GoldenBytes GoldenFrames(const std::string &text) {
    GoldenBytes expected;
    for (const GoldenBytes &frame : ParseGolden(text)) {
        for (int i = 0; i < 4; ++i) expected.Add(static_cast<uint8_t>(frame.data.size() >> (8 * i)));
        for (size_t i = 0; i < frame.data.size(); ++i) expected.Add(frame.data[i], frame.any[i]);
    }
    return expected;
}

bool MatchesGolden(const std::vector<uint8_t> &bytes, const GoldenBytes &golden) {
    bool same = bytes.size() == golden.data.size();
    for (size_t i = 0; same && i < bytes.size(); ++i) same = golden.any[i] || bytes[i] == golden.data[i];
    return same;
}

void ExpectGoldenReply(bool dropped, const std::vector<uint8_t> &frames, const char *reply) {
    if (std::string(reply) == "drop") {
        EXPECT_TRUE(dropped);
        EXPECT_TRUE(frames.empty());
        return;
    }
    ASSERT_FALSE(dropped);
    GoldenBytes expected = GoldenFrames(reply);
    EXPECT_TRUE(MatchesGolden(frames, expected)) << "expected " << GoldenHex(expected.data) << "\n     got "
                                                 << GoldenHex(frames);
}
