// lstrcmpW and lstrcmpiW: linguistic comparison like CompareStringW's word sort. Strings are
// compared level by level over the whole text: first the characters themselves (symbols, then
// digits, then letters by their base letter), then accents, then case (lower before upper), and
// last the hyphens and apostrophes that word sort keeps out of the first levels so that "coop"
// and "co-op" sort together.
#include <cstdint>

#include "sim/api/wide_text.h"
#include "sim/text/case_mapping.h"

namespace {

using sim::text::Latin1Lower;

struct CollationElement {
    uint32_t primary;
    uint16_t accent;
    uint8_t upperCase;
};

bool IsWordSortSpecial(WCHAR character)
{
    return character == u'-' || character == u'\'';
}

CollationElement Collate(WCHAR character)
{
    constexpr uint32_t kSymbols = 0x10000;
    constexpr uint32_t kDigits = 0x20000;
    constexpr uint32_t kLetters = 0x30000;
    constexpr uint32_t kOtherLetters = 0x40000;
    constexpr uint32_t kBeyondLatin1 = 0x50000;

    WCHAR lower = Latin1Lower(character);
    uint8_t upperCase = lower != character ? 1 : 0;
    if (character >= u'0' && character <= u'9') {
        return {kDigits + character, 0, 0};
    }
    if (sim::text::IsLatin1Letter(character)) {
        WCHAR base = (lower >= u'a' && lower <= u'z') ? lower : sim::text::Latin1BaseLetter(lower);
        if (base == 0) {
            return {kOtherLetters + lower, 0, upperCase};
        }
        return {kLetters + base, uint16_t(base == lower ? 0 : lower), upperCase};
    }
    if (character < 0x100) {
        return {kSymbols + character, 0, 0};
    }
    return {kBeyondLatin1 + character, 0, 0};
}

// Compares one level: the weights of the characters that are not word-sort specials, in order.
template <typename Weight>
int CompareLevel(const WCHAR* left, const WCHAR* right, Weight weight)
{
    for (;;) {
        while (IsWordSortSpecial(*left)) {
            ++left;
        }
        while (IsWordSortSpecial(*right)) {
            ++right;
        }
        if (*left == 0 || *right == 0) {
            return (*left != 0) - (*right != 0);
        }
        uint32_t leftWeight = weight(Collate(*left++));
        uint32_t rightWeight = weight(Collate(*right++));
        if (leftWeight != rightWeight) {
            return leftWeight < rightWeight ? -1 : 1;
        }
    }
}

int CompareOrdinal(const WCHAR* left, const WCHAR* right, bool ignoreCase)
{
    for (;; ++left, ++right) {
        WCHAR leftCharacter = ignoreCase ? Latin1Lower(*left) : *left;
        WCHAR rightCharacter = ignoreCase ? Latin1Lower(*right) : *right;
        if (leftCharacter != rightCharacter) {
            return leftCharacter < rightCharacter ? -1 : 1;
        }
        if (leftCharacter == 0) {
            return 0;
        }
    }
}

int CompareWords(LPCWSTR left, LPCWSTR right, bool ignoreCase)
{
    // Windows treats a missing string as smaller than any string.
    if (left == nullptr || right == nullptr) {
        return (left != nullptr) - (right != nullptr);
    }
    int result = CompareLevel(left, right, [](CollationElement e) { return e.primary; });
    if (result == 0) {
        result = CompareLevel(left, right, [](CollationElement e) { return uint32_t(e.accent); });
    }
    if (result == 0 && !ignoreCase) {
        result = CompareLevel(left, right, [](CollationElement e) { return uint32_t(e.upperCase); });
    }
    if (result == 0) {
        result = CompareOrdinal(left, right, ignoreCase);
    }
    return result;
}

}  // namespace

int lstrcmpW(LPCWSTR left, LPCWSTR right)
{
    return CompareWords(left, right, false);
}

int lstrcmpiW(LPCWSTR left, LPCWSTR right)
{
    return CompareWords(left, right, true);
}
