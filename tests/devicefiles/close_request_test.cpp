// The request block "CloseApp" receives: two UTF-16 strings with
// terminators at offsets 0 and 512, never more than 1024 bytes.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "devicefiles/reader_shutdown.h"

namespace {

const BYTE kGuard = 0xCC;

// A block with guard bytes behind it, to catch writes past its end.
struct GuardedBlock {
    GuardedBlock() : bytes(kCloseRequestBytes + 64, kGuard) {}
    BYTE *data() { return bytes.data(); }
    std::wstring StringAt(size_t offset, size_t maxChars) const {
        std::wstring text;
        for (size_t i = 0; i < maxChars; ++i) {
            wchar_t unit = static_cast<wchar_t>(bytes[offset + 2 * i] | (bytes[offset + 2 * i + 1] << 8));
            if (unit == 0) return text;
            text += unit;
        }
        return text + L"<no terminator>";
    }
    bool GuardIntact() const {
        for (size_t i = kCloseRequestBytes; i < bytes.size(); ++i) {
            if (bytes[i] != kGuard) return false;
        }
        return true;
    }
    std::vector<BYTE> bytes;
};

TEST(CloseRequest, ReaderClassAndTitleAsLittleEndianUtf16) {
    GuardedBlock block;
    FillCloseRequest(block.data(), L"READER", L"Tesh\u2122 Reader");
    const BYTE kClass[] = {'R', 0, 'E', 0, 'A', 0, 'D', 0, 'E', 0, 'R', 0, 0, 0};
    EXPECT_EQ(memcmp(block.data(), kClass, sizeof kClass), 0);
    const BYTE kTitle[] = {'T', 0, 'e', 0, 's', 0, 'h', 0, 0x22, 0x21, ' ', 0, 'R', 0,
                           'e', 0, 'a', 0, 'd', 0, 'e', 0, 'r', 0,  0,    0};
    EXPECT_EQ(memcmp(block.data() + 512, kTitle, sizeof kTitle), 0);
    EXPECT_TRUE(block.GuardIntact());
}

struct LengthCase {
    size_t classChars;
    size_t titleChars;
    size_t expectedClass;
    size_t expectedTitle;
};

// 255 characters fill a half exactly with the terminator; longer ones are cut.
const LengthCase kLengths[] = {
    {0, 0, 0, 0},         {1, 1, 1, 1},         {254, 254, 254, 254},    {255, 255, 255, 255},
    {256, 256, 255, 255}, {300, 7, 255, 7},     {7, 300, 7, 255},        {5000, 5000, 255, 255},
};

TEST(CloseRequest, LengthsUpToAndBeyondAHalf) {
    for (const LengthCase &c : kLengths) {
        std::wstring windowClass, windowTitle;
        for (size_t i = 0; i < c.classChars; ++i) windowClass += static_cast<wchar_t>(L'a' + i % 26);
        for (size_t i = 0; i < c.titleChars; ++i) windowTitle += static_cast<wchar_t>(0x2100 + i % 64);
        GuardedBlock block;
        FillCloseRequest(block.data(), windowClass.c_str(), windowTitle.c_str());
        EXPECT_EQ(block.StringAt(0, 256), windowClass.substr(0, c.expectedClass)) << c.classChars;
        EXPECT_EQ(block.StringAt(512, 256), windowTitle.substr(0, c.expectedTitle)) << c.titleChars;
        EXPECT_TRUE(block.GuardIntact()) << c.classChars << "/" << c.titleChars;
    }
}

}  // namespace
