// The reader variant for every processor type and platform code, as one
// table: rows are processor types, columns the codes 1..6 and three codes
// outside that range.
#include <gtest/gtest.h>

#include <string>

#include "reader/variant_selection.h"

namespace {

const WORD kCodes[] = {1, 2, 3, 4, 5, 6, 0, 7, 0xFFFF};
const int kCodeCount = sizeof kCodes / sizeof kCodes[0];

struct ProcessorRow {
    DWORD processorType;
    const char *expected[kCodeCount];  // "tag.suffix", or "refused"
};

#define ARM "ppc300.arm"
const ProcessorRow kTable[] = {
    {4000, {"hpc200.mips", "ppc201.mips", "hpc211.mips", "ppc211.mips", "ppc300.mips", "hpc300.mips", ARM, ARM, ARM}},
    {10003, {"hpc200.sh3", "ppc201.sh3", "hpc211.sh3", "ppc211.sh3", "ppc300.sh3", ARM, ARM, ARM, ARM}},
    {10005, {ARM, ARM, "hpc211.sh4", ARM, ARM, ARM, ARM, ARM, ARM}},
    {2577, {ARM, ARM, "hpc211.arm", ARM, ARM, "hpc300.arm", ARM, ARM, ARM}},
    {386, {"refused", "refused", "refused", "refused", "refused", "refused", "refused", "refused", "refused"}},
    {486, {"refused", "refused", "refused", "refused", "refused", "refused", "refused", "refused", "refused"}},
    {586, {"refused", "refused", "refused", "refused", "refused", "refused", "refused", "refused", "refused"}},
    // Processor types the rule does not name, next to the named ones.
    {0, {ARM, ARM, ARM, ARM, ARM, ARM, ARM, ARM, ARM}},
    {4001, {ARM, ARM, ARM, ARM, ARM, ARM, ARM, ARM, ARM}},
    {10004, {ARM, ARM, ARM, ARM, ARM, ARM, ARM, ARM, ARM}},
    {387, {ARM, ARM, ARM, ARM, ARM, ARM, ARM, ARM, ARM}},
    {2577 + 0x10000, {ARM, ARM, ARM, ARM, ARM, ARM, ARM, ARM, ARM}},
    {0xFFFFFFFF, {ARM, ARM, ARM, ARM, ARM, ARM, ARM, ARM, ARM}},
};
#undef ARM

std::string Describe(const ReaderVariant &variant) {
    if (variant.refused) {
        return variant.readerVariantFile || variant.helperVariantFile ? "refused with names" : "refused";
    }
    if (!variant.readerVariantFile || !variant.helperVariantFile) return "missing name";
    const std::string reader = variant.readerVariantFile, helper = variant.helperVariantFile;
    const std::string readerBase = "Tesh Reader.exe.", helperBase = "tarnlib.dll.";
    if (reader.compare(0, readerBase.size(), readerBase) != 0) return "bad reader name " + reader;
    if (helper.compare(0, helperBase.size(), helperBase) != 0) return "bad helper name " + helper;
    std::string readerTag = reader.substr(readerBase.size()), helperTag = helper.substr(helperBase.size());
    if (readerTag != helperTag) return "disagreeing pair " + reader + " / " + helper;
    return readerTag;
}

TEST(VariantSelection, EveryProcessorAndCode) {
    for (const ProcessorRow &row : kTable) {
        for (int column = 0; column < kCodeCount; ++column) {
            ReaderVariant variant = SelectReaderVariant(row.processorType, kCodes[column]);
            EXPECT_EQ(Describe(variant), row.expected[column])
                << "processor " << row.processorType << ", code " << kCodes[column];
        }
    }
}

// Across a wide sweep of inputs, every answer is one of the fifteen pairs
// (the same tag and suffix on both names) or a refusal of an Intel type.
TEST(VariantSelection, OnlyTheFifteenPairsAndAlwaysAgreeing) {
    const char *const kPairs[] = {"hpc200.mips", "ppc201.mips", "hpc211.mips", "ppc211.mips", "ppc300.mips",
                                  "hpc300.mips", "hpc200.sh3",  "ppc201.sh3",  "hpc211.sh3",  "ppc211.sh3",
                                  "ppc300.sh3",  "hpc211.sh4",  "hpc211.arm",  "hpc300.arm",  "ppc300.arm"};
    const DWORD kProcessors[] = {0, 1, 386, 486, 586, 2577, 4000, 10003, 10005, 0x80000000u, 0xFFFFFFFFu};
    for (DWORD processor : kProcessors) {
        for (DWORD code = 0; code <= 0xFFFF; code += (code < 16 ? 1 : 4093)) {
            std::string got = Describe(SelectReaderVariant(processor, static_cast<WORD>(code)));
            bool known = false;
            for (const char *pair : kPairs) known = known || got == pair;
            bool intel = processor == 386 || processor == 486 || processor == 586;
            EXPECT_TRUE(intel ? got == "refused" : known) << "processor " << processor << ", code " << code << ": "
                                                         << got;
        }
    }
}

}  // namespace
