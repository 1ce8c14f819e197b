// UTF-8 <-> UTF-16 conversion, including surrogate pairs and malformed input.
#include <gtest/gtest.h>

#include "sim/api/wide_text.h"

namespace {

TEST(UtfConvert, RoundTripsEveryEncodingLength)
{
    struct Case {
        std::string utf8;
        std::u16string utf16;
    };
    const Case cases[] = {
        {"", u""},
        {"Input3(DRY)", u"Input3(DRY)"},
        {"caf\xC3\xA9", u"caf\u00E9"},
        {"\xE2\x82\xAC 5", u"\u20AC 5"},
        {"\xEF\xBF\xBF", u"\uFFFF"},
        {"\xF0\x9D\x84\x9E", u"\xD834\xDD1E"},
        {"\xF0\x90\x80\x80", u"\xD800\xDC00"},
        {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
        {"a\xF0\x9F\x8E\xB5z", u"a\U0001F3B5z"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.utf8);
        EXPECT_EQ(sim::Utf8ToUtf16(c.utf8), c.utf16);
        EXPECT_EQ(sim::Utf16ToUtf8(c.utf16), c.utf8);
    }
}

TEST(UtfConvert, MalformedUtf8BecomesReplacementCharacters)
{
    struct Case {
        const char* label;
        std::string utf8;
        std::u16string utf16;
    };
    const Case cases[] = {
        {"cut short", "a\xC3", u"a\uFFFD"},
        {"cut short before ASCII", "\xE2\x82" "A", u"\uFFFD" "A"},
        {"overlong", "\xC0\xAF", u"\uFFFD\uFFFD"},
        {"overlong three bytes", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
        {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"lone continuation", "\x80z", u"\uFFFDz"},
        {"invalid lead", "\xFF", u"\uFFFD"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(sim::Utf8ToUtf16(c.utf8), c.utf16);
    }
}

TEST(UtfConvert, UnpairedSurrogatesBecomeReplacementCharacters)
{
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(sim::Utf16ToUtf8(std::u16string(1, char16_t(0xD834))), replacement);
    EXPECT_EQ(sim::Utf16ToUtf8(std::u16string(1, char16_t(0xDD1E))), replacement);
    std::u16string highThenLetter = {char16_t(0xD834), u'a'};
    EXPECT_EQ(sim::Utf16ToUtf8(highThenLetter), replacement + "a");
    std::u16string lowThenHigh = {char16_t(0xDD1E), char16_t(0xD834)};
    EXPECT_EQ(sim::Utf16ToUtf8(lowThenHigh), replacement + replacement);
}

}  // namespace
