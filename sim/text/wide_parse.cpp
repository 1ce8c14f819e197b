// Number parsing of the run-time: _wtoi and wcstoul with the 32-bit ranges of Windows.
#include <cstdint>

#include "sim/api/wide_text.h"
#include "sim/text/case_mapping.h"

namespace {

int DigitValue(WCHAR character)
{
    if (character >= u'0' && character <= u'9') {
        return character - u'0';
    }
    WCHAR lower = sim::text::AsciiLower(character);
    if (lower >= u'a' && lower <= u'z') {
        return lower - u'a' + 10;
    }
    return 99;
}

const WCHAR* SkipSpaceAndSign(const WCHAR* text, bool* negative)
{
    while (sim::text::IsWideSpace(*text)) {
        ++text;
    }
    *negative = *text == u'-';
    if (*text == u'-' || *text == u'+') {
        ++text;
    }
    return text;
}

}  // namespace

int _wtoi(const WCHAR* text)
{
    if (text == nullptr) {
        errno = EINVAL;
        return 0;
    }
    bool negative = false;
    text = SkipSpaceAndSign(text, &negative);
    // Accumulate the magnitude one past INT_MAX so that INT_MIN itself is in range.
    const uint64_t limit = negative ? uint64_t(INT_MAX) + 1 : uint64_t(INT_MAX);
    uint64_t magnitude = 0;
    bool overflow = false;
    for (; *text >= u'0' && *text <= u'9'; ++text) {
        magnitude = magnitude * 10 + uint64_t(*text - u'0');
        if (magnitude > limit) {
            overflow = true;
            magnitude = limit;
        }
    }
    if (overflow) {
        errno = ERANGE;
        return negative ? INT_MIN : INT_MAX;
    }
    return negative ? int(-int64_t(magnitude)) : int(magnitude);
}

ULONG wcstoul(const WCHAR* text, WCHAR** end, int base)
{
    if (end != nullptr) {
        *end = const_cast<WCHAR*>(text);
    }
    if (text == nullptr || base < 0 || base == 1 || base > 36) {
        errno = EINVAL;
        return 0;
    }
    bool negative = false;
    const WCHAR* cursor = SkipSpaceAndSign(text, &negative);
    bool hexPrefix = cursor[0] == u'0' && (cursor[1] == u'x' || cursor[1] == u'X') &&
                     DigitValue(cursor[2]) < 16;
    if (base == 0) {
        base = hexPrefix ? 16 : (cursor[0] == u'0' ? 8 : 10);
    }
    if (base == 16 && hexPrefix) {
        cursor += 2;
    }
    const WCHAR* digits = cursor;
    uint64_t value = 0;
    bool overflow = false;
    for (; DigitValue(*cursor) < base; ++cursor) {
        value = value * uint64_t(base) + uint64_t(DigitValue(*cursor));
        if (value > MAXULONG) {
            overflow = true;
            value = MAXULONG;
        }
    }
    if (cursor == digits) {
        return 0;
    }
    if (end != nullptr) {
        *end = const_cast<WCHAR*>(cursor);
    }
    if (overflow) {
        errno = ERANGE;
        return MAXULONG;
    }
    return negative ? ULONG(0U - ULONG(value)) : ULONG(value);
}
