// Bounded copies: results, truncation and the destination left empty on failure.
#include <gtest/gtest.h>

#include <string>

#include "sim/api/wide_text.h"

namespace {

constexpr size_t kBufferSize = 16;

// A destination pre-filled with 'x' so that writes and clearing are visible.
struct Destination {
    WCHAR text[kBufferSize];
    Destination()
    {
        for (WCHAR& character : text) {
            character = u'x';
        }
    }
    void Terminate(const WCHAR* initial)
    {
        wcscpy_s(text, kBufferSize, initial);
    }
};

TEST(WideCopy, CopyNeedsRoomForTheTerminator)
{
    struct Case {
        size_t size;
        const WCHAR* source;
        errno_t result;
        std::u16string content;
    };
    const Case cases[] = {
        {10, W("abc"), 0, u"abc"},
        {4, W("abc"), 0, u"abc"},
        {3, W("abc"), ERANGE, u""},
        {1, W(""), 0, u""},
        {10, nullptr, EINVAL, u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "size " << c.size);
        Destination destination;
        errno = 0;
        EXPECT_EQ(wcscpy_s(destination.text, c.size, c.source), c.result);
        EXPECT_EQ(errno, c.result);
        EXPECT_EQ(std::u16string(destination.text, c.content.size() + 1),
                  c.content + char16_t(0));
    }
}

TEST(WideCopy, MissingOrEmptyDestinationIsRefusedUntouched)
{
    Destination destination;
    EXPECT_EQ(wcscpy_s(nullptr, 10, W("a")), EINVAL);
    EXPECT_EQ(wcscpy_s(destination.text, 0, W("a")), EINVAL);
    EXPECT_EQ(wcsncpy_s(destination.text, 0, W("a"), 1), EINVAL);
    EXPECT_EQ(wcscat_s(destination.text, 0, W("a")), EINVAL);
    EXPECT_EQ(destination.text[0], u'x');
    // Nothing to do at all is not an error.
    EXPECT_EQ(wcsncpy_s(nullptr, 0, W("a"), 0), 0);
}

TEST(WideCopy, CountedCopyTruncatesOnlyWhenAsked)
{
    struct Case {
        size_t size;
        const WCHAR* source;
        size_t count;
        errno_t result;
        std::u16string content;
    };
    const Case cases[] = {
        {10, W("abcdef"), 3, 0, u"abc"},
        {4, W("abcdef"), 3, 0, u"abc"},
        {3, W("abcdef"), 3, ERANGE, u""},
        {4, W("ab"), 10, 0, u"ab"},
        {3, W("abc"), 10, ERANGE, u""},
        {4, W("abcdef"), _TRUNCATE, STRUNCATE, u"abc"},
        {4, W("abc"), _TRUNCATE, 0, u"abc"},
        {1, W("abc"), _TRUNCATE, STRUNCATE, u""},
        {4, W("abc"), 0, 0, u""},
        {4, nullptr, 0, 0, u""},
        {4, nullptr, 2, EINVAL, u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "size " << c.size << " count " << c.count);
        Destination destination;
        errno = 0;
        EXPECT_EQ(wcsncpy_s(destination.text, c.size, c.source, c.count), c.result);
        EXPECT_EQ(errno, c.result == STRUNCATE ? 0 : c.result);
        EXPECT_EQ(std::u16string(destination.text, c.content.size() + 1),
                  c.content + char16_t(0));
    }
}

TEST(WideCopy, AppendNeedsRoomForBothAndTheTerminator)
{
    struct Case {
        size_t size;
        const WCHAR* initial;
        const WCHAR* source;
        errno_t result;
        std::u16string content;
    };
    const Case cases[] = {
        {10, W("\\\\?\\dev"), W("\\asio"), ERANGE, u""},
        {13, W("\\\\?\\dev"), W("\\asio"), 0, u"\\\\?\\dev\\asio"},
        {5, W("ab"), W("cd"), 0, u"abcd"},
        {4, W("ab"), W("cd"), ERANGE, u""},
        {4, W("ab"), W(""), 0, u"ab"},
        {4, W("ab"), nullptr, EINVAL, u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "size " << c.size);
        Destination destination;
        destination.Terminate(c.initial);
        errno = 0;
        EXPECT_EQ(wcscat_s(destination.text, c.size, c.source), c.result);
        EXPECT_EQ(errno, c.result);
        EXPECT_EQ(std::u16string(destination.text, c.content.size() + 1),
                  c.content + char16_t(0));
    }
}

TEST(WideCopy, AppendToUnterminatedTextIsRefusedAndClears)
{
    Destination destination;
    EXPECT_EQ(wcscat_s(destination.text, 4, W("a")), EINVAL);
    EXPECT_EQ(destination.text[0], 0);
}

TEST(WideCopy, ArrayOverloadsTakeTheSizeFromTheArray)
{
    WCHAR name[8];
    EXPECT_EQ(wcscpy_s(name, W("Output1")), 0);
    EXPECT_EQ(wcscat_s(name, W("x")), ERANGE);
    EXPECT_EQ(name[0], 0);
    EXPECT_EQ(wcsncpy_s(name, W("Output3(REAMP)"), _TRUNCATE), STRUNCATE);
    EXPECT_EQ(std::u16string(name), u"Output3");
}

TEST(WideCopy, LstrcpynAlwaysTerminatesWithinTheLimit)
{
    struct Case {
        int maximumLength;
        std::u16string content;
    };
    const Case cases[] = {{4, u"abc"}, {7, u"abcdef"}, {10, u"abcdef"}, {1, u""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "maximum " << c.maximumLength);
        Destination destination;
        EXPECT_EQ(lstrcpynW(destination.text, W("abcdef"), c.maximumLength), destination.text);
        EXPECT_EQ(std::u16string(destination.text, c.content.size() + 1),
                  c.content + char16_t(0));
    }
    Destination untouched;
    EXPECT_EQ(lstrcpynW(untouched.text, W("abc"), 0), untouched.text);
    EXPECT_EQ(untouched.text[0], u'x');
    EXPECT_EQ(lstrcpynW(untouched.text, nullptr, 4), nullptr);
}

}  // namespace
