// Bounded copies of the run-time (wcscpy_s, wcsncpy_s, wcscat_s) and kernel32's lstrcpynW.
#include <cstring>

#include "sim/api/wide_text.h"

namespace {

// The run-time's answer after its invalid-parameter handler returns: the destination, when
// there is one, is left empty.
errno_t Fail(WCHAR* destination, errno_t error)
{
    destination[0] = 0;
    errno = error;
    return error;
}

// Copies `length` characters to the end of the `used` characters already in `destination`,
// or fails with ERANGE (STRUNCATE and a truncated copy when `truncate` is set).
errno_t Place(WCHAR* destination, size_t sizeInWords, size_t used, const WCHAR* source,
              size_t length, bool truncate)
{
    size_t available = sizeInWords - used;
    if (length < available) {
        std::memmove(destination + used, source, length * sizeof(WCHAR));
        destination[used + length] = 0;
        return 0;
    }
    if (!truncate) {
        return Fail(destination, ERANGE);
    }
    std::memmove(destination + used, source, (available - 1) * sizeof(WCHAR));
    destination[sizeInWords - 1] = 0;
    return STRUNCATE;
}

}  // namespace

errno_t wcscpy_s(WCHAR* destination, size_t sizeInWords, const WCHAR* source)
{
    if (destination == nullptr || sizeInWords == 0) {
        errno = EINVAL;
        return EINVAL;
    }
    if (source == nullptr) {
        return Fail(destination, EINVAL);
    }
    return Place(destination, sizeInWords, 0, source, wcslen(source), false);
}

errno_t wcsncpy_s(WCHAR* destination, size_t sizeInWords, const WCHAR* source, size_t count)
{
    if (destination == nullptr && sizeInWords == 0 && count == 0) {
        return 0;
    }
    if (destination == nullptr || sizeInWords == 0) {
        errno = EINVAL;
        return EINVAL;
    }
    if (count == 0) {
        destination[0] = 0;
        return 0;
    }
    if (source == nullptr) {
        return Fail(destination, EINVAL);
    }
    bool truncate = count == _TRUNCATE;
    size_t length = wcsnlen(source, truncate ? sizeInWords : count);
    return Place(destination, sizeInWords, 0, source, length, truncate);
}

errno_t wcscat_s(WCHAR* destination, size_t sizeInWords, const WCHAR* source)
{
    if (destination == nullptr || sizeInWords == 0) {
        errno = EINVAL;
        return EINVAL;
    }
    if (source == nullptr) {
        return Fail(destination, EINVAL);
    }
    size_t used = wcsnlen(destination, sizeInWords);
    if (used == sizeInWords) {
        return Fail(destination, EINVAL);
    }
    return Place(destination, sizeInWords, used, source, wcslen(source), false);
}

LPWSTR lstrcpynW(LPWSTR destination, LPCWSTR source, int maximumLength)
{
    // Windows catches the fault of a missing string and reports it as a null result.
    if (maximumLength <= 0) {
        return destination;
    }
    if (destination == nullptr || source == nullptr) {
        return nullptr;
    }
    size_t length = wcsnlen(source, size_t(maximumLength - 1));
    std::memmove(destination, source, length * sizeof(WCHAR));
    destination[length] = 0;
    return destination;
}
