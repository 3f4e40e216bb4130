// Device paths: the one canonical form every path takes before it reaches
// the image, the paths refused (they could leave the store, or the host
// would store them under another name), and name patterns.
#include <gtest/gtest.h>

#include "model/device_path.h"
#include "model/text_util.h"

namespace {

struct PathCase {
    const wchar_t *path;
    DWORD error;
    const wchar_t *canonical;
};

const PathCase kPaths[] = {
    {L"\\", 0, L"\\"},
    {L"", 0, L"\\"},
    {L"\\Windows", 0, L"\\Windows"},
    {L"Windows\\Programs", 0, L"\\Windows\\Programs"},
    {L"\\Program Files\\Corvex Press\\", 0, L"\\Program Files\\Corvex Press"},
    {L"\\\\My Documents//Corvex Press", 0, L"\\My Documents\\Corvex Press"},
    {L"\\Tesh\u2122 Reader.lnk", 0, L"\\Tesh\u2122 Reader.lnk"},
    {L"\\wsj.vbk.ppd", 0, L"\\wsj.vbk.ppd"},
    {L"\\..", ERROR_BAD_PATHNAME, nullptr},
    {L"\\Windows\\..\\..\\outside", ERROR_BAD_PATHNAME, nullptr},
    {L"\\.\\x", ERROR_BAD_PATHNAME, nullptr},
    {L"\\C:\\x", ERROR_INVALID_NAME, nullptr},
    {L"\\a<b", ERROR_INVALID_NAME, nullptr},
    {L"\\a\"b", ERROR_INVALID_NAME, nullptr},
    {L"\\a|b", ERROR_INVALID_NAME, nullptr},
    {L"\\tab\there", ERROR_INVALID_NAME, nullptr},
    {L"\\*.vbk", ERROR_INVALID_NAME, nullptr},
    {L"\\trailing.", ERROR_INVALID_NAME, nullptr},
    {L"\\trailing ", ERROR_INVALID_NAME, nullptr},
    {L"\\CON", ERROR_INVALID_NAME, nullptr},
    {L"\\nul.txt", ERROR_INVALID_NAME, nullptr},
    {L"\\Windows\\com1", ERROR_INVALID_NAME, nullptr},
    {L"\\console", 0, L"\\console"},
};

TEST(DevicePath, CanonicalFormAndRefusals) {
    for (const PathCase &c : kPaths) {
        std::wstring canonical = L"untouched";
        DWORD error = NormalizeDevicePath(c.path, false, &canonical);
        EXPECT_EQ(error, c.error) << WideToUtf8(c.path);
        EXPECT_EQ(canonical, c.canonical ? c.canonical : L"untouched") << WideToUtf8(c.path);
    }
}

TEST(DevicePath, LengthLimit) {
    std::wstring canonical;
    std::wstring longest = L"\\" + std::wstring(MAX_PATH - 2, L'a');
    EXPECT_EQ(NormalizeDevicePath(longest, false, &canonical), 0u);
    EXPECT_EQ(NormalizeDevicePath(longest + L"a", false, &canonical), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

TEST(DevicePath, WildcardsOnlyInTheLastPartOfAPattern) {
    std::wstring canonical;
    EXPECT_EQ(NormalizeDevicePath(L"\\Books\\*.vbk", true, &canonical), 0u);
    EXPECT_EQ(canonical, L"\\Books\\*.vbk");
    EXPECT_EQ(NormalizeDevicePath(L"\\B?oks\\*.vbk", true, &canonical), static_cast<DWORD>(ERROR_INVALID_NAME));
}

TEST(DevicePath, SplitAndJoin) {
    struct Case {
        const wchar_t *path, *parent, *name;
    };
    const Case kCases[] = {{L"\\a\\b\\c", L"\\a\\b", L"c"}, {L"\\a", L"\\", L"a"}, {L"\\", L"\\", L""}};
    for (const Case &c : kCases) {
        std::wstring parent, name;
        SplitDevicePath(c.path, &parent, &name);
        EXPECT_EQ(parent, c.parent);
        EXPECT_EQ(name, c.name);
        if (*c.name) {
            EXPECT_EQ(JoinDevicePath(parent, name), c.path);
        }
    }
}

TEST(Wildcards, MatchLikeTheObjectStore) {
    struct Case {
        const wchar_t *pattern, *name;
        bool matches;
    };
    const Case kCases[] = {
        {L"*", L"anything.txt", true},      {L"*", L"", true},
        {L"*.vbk", L"book.vbk", true},      {L"*.vbk", L"book.vbks", false},
        {L"*.VBK", L"Book.vbk", true},      {L"?.vbk", L"a.vbk", true},
        {L"?.vbk", L"ab.vbk", false},       {L"wsj.vbk*", L"wsj.vbk.ppd", true},
        {L"*a*b*c", L"xaybzc", true},       {L"*a*b*c", L"xaybzcd", false},
        {L"Tesh\u2122*", L"tesh\u2122 reader.lnk", true},
        {L"exact", L"exact", true},         {L"exact", L"exactly", false},
        {L"**?", L"", false},               {L"a*", L"a", true},
    };
    for (const Case &c : kCases) {
        EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.matches)
            << WideToUtf8(c.pattern) << " vs " << WideToUtf8(c.name);
    }
}

}  // namespace
