#include "reader/variant_selection.h"

namespace {

// A pair of variant files carries one platform tag and processor suffix in
// both names; building both from one "tag.suffix" keeps them in step.
struct VariantPair {
    const char *readerFile;
    const char *helperFile;
};
#define VARIANT_PAIR(tagSuffix) {"Tesh Reader.exe." tagSuffix, "tarnlib.dll." tagSuffix}

enum PairIndex {
    kHpc200Mips, kPpc201Mips, kHpc211Mips, kPpc211Mips, kPpc300Mips, kHpc300Mips,
    kHpc200Sh3, kPpc201Sh3, kHpc211Sh3, kPpc211Sh3, kPpc300Sh3,
    kHpc211Sh4, kHpc211Arm, kHpc300Arm, kPpc300Arm,
};

const VariantPair kPairs[] = {
    VARIANT_PAIR("hpc200.mips"), VARIANT_PAIR("ppc201.mips"), VARIANT_PAIR("hpc211.mips"),
    VARIANT_PAIR("ppc211.mips"), VARIANT_PAIR("ppc300.mips"), VARIANT_PAIR("hpc300.mips"),
    VARIANT_PAIR("hpc200.sh3"),  VARIANT_PAIR("ppc201.sh3"),  VARIANT_PAIR("hpc211.sh3"),
    VARIANT_PAIR("ppc211.sh3"),  VARIANT_PAIR("ppc300.sh3"),  VARIANT_PAIR("hpc211.sh4"),
    VARIANT_PAIR("hpc211.arm"),  VARIANT_PAIR("hpc300.arm"),  VARIANT_PAIR("ppc300.arm"),
};
#undef VARIANT_PAIR
static_assert(sizeof kPairs / sizeof kPairs[0] == kPpc300Arm + 1, "one pair per index");

// The pair every device without a pair of its own gets.
const PairIndex kDefaultPair = kPpc300Arm;

const DWORD kMips = 4000;        // PROCESSOR_MIPS_R4000
const DWORD kSh3 = 10003;        // PROCESSOR_HITACHI_SH3
const DWORD kSh4 = 10005;        // PROCESSOR_HITACHI_SH4
const DWORD kStrongArm = 2577;   // PROCESSOR_STRONGARM

// The devices built for: processor type and platform code.
struct MatchedPair {
    DWORD processorType;
    WORD platformCode;
    PairIndex pair;
};

const MatchedPair kMatchedPairs[] = {
    {kMips, 1, kHpc200Mips}, {kMips, 2, kPpc201Mips}, {kMips, 3, kHpc211Mips},
    {kMips, 4, kPpc211Mips}, {kMips, 5, kPpc300Mips}, {kMips, 6, kHpc300Mips},
    {kSh3, 1, kHpc200Sh3},   {kSh3, 2, kPpc201Sh3},   {kSh3, 3, kHpc211Sh3},
    {kSh3, 4, kPpc211Sh3},   {kSh3, 5, kPpc300Sh3},   {kSh4, 3, kHpc211Sh4},
    {kStrongArm, 3, kHpc211Arm}, {kStrongArm, 6, kHpc300Arm},
};

// Intel processor types only occur in the emulation environment.
const DWORD kEmulatorProcessors[] = {386, 486, 586};

ReaderVariant Chosen(PairIndex pair) { return {kPairs[pair].readerFile, kPairs[pair].helperFile, false}; }

bool IsEmulator(DWORD processorType) {
    for (DWORD intel : kEmulatorProcessors) {
        if (processorType == intel) return true;
    }
    return false;
}

}  // namespace

ReaderVariant SelectReaderVariant(DWORD processorType, WORD platformCode) {
    for (const MatchedPair &match : kMatchedPairs) {
        if (match.processorType == processorType && match.platformCode == platformCode) return Chosen(match.pair);
    }
    if (IsEmulator(processorType)) return {nullptr, nullptr, true};
    return Chosen(kDefaultPair);
}
