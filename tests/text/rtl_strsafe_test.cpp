// ntstrsafe: truncation with STATUS_BUFFER_OVERFLOW, parameter checks, and the UNICODE_STRING
// form that may fill its buffer without a terminator.
#include <gtest/gtest.h>

#include <string>

#include "sim/api/rtl_string.h"

namespace {

// Sixteen characters of '#' so that what a call writes, and where it stops, is visible.
struct Buffer {
    WCHAR text[16];
    Buffer()
    {
        for (WCHAR& character : text) {
            character = u'#';
        }
    }
    std::u16string Upto(size_t count) const { return std::u16string(text, count); }
};

TEST(RtlStrSafeCopy, TruncatesToFitAndReportsIt)
{
    struct Case {
        size_t cbDest;
        NTSTATUS status;
        std::u16string content;
    };
    // "abc" and its terminator take 8 bytes.
    const Case cases[] = {
        {20, STATUS_SUCCESS, std::u16string(u"abc\0", 4)},
        {8, STATUS_SUCCESS, std::u16string(u"abc\0", 4)},
        {7, STATUS_BUFFER_OVERFLOW, std::u16string(u"ab\0#", 4)},
        {6, STATUS_BUFFER_OVERFLOW, std::u16string(u"ab\0#", 4)},
        {2, STATUS_BUFFER_OVERFLOW, std::u16string(u"\0###", 4)},
        {1, STATUS_INVALID_PARAMETER, u"####"},
        {0, STATUS_INVALID_PARAMETER, u"####"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "bytes " << c.cbDest);
        Buffer buffer;
        EXPECT_EQ(RtlStringCbCopyW(buffer.text, c.cbDest, W("abc")), c.status);
        EXPECT_EQ(buffer.Upto(4), c.content);
    }
}

TEST(RtlStrSafeCopy, OversizedDestinationIsRefusedAndEmptied)
{
    Buffer buffer;
    EXPECT_EQ(RtlStringCchCopyW(buffer.text, size_t(NTSTRSAFE_MAX_CCH) + 1, W("abc")),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer.text[0], 0);
    EXPECT_EQ(RtlStringCchCopyW(nullptr, 4, W("abc")), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchCopyW(buffer.text, 3, W("abc")), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buffer.text), u"ab");
}

TEST(RtlStrSafeCat, AppendsWhatFits)
{
    struct Case {
        size_t cbDest;
        NTSTATUS status;
        std::u16string text;
    };
    // "wave_" + "48000" and the terminator take 22 bytes.
    const Case cases[] = {
        {32, STATUS_SUCCESS, u"wave_48000"},
        {22, STATUS_SUCCESS, u"wave_48000"},
        {20, STATUS_BUFFER_OVERFLOW, u"wave_4800"},
        {12, STATUS_BUFFER_OVERFLOW, u"wave_"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "bytes " << c.cbDest);
        Buffer buffer;
        ASSERT_EQ(RtlStringCbCopyW(buffer.text, sizeof(buffer.text), W("wave_")), STATUS_SUCCESS);
        EXPECT_EQ(RtlStringCbCatW(buffer.text, c.cbDest, W("48000")), c.status);
        EXPECT_EQ(std::u16string(buffer.text), c.text);
    }
}

TEST(RtlStrSafeCat, RefusesUnterminatedDestination)
{
    Buffer buffer;
    EXPECT_EQ(RtlStringCbCatW(buffer.text, 8, W("a")), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer.Upto(4), u"####");
    EXPECT_EQ(RtlStringCchCatW(buffer.text, 0, W("a")), STATUS_INVALID_PARAMETER);
}

TEST(RtlStrSafeLength, MeasuresWithinTheLimit)
{
    size_t length = 99;
    EXPECT_EQ(RtlStringCchLengthW(W("Input1"), 7, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(RtlStringCchLengthW(W("Input1"), 6, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(RtlStringCbLengthW(W("Input1"), 14, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 12u);
    EXPECT_EQ(RtlStringCchLengthW(nullptr, 7, &length), STATUS_INVALID_PARAMETER);
}

TEST(RtlStrSafePrintf, TruncatesToFitAndTerminates)
{
    struct Case {
        size_t cbDest;
        NTSTATUS status;
        std::u16string text;
    };
    // "wave_48000" and its terminator take 22 bytes.
    const Case cases[] = {
        {32, STATUS_SUCCESS, u"wave_48000"},
        {22, STATUS_SUCCESS, u"wave_48000"},
        {20, STATUS_BUFFER_OVERFLOW, u"wave_4800"},
        {2, STATUS_BUFFER_OVERFLOW, u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "bytes " << c.cbDest);
        Buffer buffer;
        EXPECT_EQ(RtlStringCbPrintfW(buffer.text, c.cbDest, W("%s_%S"), W("wave"), "48000"),
                  c.status);
        EXPECT_EQ(std::u16string(buffer.text), c.text);
    }
}

TEST(RtlStrSafePrintf, RefusesBadParameters)
{
    Buffer buffer;
    EXPECT_EQ(RtlStringCbPrintfW(buffer.text, 0, W("x")), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer.text[0], u'#');
    EXPECT_EQ(RtlStringCbPrintfW(buffer.text, sizeof(buffer.text), nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer.text[0], 0);
    buffer.text[0] = u'#';
    EXPECT_EQ(RtlStringCchPrintfW(buffer.text, 16, W("%n"), nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer.text[0], 0);
}

TEST(RtlUnicodeStringPrintf, MayFillTheWholeBuffer)
{
    struct Case {
        USHORT maximumLength;
        NTSTATUS status;
        std::u16string text;
        WCHAR after;
    };
    // "wave_48000" is 20 bytes.
    const Case cases[] = {
        {32, STATUS_SUCCESS, u"wave_48000", 0},
        {20, STATUS_SUCCESS, u"wave_48000", u'#'},
        {18, STATUS_BUFFER_OVERFLOW, u"wave_4800", u'#'},
        {0, STATUS_BUFFER_OVERFLOW, u"", u'#'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "maximum length " << c.maximumLength);
        Buffer buffer;
        UNICODE_STRING string = {0, c.maximumLength, buffer.text};
        EXPECT_EQ(RtlUnicodeStringPrintf(&string, W("wave_%u"), 48000u), c.status);
        EXPECT_EQ(std::u16string(buffer.text, string.Length / sizeof(WCHAR)), c.text);
        EXPECT_EQ(buffer.text[c.text.size()], c.after);
    }
    Buffer empty;
    UNICODE_STRING nothing = {0, 0, empty.text};
    EXPECT_EQ(RtlUnicodeStringPrintf(&nothing, W("")), STATUS_SUCCESS);
    EXPECT_EQ(nothing.Length, 0);
}

TEST(RtlUnicodeStringPrintf, RefusesMalformedStrings)
{
    Buffer buffer;
    const UNICODE_STRING malformed[] = {
        {0, 7, buffer.text},
        {3, 8, buffer.text},
        {10, 8, buffer.text},
        {0, 8, nullptr},
    };
    for (UNICODE_STRING string : malformed) {
        SCOPED_TRACE(testing::Message() << string.Length << "/" << string.MaximumLength);
        EXPECT_EQ(RtlUnicodeStringPrintf(&string, W("x")), STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(buffer.text[0], u'#');
    EXPECT_EQ(RtlUnicodeStringPrintf(nullptr, W("x")), STATUS_INVALID_PARAMETER);
}

}  // namespace
