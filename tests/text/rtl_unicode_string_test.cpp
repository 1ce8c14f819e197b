// Counted strings: initialisation, copy and append limits, comparison.
#include <gtest/gtest.h>

#include <string>

#include "sim/api/rtl_string.h"

namespace {

// A UNICODE_STRING over a caller's buffer of `capacity` characters, pre-filled with '#' so that
// a terminator written past the text is visible. One extra slot past the capacity must stay '#'.
struct CountedBuffer {
    WCHAR storage[32];
    UNICODE_STRING string;

    CountedBuffer(size_t capacity, const std::u16string& text)
    {
        for (WCHAR& character : storage) {
            character = u'#';
        }
        text.copy(storage, text.size());
        string.Buffer = storage;
        string.Length = USHORT(text.size() * sizeof(WCHAR));
        string.MaximumLength = USHORT(capacity * sizeof(WCHAR));
    }

    std::u16string Text() const { return std::u16string(storage, string.Length / sizeof(WCHAR)); }
};

UNICODE_STRING Counted(const WCHAR* text, size_t characters)
{
    UNICODE_STRING string;
    string.Buffer = const_cast<PWSTR>(text);
    string.Length = USHORT(characters * sizeof(WCHAR));
    string.MaximumLength = string.Length;
    return string;
}

TEST(RtlInitString, DescribesTheTextInBytes)
{
    UNICODE_STRING name;
    const WCHAR* text = W("\\asio");
    RtlInitUnicodeString(&name, text);
    EXPECT_EQ(name.Buffer, text);
    EXPECT_EQ(name.Length, 10);
    EXPECT_EQ(name.MaximumLength, 12);

    RtlInitUnicodeString(&name, nullptr);
    EXPECT_EQ(name.Buffer, nullptr);
    EXPECT_EQ(name.Length, 0);
    EXPECT_EQ(name.MaximumLength, 0);

    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "TVR9");
    EXPECT_EQ(ansi.Length, 4);
    EXPECT_EQ(ansi.MaximumLength, 5);
    RtlInitAnsiString(&ansi, nullptr);
    EXPECT_EQ(ansi.Length, 0);
    EXPECT_EQ(ansi.Buffer, nullptr);
}

TEST(RtlInitString, TextLongerThanAUshortLengthIsCut)
{
    std::u16string longText(40000, u'a');
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, longText.c_str());
    EXPECT_EQ(name.Length, 0xFFFC);
    EXPECT_EQ(name.MaximumLength, 0xFFFE);
}

TEST(RtlCopyString, CopiesWhatFitsAndTerminatesOnlyWithRoom)
{
    const WCHAR source[] = W("Output4(REAMP)");
    struct Case {
        size_t capacity;
        size_t sourceCharacters;
        std::u16string text;
        WCHAR after;
    };
    const Case cases[] = {
        {20, 7, u"Output4", 0},
        {7, 7, u"Output4", u'#'},
        {4, 7, u"Outp", u'#'},
        {0, 7, u"", u'#'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "capacity " << c.capacity);
        CountedBuffer destination(c.capacity, u"");
        UNICODE_STRING from = Counted(source, c.sourceCharacters);
        RtlCopyUnicodeString(&destination.string, &from);
        EXPECT_EQ(destination.Text(), c.text);
        EXPECT_EQ(destination.storage[c.text.size()], c.after);
    }
    CountedBuffer cleared(8, u"old");
    RtlCopyUnicodeString(&cleared.string, nullptr);
    EXPECT_EQ(cleared.string.Length, 0);
}

