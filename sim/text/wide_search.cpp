// Length and search functions over terminated wide text.
#include "sim/api/wide_text.h"

size_t wcslen(const WCHAR* text)
{
    const WCHAR* end = text;
    while (*end != 0) {
        ++end;
    }
    return size_t(end - text);
}

size_t wcsnlen(const WCHAR* text, size_t maximumCount)
{
    size_t length = 0;
    while (length < maximumCount && text[length] != 0) {
        ++length;
    }
    return length;
}

int lstrlenW(LPCWSTR text)
{
    return text == nullptr ? 0 : int(wcslen(text));
}

const WCHAR* wcschr(const WCHAR* text, WCHAR character)
{
    // The terminator itself can be searched for, as in the C library.
    for (;; ++text) {
        if (*text == character) {
            return text;
        }
        if (*text == 0) {
            return nullptr;
        }
    }
}

WCHAR* wcschr(WCHAR* text, WCHAR character)
{
    return const_cast<WCHAR*>(wcschr(static_cast<const WCHAR*>(text), character));
}

const WCHAR* wcsrchr(const WCHAR* text, WCHAR character)
{
    const WCHAR* found = nullptr;
    for (;; ++text) {
        if (*text == character) {
            found = text;
        }
        if (*text == 0) {
            return found;
        }
    }
}

WCHAR* wcsrchr(WCHAR* text, WCHAR character)
{
    return const_cast<WCHAR*>(wcsrchr(static_cast<const WCHAR*>(text), character));
}

const WCHAR* wcsstr(const WCHAR* text, const WCHAR* pattern)
{
    if (*pattern == 0) {
        return text;
    }
    for (; *text != 0; ++text) {
        size_t matched = 0;
        while (pattern[matched] != 0 && text[matched] == pattern[matched]) {
            ++matched;
        }
        if (pattern[matched] == 0) {
            return text;
        }
    }
    return nullptr;
}

WCHAR* wcsstr(WCHAR* text, const WCHAR* pattern)
{
    return const_cast<WCHAR*>(wcsstr(static_cast<const WCHAR*>(text), pattern));
}
