// Case mapping: the run-time's "C" locale (ASCII only), including the in-place _wcslwr_s and
// _wcsupr_s, and the system tables (Latin-1 as well).
#include "sim/text/case_mapping.h"

#include "sim/api/rtl_string.h"
#include "sim/api/wide_text.h"

namespace sim::text {
namespace {

constexpr WCHAR kMultiplication = 0x00D7;
constexpr WCHAR kDivision = 0x00F7;
constexpr WCHAR kSharpS = 0x00DF;
constexpr WCHAR kMicro = 0x00B5;
constexpr WCHAR kYDiaeresis = 0x00FF;
constexpr WCHAR kCapitalYDiaeresis = 0x0178;

bool IsLatin1Capital(WCHAR character)
{
    return (character >= 0x00C0 && character <= 0x00DE && character != kMultiplication);
}

bool IsLatin1Small(WCHAR character)
{
    return character >= 0x00E0 && character <= 0x00FE && character != kDivision;
}

}  // namespace

WCHAR AsciiLower(WCHAR character)
{
    return (character >= u'A' && character <= u'Z') ? WCHAR(character + 0x20) : character;
}

WCHAR AsciiUpper(WCHAR character)
{
    return (character >= u'a' && character <= u'z') ? WCHAR(character - 0x20) : character;
}

WCHAR Latin1Lower(WCHAR character)
{
    if (IsLatin1Capital(character)) {
        return WCHAR(character + 0x20);
    }
    if (character == kCapitalYDiaeresis) {
        return kYDiaeresis;
    }
    return AsciiLower(character);
}

WCHAR Latin1Upper(WCHAR character)
{
    if (IsLatin1Small(character)) {
        return WCHAR(character - 0x20);
    }
    if (character == kYDiaeresis) {
        return kCapitalYDiaeresis;
    }
    return AsciiUpper(character);
}

bool IsLatin1Letter(WCHAR character)
{
    return AsciiLower(character) != AsciiUpper(character) || IsLatin1Capital(character) ||
           IsLatin1Small(character) || character == kSharpS || character == kYDiaeresis ||
           character == kMicro || character == kCapitalYDiaeresis;
}

WCHAR Latin1BaseLetter(WCHAR lowerCaseLetter)
{
    // Indexed from U+00E0: à á â ã ä å æ ç è é ê ë ì í î ï ð ñ ò ó ô õ ö ÷ ø ù ú û ü ý þ ÿ
    static constexpr char kBases[] = "aaaaaa\0ceeeeiiii\0nooooo\0ouuuuy\0y";
    static_assert(sizeof(kBases) == 0x20 + 1, "one entry per character from U+00E0 to U+00FF");
    if (lowerCaseLetter < 0x00E0 || lowerCaseLetter > 0x00FF) {
        return 0;
    }
    return WCHAR(kBases[lowerCaseLetter - 0x00E0]);
}

bool IsWideSpace(WCHAR character)
{
    return character == u' ' || (character >= u'\t' && character <= u'\r');
}

}  // namespace sim::text

WCHAR towlower(WCHAR character) { return sim::text::AsciiLower(character); }

WCHAR towupper(WCHAR character) { return sim::text::AsciiUpper(character); }

WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter)
{
    return sim::text::Latin1Upper(SourceCharacter);
}

namespace {

template <typename Map>
errno_t MapInPlace(WCHAR* text, size_t sizeInWords, Map map)
{
    if (text == nullptr || sizeInWords == 0) {
        errno = EINVAL;
        return EINVAL;
    }
    size_t length = wcsnlen(text, sizeInWords);
    if (length == sizeInWords) {
        text[0] = 0;
        errno = EINVAL;
        return EINVAL;
    }
    for (size_t index = 0; index < length; ++index) {
        text[index] = map(text[index]);
    }
    return 0;
}

}  // namespace

errno_t _wcslwr_s(WCHAR* text, size_t sizeInWords)
{
    return MapInPlace(text, sizeInWords, sim::text::AsciiLower);
}

errno_t _wcsupr_s(WCHAR* text, size_t sizeInWords)
{
    return MapInPlace(text, sizeInWords, sim::text::AsciiUpper);
}