TEST(RtlAppendString, AppendsOnlyWhenEverythingFits)
{
    struct Case {
        size_t capacity;
        const WCHAR* source;
        NTSTATUS status;
        std::u16string text;
        WCHAR after;
    };
    const Case cases[] = {
        {12, W("\\asio"), STATUS_SUCCESS, u"\\dev\\asio", 0},
        {9, W("\\asio"), STATUS_SUCCESS, u"\\dev\\asio", u'#'},
        {8, W("\\asio"), STATUS_BUFFER_TOO_SMALL, u"\\dev", u'#'},
        {4, W(""), STATUS_SUCCESS, u"\\dev", u'#'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "capacity " << c.capacity);
        CountedBuffer terminated(c.capacity, u"\\dev");
        EXPECT_EQ(RtlAppendUnicodeToString(&terminated.string, c.source), c.status);
        EXPECT_EQ(terminated.Text(), c.text);
        EXPECT_EQ(terminated.storage[c.text.size()], c.after);

        CountedBuffer counted(c.capacity, u"\\dev");
        UNICODE_STRING source;
        RtlInitUnicodeString(&source, c.source);
        EXPECT_EQ(RtlAppendUnicodeStringToString(&counted.string, &source), c.status);
        EXPECT_EQ(counted.Text(), c.text);
        EXPECT_EQ(counted.storage[c.text.size()], c.after);
        EXPECT_EQ(counted.string.MaximumLength, c.capacity * sizeof(WCHAR));
    }
    CountedBuffer unchanged(4, u"\\dev");
    EXPECT_EQ(RtlAppendUnicodeToString(&unchanged.string, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(unchanged.Text(), u"\\dev");
}

TEST(RtlAppendString, CountedSourceIsReadOnlyToItsLength)
{
    CountedBuffer destination(16, u"wave_");
    UNICODE_STRING rate = Counted(W("48000 and more"), 5);
    EXPECT_EQ(RtlAppendUnicodeStringToString(&destination.string, &rate), STATUS_SUCCESS);
    EXPECT_EQ(destination.Text(), u"wave_48000");
}

TEST(RtlCompareString, OrdinalOrUpperCasedComparison)
{
    struct Case {
        const WCHAR* left;
        size_t leftCharacters;
        const WCHAR* right;
        BOOLEAN caseInSensitive;
        int order;
        bool equal;
        bool prefix;
    };
    const Case cases[] = {
        {W("abc"), 3, W("abc"), FALSE, 0, true, true},
        {W("abc"), 3, W("ABC"), FALSE, 1, false, false},
        {W("abc"), 3, W("ABC"), TRUE, 0, true, true},
        {W("\\ASIO"), 5, W("\\asio"), TRUE, 0, true, true},
        {W("ab"), 2, W("abc"), FALSE, -1, false, true},
        {W("abc"), 3, W("ab"), FALSE, 1, false, false},
        {W("abcdef"), 3, W("abc"), FALSE, 0, true, true},
        {W("abd"), 3, W("abc"), TRUE, 1, false, false},
        {W(""), 0, W("abc"), FALSE, -1, false, true},
        {u"\u00E9t\u00E9", 3, u"\u00C9T\u00C9", TRUE, 0, true, true},
        // Upper-casing compares 'E' (0x45) with '^' (0x5E): the opposite of _wcsicmp.
        {W("abcde"), 5, W("ABCD^"), TRUE, -1, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << ::testing::PrintToString(c.left) << " vs "
                                        << ::testing::PrintToString(c.right));
        UNICODE_STRING left = Counted(c.left, c.leftCharacters);
        UNICODE_STRING right;
        RtlInitUnicodeString(&right, c.right);
        LONG order = RtlCompareUnicodeString(&left, &right, c.caseInSensitive);
        EXPECT_EQ((order > 0) - (order < 0), c.order);
        LONG reverse = RtlCompareUnicodeString(&right, &left, c.caseInSensitive);
        EXPECT_EQ((reverse > 0) - (reverse < 0), -c.order);
        EXPECT_EQ(RtlEqualUnicodeString(&left, &right, c.caseInSensitive) != FALSE, c.equal);
        EXPECT_EQ(RtlPrefixUnicodeString(&left, &right, c.caseInSensitive) != FALSE, c.prefix);
    }
}

}  // namespace
