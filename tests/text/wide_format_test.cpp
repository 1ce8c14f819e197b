// Wide printf: conversions and flags with the Windows rules, and the buffer rules of
// swprintf_s and _snwprintf_s.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/api/wide_text.h"

namespace {

// Formats with swprintf_s into a roomy buffer; the return value must be the text's length.
std::u16string Format(const WCHAR* format, ...)
{
    WCHAR buffer[256];
    va_list arguments;
    va_start(arguments, format);
    int length = vswprintf_s(buffer, 256, format, arguments);
    va_end(arguments);
    if (length < 0) {
        return u"<error>";
    }
    EXPECT_EQ(size_t(length), wcslen(buffer));
    return buffer;
}

struct FormatCase {
    const char* label;
    std::u16string actual;
    std::u16string expected;
};

void Check(const std::vector<FormatCase>& cases)
{
    for (const FormatCase& c : cases) {
        EXPECT_EQ(c.actual, c.expected) << c.label;
    }
}

TEST(WideFormat, IntegersWithFlagsWidthAndPrecision)
{
    Check({
        {"%d", Format(W("%d"), 42), u"42"},
        {"%i", Format(W("%i"), -42), u"-42"},
        {"width", Format(W("[%5d]"), 42), u"[   42]"},
        {"left", Format(W("[%-5d]"), 42), u"[42   ]"},
        {"zero pad after sign", Format(W("%05d"), -42), u"-0042"},
        {"plus", Format(W("%+d %+d"), 42, -42), u"+42 -42"},
        {"space", Format(W("% d"), 42), u" 42"},
        {"precision", Format(W("%.3d"), 7), u"007"},
        {"precision disables zero pad", Format(W("[%08.3d]"), 7), u"[     007]"},
        {"left wins over zero", Format(W("[%-05d]"), 7), u"[7    ]"},
        {"zero precision zero value", Format(W("[%.0d]"), 0), u"[]"},
        {"width from argument", Format(W("[%*d]"), 6, 42), u"[    42]"},
        {"negative width is left", Format(W("[%*d]"), -4, 7), u"[7   ]"},
        {"precision from argument", Format(W("%.*d"), 4, 7), u"0007"},
        {"negative precision ignored", Format(W("%.*d"), -1, 7), u"7"},
        {"extremes", Format(W("%d %d"), INT_MIN, INT_MAX), u"-2147483648 2147483647"},
        {"%u", Format(W("%u"), 4294967295u), u"4294967295"},
        {"%x", Format(W("%x"), 255), u"ff"},
        {"%X", Format(W("%X"), 255), u"FF"},
        {"%#x", Format(W("%#x %#X"), 255, 255), u"0xff 0XFF"},
        {"%#x of zero", Format(W("%#x"), 0), u"0"},
        {"%08X", Format(W("%08X"), 0xBEEF), u"0000BEEF"},
        {"%#010x", Format(W("%#010x"), 0xBEEF), u"0x0000beef"},
        {"%o", Format(W("%o %#o"), 8, 8), u"10 010"},
        {"%%", Format(W("100%%")), u"100%"},
    });
}

TEST(WideFormat, IntegerSizesFollowLlp64)
{
    Check({
        {"%ld", Format(W("%ld"), LONG(-5)), u"-5"},
        {"%ld reads 32 bits", Format(W("%lx %d"), LONG(-1), 7), u"ffffffff 7"},
        {"%lu", Format(W("%lu"), ULONG(4000000000u)), u"4000000000"},
        {"%I64d", Format(W("%I64d"), LONGLONG(-9000000000)), u"-9000000000"},
        {"%I64u", Format(W("%I64u"), ULONGLONG(18446744073709551615ull)),
         u"18446744073709551615"},
        {"%I64X", Format(W("%I64X"), ULONGLONG(0xFEDCBA9876543210ull)), u"FEDCBA9876543210"},
        {"%lld", Format(W("%lld"), LONGLONG(-1)), u"-1"},
        {"%llu", Format(W("%llu"), ULONGLONG(1) << 40), u"1099511627776"},
        {"%llx", Format(W("%llx"), ULONGLONG(0x123456789ABCDEF0ull)), u"123456789abcdef0"},
        {"%I32u", Format(W("%I32u"), ULONG(7)), u"7"},
        {"%Iu", Format(W("%Iu"), SIZE_T(1) << 33), u"8589934592"},
        {"%zu", Format(W("%zu"), size_t(12)), u"12"},
        {"%hd", Format(W("%hd"), 70000), u"4464"},
        {"%hu", Format(W("%hu"), -1), u"65535"},
        {"%hhu", Format(W("%hhu"), 300), u"44"},
    });
}

TEST(WideFormat, WideAndNarrowText)
{
    const WCHAR unterminated[3] = {u'a', u'b', u'c'};
    Check({
        {"%s is wide", Format(W("%s"), W("Input1")), u"Input1"},
        {"%ls", Format(W("%ls"), W("Input2")), u"Input2"},
        {"%ws", Format(W("%ws"), W("Input3(DRY)")), u"Input3(DRY)"},
        {"%S is narrow", Format(W("%S"), "Output1"), u"Output1"},
        {"%hs", Format(W("%hs"), "Output2"), u"Output2"},
        {"narrow bytes widen", Format(W("%S"), "caf\xE9"), u"caf\u00E9"},
        {"wide beyond the BMP", Format(W("%s"), u"\U0001D11E"), u"\U0001D11E"},
        {"width", Format(W("[%10s]"), W("ab")), u"[        ab]"},
        {"left", Format(W("[%-4s]"), W("ab")), u"[ab  ]"},
        {"zero pad", Format(W("[%05s]"), W("ab")), u"[000ab]"},
        {"precision", Format(W("%.2s"), W("abcdef")), u"ab"},
        {"narrow precision", Format(W("%.3S"), "abcdef"), u"abc"},
        {"precision stops reading", Format(W("%.3s"), unterminated), u"abc"},
        {"missing wide", Format(W("%s"), static_cast<const WCHAR*>(nullptr)), u"(null)"},
        {"missing narrow", Format(W("%S"), static_cast<const char*>(nullptr)), u"(null)"},
        {"%c is wide", Format(W("%c"), u'\u00E9'), u"\u00E9"},
        {"%C is narrow", Format(W("%C"), 'n'), u"n"},
        {"%hc", Format(W("%hc"), 'h'), u"h"},
        {"%lc", Format(W("%lc"), u'w'), u"w"},
        {"%c width", Format(W("[%3c]"), u'x'), u"[  x]"},
    });
}

TEST(WideFormat, CountedStringsAndPointers)
{
    WCHAR wideText[] = W("wave_48000");
    UNICODE_STRING wide = {5 * sizeof(WCHAR), sizeof(wideText), wideText};
    char narrowText[] = "asio-stream";
    ANSI_STRING narrow = {4, sizeof(narrowText), narrowText};
    Check({
        {"%wZ", Format(W("[%wZ]"), &wide), u"[wave_]"},
        {"%hZ", Format(W("[%hZ]"), &narrow), u"[asio]"},
        {"%wZ missing", Format(W("%wZ"), static_cast<const UNICODE_STRING*>(nullptr)),
         u"(null)"},
        {"%p", Format(W("%p"), reinterpret_cast<void*>(0x1234)), u"0000000000001234"},
        {"%p upper case", Format(W("%p"), reinterpret_cast<void*>(0xABCDEF)),
         u"0000000000ABCDEF"},
    });
}

TEST(WideFormat, FloatingPoint)
{
    Check({
        {"%.2f", Format(W("%.2f"), 3.14159), u"3.14"},
        {"width", Format(W("[%8.3f]"), -1.5), u"[  -1.500]"},
        {"%e", Format(W("%e"), 12345.678), u"1.234568e+04"},
        {"%g", Format(W("%g %g"), 0.0001, 48000.0), u"0.0001 48000"},
    });
}

TEST(WideFormat, RefusedFormatsFailAndClear)
{
    const WCHAR* formats[] = {W("%n"), W("%y"), W("abc%"), W("%lls"), W("%wd"), W("%Lf"),
                              W("%hp")};
    for (const WCHAR* format : formats) {
        SCOPED_TRACE(::testing::PrintToString(format));
        WCHAR buffer[16] = W("old");
        int count = 0;
        errno = 0;
        EXPECT_EQ(swprintf_s(buffer, 16, format, &count), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(buffer[0], 0);
        EXPECT_EQ(count, 0);
    }
}

TEST(WideFormat, SwprintfNeedsRoomForTheTerminator)
{
    WCHAR buffer[11];
    EXPECT_EQ(swprintf_s(buffer, 4, W("%d"), 123), 3);
    EXPECT_EQ(std::u16string(buffer), u"123");

    errno = 0;
    EXPECT_EQ(swprintf_s(buffer, 3, W("%d"), 123), -1);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(buffer[0], 0);

    errno = 0;
    EXPECT_EQ(swprintf_s(nullptr, 3, W("x")), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(swprintf_s(buffer, 8, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);

    // The array overload knows the buffer holds 10 characters and the terminator.
    EXPECT_EQ(swprintf_s(buffer, W("%s_%u"), W("wave"), 44100u), 10);
    EXPECT_EQ(std::u16string(buffer), u"wave_44100");
    EXPECT_EQ(swprintf_s(buffer, W("%s_%u"), W("wave"), 352800u), -1);
    EXPECT_EQ(buffer[0], 0);
}

TEST(WideFormat, CountedPrintfTruncatesOnlyWithinItsCount)
{
    struct Case {
        size_t size;
        size_t count;
        int result;
        std::u16string content;
        int error;
    };
    const Case cases[] = {
        {10, _TRUNCATE, 6, u"abcdef", 0},
        {7, _TRUNCATE, 6, u"abcdef", 0},
        {4, _TRUNCATE, -1, u"abc", 0},
        {10, 3, -1, u"abc", 0},
        {10, 6, 6, u"abcdef", 0},
        {10, 0, -1, u"", 0},
        {7, 6, 6, u"abcdef", 0},
        {6, 6, -1, u"", ERANGE},
        {4, 10, -1, u"", ERANGE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "size " << c.size << " count " << c.count);
        WCHAR buffer[16];
        for (WCHAR& character : buffer) {
            character = u'x';
        }
        errno = 0;
        EXPECT_EQ(_snwprintf_s(buffer, c.size, c.count, W("%s"), W("abcdef")), c.result);
        EXPECT_EQ(errno, c.error);
        EXPECT_EQ(std::u16string(buffer, c.content.size() + 1), c.content + char16_t(0));
    }
}

TEST(WideFormat, CountedPrintfArrayOverload)
{
    WCHAR buffer[6];
    EXPECT_EQ(_snwprintf_s(buffer, _TRUNCATE, W("%S%d"), "rate", 48000), -1);
    EXPECT_EQ(std::u16string(buffer), u"rate4");
    errno = 0;
    EXPECT_EQ(_snwprintf_s(buffer, 3, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
}

}  // namespace
