// Numbers to and from counted strings.
#include <gtest/gtest.h>

#include <string>

#include "sim/api/rtl_string.h"

namespace {

TEST(RtlIntegerToString, WritesDigitsAndATerminator)
{
    struct Case {
        ULONG value;
        ULONG base;
        std::u16string text;
    };
    const Case cases[] = {
        {44100, 10, u"44100"}, {44100, 0, u"44100"}, {0, 10, u"0"},
        {4294967295u, 10, u"4294967295"}, {0xBEEF, 16, u"BEEF"}, {0xFFFFFFFFu, 16, u"FFFFFFFF"},
        {8, 8, u"10"}, {5, 2, u"101"}, {0x80000000u, 2, u"1" + std::u16string(31, u'0')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.value << " base " << c.base);
        WCHAR storage[40];
        UNICODE_STRING string = {0, sizeof(storage), storage};
        EXPECT_EQ(RtlIntegerToUnicodeString(c.value, c.base, &string), STATUS_SUCCESS);
        EXPECT_EQ(std::u16string(storage, string.Length / sizeof(WCHAR)), c.text);
        EXPECT_EQ(storage[c.text.size()], 0);
    }
}

TEST(RtlIntegerToString, DigitsMustFitWithTheirTerminator)
{
    struct Case {
        USHORT maximumLength;
        NTSTATUS status;
    };
    // "48000" is 10 bytes, 12 with its terminator.
    const Case cases[] = {
        {12, STATUS_SUCCESS},
        {10, STATUS_BUFFER_OVERFLOW},
        {8, STATUS_BUFFER_OVERFLOW},
        {0, STATUS_BUFFER_OVERFLOW},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "maximum length " << c.maximumLength);
        WCHAR storage[8] = W("#######");
        UNICODE_STRING string = {0, c.maximumLength, storage};
        EXPECT_EQ(RtlIntegerToUnicodeString(48000, 10, &string), c.status);
        if (NT_SUCCESS(c.status)) {
            EXPECT_EQ(std::u16string(storage), u"48000");
            EXPECT_EQ(string.Length, 10);
        } else {
            EXPECT_EQ(std::u16string(storage), u"#######");
        }
    }
}

TEST(RtlIntegerToString, RefusesUnsupportedBases)
{
    WCHAR storage[8] = W("#");
    UNICODE_STRING string = {0, sizeof(storage), storage};
    EXPECT_EQ(RtlIntegerToUnicodeString(10, 7, &string), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlIntegerToUnicodeString(10, 36, &string), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(storage[0], u'#');
}

TEST(RtlStringToInteger, ParsesWithBaseOrPrefix)
{
    struct Case {
        const WCHAR* text;
        size_t characters;
        ULONG base;
        ULONG value;
    };
    const Case cases[] = {
        {W("123"), 3, 10, 123},
        {W("  \t-42"), 6, 10, 0U - 42U},
        {W("+7"), 2, 0, 7},
        {W("0x1F"), 4, 0, 31},
        {W("0o17"), 4, 0, 15},
        {W("0b101"), 5, 0, 5},
        {W("017"), 3, 0, 17},
        {W("1F"), 2, 16, 31},
        {W("ff"), 2, 16, 255},
        {W("777"), 3, 8, 511},
        {W("1012"), 4, 2, 5},
        {W("12abc"), 5, 10, 12},
        {W("abc"), 3, 10, 0},
        {W("0x1F"), 4, 16, 0},
        {W(""), 0, 10, 0},
        {W("123456"), 3, 10, 123},
        {W("4294967295"), 10, 10, 4294967295u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << ::testing::PrintToString(c.text) << " base " << c.base);
        UNICODE_STRING string = {USHORT(c.characters * sizeof(WCHAR)), 0, const_cast<PWSTR>(c.text)};
        string.MaximumLength = string.Length;
        ULONG value = 0xDEADBEEF;
        EXPECT_EQ(RtlUnicodeStringToInteger(&string, c.base, &value), STATUS_SUCCESS);
        EXPECT_EQ(value, c.value);
    }
}

TEST(RtlStringToInteger, RefusesUnsupportedBases)
{
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, W("12"));
    ULONG value = 99;
    EXPECT_EQ(RtlUnicodeStringToInteger(&string, 3, &value), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(value, 99u);
}

}  // namespace
