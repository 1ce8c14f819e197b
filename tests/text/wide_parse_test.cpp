// Number parsing with Windows' 32-bit int and unsigned long.
#include <gtest/gtest.h>

#include "sim/api/wide_text.h"

namespace {

TEST(WideParse, WtoiReadsDecimalAndSaturates)
{
    struct Case {
        const WCHAR* text;
        int value;
        int error;
    };
    const Case cases[] = {
        {W("42"), 42, 0},
        {W("  -17xyz"), -17, 0},
        {W("\t+8"), 8, 0},
        {W(""), 0, 0},
        {W("abc"), 0, 0},
        {W("0x1A"), 0, 0},
        {W("2147483647"), INT_MAX, 0},
        {W("-2147483648"), INT_MIN, 0},
        {W("2147483648"), INT_MAX, ERANGE},
        {W("-2147483649"), INT_MIN, ERANGE},
        {W("99999999999999999999999"), INT_MAX, ERANGE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.text));
        errno = 0;
        EXPECT_EQ(_wtoi(c.text), c.value);
        EXPECT_EQ(errno, c.error);
    }
}

TEST(WideParse, WcstoulHonoursBaseAndReportsTheEnd)
{
    struct Case {
        const WCHAR* text;
        int base;
        ULONG value;
        size_t consumed;
        int error;
    };
    const Case cases[] = {
        {W("123"), 10, 123, 3, 0},
        {W("  0x1aG"), 16, 0x1A, 6, 0},
        {W("1A"), 16, 0x1A, 2, 0},
        {W("0x1A"), 0, 0x1A, 4, 0},
        {W("017"), 0, 15, 3, 0},
        {W("19"), 0, 19, 2, 0},
        {W("0x1A"), 10, 0, 1, 0},
        {W("0x"), 16, 0, 1, 0},
        {W("4294967295"), 10, 0xFFFFFFFFu, 10, 0},
        // unsigned long is 32-bit on Windows.
        {W("4294967296"), 10, 0xFFFFFFFFu, 10, ERANGE},
        {W("100000000"), 16, 0xFFFFFFFFu, 9, ERANGE},
        {W("-1"), 10, 0xFFFFFFFFu, 2, 0},
        {W("xyz"), 10, 0, 0, 0},
        {W("   "), 10, 0, 0, 0},
        {W("-"), 10, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << ::testing::PrintToString(c.text) << " base " << c.base);
        WCHAR* end = nullptr;
        errno = 0;
        EXPECT_EQ(wcstoul(c.text, &end, c.base), c.value);
        EXPECT_EQ(size_t(end - c.text), c.consumed);
        EXPECT_EQ(errno, c.error);
    }
}

TEST(WideParse, WcstoulRefusesAnInvalidBase)
{
    const WCHAR* text = W("11");
    WCHAR* end = nullptr;
    errno = 0;
    EXPECT_EQ(wcstoul(text, &end, 1), 0u);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(end, text);
    EXPECT_EQ(wcstoul(text, nullptr, 37), 0u);
}

}  // namespace
