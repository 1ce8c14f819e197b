// UTF-8 <-> UTF-16 conversion for tests and tools. Malformed input becomes U+FFFD, as the Windows
// converters do without their strict flags; one U+FFFD stands for each maximal ill-formed
// subsequence, the practice the Unicode standard recommends.
#include "sim/api/wide_text.h"

namespace sim {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

// Decodes one character at text[index] and advances index past it (past the longest prefix of a
// valid sequence when the sequence is malformed).
char32_t DecodeUtf8(std::string_view text, size_t& index)
{
    unsigned char lead = static_cast<unsigned char>(text[index++]);
    if (lead < 0x80) {
        return lead;
    }
    size_t trailing;
    char32_t value;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trailing = 1;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trailing = 2;
        value = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF;  // no encoded surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trailing = 3;
        value = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;   // no overlong forms
        high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
    } else {
        return kReplacement;
    }
    for (size_t position = 0; position < trailing; ++position) {
        if (index >= text.size()) {
            return kReplacement;
        }
        unsigned char byte = static_cast<unsigned char>(text[index]);
        bool inRange = position == 0 ? (byte >= low && byte <= high) : IsContinuation(byte);
        if (!inRange) {
            return kReplacement;
        }
        value = (value << 6) | (byte & 0x3F);
        ++index;
    }
    return value;
}

void EncodeUtf8(char32_t value, std::string& out)
{
    if (value < 0x80) {
        out += char(value);
    } else if (value < 0x800) {
        out += char(0xC0 | (value >> 6));
        out += char(0x80 | (value & 0x3F));
    } else if (value < 0x10000) {
        out += char(0xE0 | (value >> 12));
        out += char(0x80 | ((value >> 6) & 0x3F));
        out += char(0x80 | (value & 0x3F));
    } else {
        out += char(0xF0 | (value >> 18));
        out += char(0x80 | ((value >> 12) & 0x3F));
        out += char(0x80 | ((value >> 6) & 0x3F));
        out += char(0x80 | (value & 0x3F));
    }
}

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    size_t index = 0;
    while (index < text.size()) {
        char32_t value = DecodeUtf8(text, index);
        if (value >= 0x10000) {
            value -= 0x10000;
            out += char16_t(0xD800 + (value >> 10));
            out += char16_t(0xDC00 + (value & 0x3FF));
        } else {
            out += char16_t(value);
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t index = 0; index < text.size(); ++index) {
        char16_t unit = text[index];
        char32_t value = unit;
        if (IsHighSurrogate(unit) && index + 1 < text.size() && IsLowSurrogate(text[index + 1])) {
            value = 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (text[index + 1] - 0xDC00);
            ++index;
        } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
            value = kReplacement;
        }
        EncodeUtf8(value, out);
    }
    return out;
}

}  // namespace sim
