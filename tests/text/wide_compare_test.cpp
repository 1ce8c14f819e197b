// Ordinal, case-insensitive and linguistic comparison, and case mapping.
#include <gtest/gtest.h>

#include "sim/api/rtl_string.h"
#include "sim/api/wide_text.h"

namespace {

int Sign(int value)
{
    return (value > 0) - (value < 0);
}

TEST(WideCompare, OrdinalAndCaseInsensitiveOrder)
{
    struct Case {
        const WCHAR* left;
        const WCHAR* right;
        int ordinal;
        int ignoringCase;
    };
    const Case cases[] = {
        {W("abc"), W("abc"), 0, 0},
        {W("abc"), W("abd"), -1, -1},
        {W("abc"), W("ab"), 1, 1},
        {W(""), W("a"), -1, -1},
        {W("ABC"), W("abc"), -1, 0},
        {W("USB\\VID_1234&PID_00AB\\5&1"), W("usb\\vid_1234&pid_00ab\\5&1"), -1, 0},
        // The run-time lower-cases before comparing: 'e' (0x65) is above '^' (0x5E), while
        // 'E' (0x45) is below it.
        {W("ABCDE"), W("ABCD^"), -1, 1},
        // The "C" locale knows no case beyond ASCII.
        {u"\u00C9", u"\u00E9", -1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "left " << ::testing::PrintToString(c.left));
        EXPECT_EQ(wcscmp(c.left, c.right), c.ordinal);
        EXPECT_EQ(Sign(_wcsicmp(c.left, c.right)), c.ignoringCase);
        EXPECT_EQ(wcscmp(c.right, c.left), -c.ordinal);
        EXPECT_EQ(Sign(_wcsicmp(c.right, c.left)), -c.ignoringCase);
    }
}

TEST(WideCompare, CountedComparisonsStopAfterCount)
{
    EXPECT_EQ(wcsncmp(W("wave_44100"), W("wave_48000"), 6), 0);
    EXPECT_EQ(wcsncmp(W("wave_44100"), W("wave_48000"), 7), -1);
    EXPECT_EQ(wcsncmp(W("ab"), W("abc"), 5), -1);
    EXPECT_EQ(wcsncmp(W("x"), W("y"), 0), 0);
    EXPECT_EQ(_wcsnicmp(W("WAVE_44100"), W("wave_48000"), 6), 0);
    EXPECT_GT(_wcsnicmp(W("WAVE_48000"), W("wave_44100"), 7), 0);
}

TEST(WideCompare, MissingStringIsAnInvalidParameter)
{
    errno = 0;
    EXPECT_EQ(_wcsicmp(nullptr, W("a")), _NLSCMPERROR);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(_wcsnicmp(W("a"), nullptr, 1), _NLSCMPERROR);
    EXPECT_EQ(errno, EINVAL);
}

TEST(WideCase, RunTimeMapsAsciiLettersOnly)
{
    EXPECT_EQ(towlower(u'A'), u'a');
    EXPECT_EQ(towlower(u'Z'), u'z');
    EXPECT_EQ(towlower(u'a'), u'a');
    EXPECT_EQ(towlower(u'['), u'[');
    EXPECT_EQ(towupper(u'q'), u'Q');
    EXPECT_EQ(towupper(u'@'), u'@');
    EXPECT_EQ(towupper(u'{'), u'{');
    EXPECT_EQ(towupper(u'\u00E9'), u'\u00E9');
    EXPECT_EQ(towlower(u'\u00C9'), u'\u00C9');
}

TEST(WideCase, InPlaceConversionOfATerminatedBuffer)
{
    WCHAR path[260] = W("\\\\?\\USB#VID_1234&PID_00AB#5&1#{GUID}\\WAVE_48000");
    EXPECT_EQ(_wcslwr_s(path, 260), 0);
    EXPECT_EQ(std::u16string(path), u"\\\\?\\usb#vid_1234&pid_00ab#5&1#{guid}\\wave_48000");
    EXPECT_EQ(_wcsupr_s(path), 0);
    EXPECT_EQ(std::u16string(path), u"\\\\?\\USB#VID_1234&PID_00AB#5&1#{GUID}\\WAVE_48000");
}

TEST(WideCase, InPlaceConversionRefusesUnterminatedText)
{
    WCHAR text[3] = {u'A', u'B', u'C'};
    errno = 0;
    EXPECT_EQ(_wcslwr_s(text, 3), EINVAL);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(text[0], 0);
    EXPECT_EQ(_wcslwr_s(nullptr, 3), EINVAL);
    WCHAR untouched[2] = W("A");
    EXPECT_EQ(_wcsupr_s(untouched, 0), EINVAL);
    EXPECT_EQ(untouched[0], u'A');
}

TEST(RtlUpcase, MapsAsciiAndLatin1Letters)
{
    struct Case {
        WCHAR in;
        WCHAR out;
    };
    const Case cases[] = {
        {u'a', u'A'},           {u'z', u'Z'},           {u'A', u'A'},
        {u'1', u'1'},           {u'_', u'_'},           {u'\u00E0', u'\u00C0'},
        {u'\u00E9', u'\u00C9'}, {u'\u00FE', u'\u00DE'}, {u'\u00FF', u'\u0178'},
        {u'\u00F7', u'\u00F7'}, {u'\u00DF', u'\u00DF'}, {u'\u00C9', u'\u00C9'},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RtlUpcaseUnicodeChar(c.in), c.out) << "U+" << std::hex << int(c.in);
    }
}

TEST(WideCollate, WordSortOrder)
{
    struct Case {
        const char* label;
        const WCHAR* left;
        const WCHAR* right;
        int caseSensitive;
        int ignoringCase;
    };
    const Case cases[] = {
        {"identical", W("TVR9AUDIO"), W("TVR9AUDIO"), 0, 0},
        {"case differs", W("tvr9audio"), W("TVR9AUDIO"), -1, 0},
        {"letters ignore case first", W("a"), W("B"), -1, -1},
        {"lower case before upper case", W("a"), W("A"), -1, 0},
        {"case only breaks ties", W("Ab"), W("aC"), -1, -1},
        {"symbols before digits", W("_x"), W("1"), -1, -1},
        {"digits before letters", W("9"), W("a"), -1, -1},
        {"prefix first", W("Input"), W("Input1"), -1, -1},
        {"accent breaks ties", u"r\u00E9sum\u00E9", W("resume"), 1, 1},
        {"accent after the letters", u"r\u00E9sum\u00E9", W("rf"), -1, -1},
        {"accented letters have case", u"\u00C9", u"\u00E9", 1, 0},
        {"hyphen counts last", W("co-op"), W("coa"), 1, 1},
        {"missing string first", nullptr, W(""), -1, -1},
        {"both missing", nullptr, nullptr, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(lstrcmpW(c.left, c.right), c.caseSensitive);
        EXPECT_EQ(lstrcmpW(c.right, c.left), -c.caseSensitive);
        EXPECT_EQ(lstrcmpiW(c.left, c.right), c.ignoringCase);
        EXPECT_EQ(lstrcmpiW(c.right, c.left), -c.ignoringCase);
    }
    // Hyphens sort late but still make the strings different.
    EXPECT_NE(lstrcmpW(W("co-op"), W("coop")), 0);
    EXPECT_NE(lstrcmpiW(W("co-op"), W("COOP")), 0);
}

}  // namespace
