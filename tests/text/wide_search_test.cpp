// Length and search over terminated wide text.
#include <gtest/gtest.h>

#include "sim/api/wide_text.h"

namespace {

TEST(WideLength, CountsCodeUnitsUpToTheTerminator)
{
    EXPECT_EQ(wcslen(W("")), 0u);
    EXPECT_EQ(wcslen(W("Input3(DRY)")), 11u);
    // A character beyond the BMP is two UTF-16 code units, as on Windows.
    EXPECT_EQ(wcslen(u"a\U0001D11Eb"), 4u);
    EXPECT_EQ(lstrlenW(W("Output1")), 7);
    EXPECT_EQ(lstrlenW(nullptr), 0);
}

TEST(WideLength, BoundedLengthNeverReadsPastTheLimit)
{
    const WCHAR unterminated[3] = {u'a', u'b', u'c'};
    EXPECT_EQ(wcsnlen(unterminated, 3), 3u);
    EXPECT_EQ(wcsnlen(W("ab"), 10), 2u);
    EXPECT_EQ(wcsnlen(W("abc"), 0), 0u);
}

TEST(WideSearch, FindsCharactersAndPatterns)
{
    const WCHAR* path = W("\\\\?\\usb#vid_1234#wave_48000\\wave");
    struct Case {
        const char* label;
        const WCHAR* found;
        const WCHAR* expected;
    };
    const Case cases[] = {
        {"first backslash", wcschr(path, u'\\'), path},
        {"first '#'", wcschr(path, u'#'), path + 7},
        {"terminator", wcschr(path, u'\0'), path + wcslen(path)},
        {"absent character", wcschr(path, u'Z'), nullptr},
        {"last backslash", wcsrchr(path, u'\\'), path + 27},
        {"last absent", wcsrchr(path, u'Z'), nullptr},
        {"first pattern", wcsstr(path, W("\\wave")), path + 27},
        {"empty pattern", wcsstr(path, W("")), path},
        {"pattern longer than text", wcsstr(W("wa"), W("wave")), nullptr},
        {"absent pattern", wcsstr(path, W("\\asio")), nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.found, c.expected);
    }
}

TEST(WideSearch, PatternSearchRestartsAfterAPartialMatch)
{
    const WCHAR* text = W("wawawave");
    EXPECT_EQ(wcsstr(text, W("wave")), text + 4);
    const WCHAR* repeated = W("aaab");
    EXPECT_EQ(wcsstr(repeated, W("aab")), repeated + 1);
}

TEST(WideSearch, MutableTextGivesMutableResults)
{
    WCHAR path[] = W("\\device\\wave_44100");
    wcsstr(path, W("\\wave"))[0] = 0;
    EXPECT_EQ(std::u16string(path), u"\\device");
    wcschr(path, u'd')[0] = u'D';
    wcsrchr(path, u'\\')[0] = u'/';
    EXPECT_EQ(std::u16string(path), u"/Device");
}

}  // namespace
