// Ordinal comparisons of the run-time: wcscmp and wcsncmp, and the case-insensitive _wcsicmp and
// _wcsnicmp, which lower-case ASCII letters as the "C" locale does.
#include "sim/api/wide_text.h"
#include "sim/text/case_mapping.h"

namespace {

int Sign(int difference)
{
    return (difference > 0) - (difference < 0);
}

template <typename Fold>
int CompareFolded(const WCHAR* left, const WCHAR* right, size_t count, Fold fold)
{
    for (size_t index = 0; index < count; ++index) {
        int difference = int(fold(left[index])) - int(fold(right[index]));
        if (difference != 0 || left[index] == 0) {
            return difference;
        }
    }
    return 0;
}

WCHAR Unchanged(WCHAR character) { return character; }

}  // namespace

int wcscmp(const WCHAR* left, const WCHAR* right)
{
    return Sign(CompareFolded(left, right, _TRUNCATE, Unchanged));
}

int wcsncmp(const WCHAR* left, const WCHAR* right, size_t count)
{
    return Sign(CompareFolded(left, right, count, Unchanged));
}

int _wcsicmp(const WCHAR* left, const WCHAR* right)
{
    return _wcsnicmp(left, right, _TRUNCATE);
}

int _wcsnicmp(const WCHAR* left, const WCHAR* right, size_t count)
{
    if (left == nullptr || right == nullptr) {
        errno = EINVAL;
        return _NLSCMPERROR;
    }
    return CompareFolded(left, right, count, sim::text::AsciiLower);
}
