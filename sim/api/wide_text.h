// Wide-text functions of the Windows C run-time and of kernel32, for WCHAR (char16_t) text on
// the host build. They are overloads beside the C library's wchar_t functions of the same names,
// so product code calls them exactly as it does on Windows, and they behave as Windows does:
//
// - The _s functions return 0, EINVAL, ERANGE or STRUNCATE (and set errno like the run-time does
//   after its invalid-parameter handler returns). Where Windows clears the destination on failure
//   they set its first character to 0. No handler runs and nothing aborts: the error is returned.
// - Case mapping of the C run-time (towlower, towupper, _wcsicmp, _wcsnicmp, _wcslwr_s,
//   _wcsupr_s) is that of the "C" locale a program starts in: ASCII letters only. _wcsicmp and
//   _wcsnicmp compare after converting to lower case, so "_" sorts before letters.
// - lstrcmpW and lstrcmpiW compare like CompareStringW with the user locale (word sort): symbols
//   before digits before letters, accents and then case (lower before upper) only break ties,
//   hyphen and apostrophe count last. Letters with accents are known for Latin-1; other
//   characters beyond Latin-1 order by code point.
// - The printf family follows the Windows wide-printf rules: %s and %c take wide text, %S, %hs,
//   %C and %hc narrow text, %ls, %ws, %lc and %wc wide text; %wZ takes a UNICODE_STRING* and %hZ
//   an ANSI_STRING*. Integer sizes are those of LLP64: %ld and %lx read 32 bits, %lld, %I64d read
//   64 bits, %Id, %Iu, %zu read pointer-sized values. %p prints 16 upper-case hex digits. %e, %f
//   and %g take a double. Narrow text is widened byte for byte, as the "C" locale does. %n is
//   refused, as Windows does; so are unknown conversions and size prefixes that do not fit one.
#pragma once

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

#include "sim/api/base_types.h"

typedef int errno_t;

#define _TRUNCATE ((size_t)-1)
#define STRUNCATE 80
#define _NLSCMPERROR INT_MAX

size_t wcslen(const WCHAR* text);
size_t wcsnlen(const WCHAR* text, size_t maximumCount);
int lstrlenW(LPCWSTR text);

int wcscmp(const WCHAR* left, const WCHAR* right);
int wcsncmp(const WCHAR* left, const WCHAR* right, size_t count);
int _wcsicmp(const WCHAR* left, const WCHAR* right);
int _wcsnicmp(const WCHAR* left, const WCHAR* right, size_t count);
int lstrcmpW(LPCWSTR left, LPCWSTR right);
int lstrcmpiW(LPCWSTR left, LPCWSTR right);

const WCHAR* wcschr(const WCHAR* text, WCHAR character);
WCHAR* wcschr(WCHAR* text, WCHAR character);
const WCHAR* wcsrchr(const WCHAR* text, WCHAR character);
WCHAR* wcsrchr(WCHAR* text, WCHAR character);
const WCHAR* wcsstr(const WCHAR* text, const WCHAR* pattern);
WCHAR* wcsstr(WCHAR* text, const WCHAR* pattern);

WCHAR towlower(WCHAR character);
WCHAR towupper(WCHAR character);
errno_t _wcslwr_s(WCHAR* text, size_t sizeInWords);
errno_t _wcsupr_s(WCHAR* text, size_t sizeInWords);

errno_t wcscpy_s(WCHAR* destination, size_t sizeInWords, const WCHAR* source);
errno_t wcsncpy_s(WCHAR* destination, size_t sizeInWords, const WCHAR* source, size_t count);
errno_t wcscat_s(WCHAR* destination, size_t sizeInWords, const WCHAR* source);
LPWSTR lstrcpynW(LPWSTR destination, LPCWSTR source, int maximumLength);

int vswprintf_s(WCHAR* buffer, size_t sizeOfBuffer, const WCHAR* format, va_list arguments);
int swprintf_s(WCHAR* buffer, size_t sizeOfBuffer, const WCHAR* format, ...);
int _vsnwprintf_s(WCHAR* buffer, size_t sizeOfBuffer, size_t count, const WCHAR* format,
                  va_list arguments);
int _snwprintf_s(WCHAR* buffer, size_t sizeOfBuffer, size_t count, const WCHAR* format, ...);

// Decimal digits only, like atoi: saturates at INT_MIN/INT_MAX (errno ERANGE).
int _wtoi(const WCHAR* text);
// Windows' unsigned long is 32-bit: out-of-range values give ULONG_MAX of 32 bits (errno ERANGE).
ULONG wcstoul(const WCHAR* text, WCHAR** end, int base);

// The run-time's C++ overloads that take the destination's size from an array.
template <size_t Size>
errno_t wcscpy_s(WCHAR (&destination)[Size], const WCHAR* source)
{
    return wcscpy_s(destination, Size, source);
}

template <size_t Size>
errno_t wcsncpy_s(WCHAR (&destination)[Size], const WCHAR* source, size_t count)
{
    return wcsncpy_s(destination, Size, source, count);
}

template <size_t Size>
errno_t wcscat_s(WCHAR (&destination)[Size], const WCHAR* source)
{
    return wcscat_s(destination, Size, source);
}

template <size_t Size>
errno_t _wcslwr_s(WCHAR (&text)[Size])
{
    return _wcslwr_s(text, Size);
}

template <size_t Size>
errno_t _wcsupr_s(WCHAR (&text)[Size])
{
    return _wcsupr_s(text, Size);
}

template <size_t Size>
int vswprintf_s(WCHAR (&buffer)[Size], const WCHAR* format, va_list arguments)
{
    return vswprintf_s(buffer, Size, format, arguments);
}

template <size_t Size>
int swprintf_s(WCHAR (&buffer)[Size], const WCHAR* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int result = vswprintf_s(buffer, Size, format, arguments);
    va_end(arguments);
    return result;
}

template <size_t Size>
int _snwprintf_s(WCHAR (&buffer)[Size], size_t count, const WCHAR* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int result = _vsnwprintf_s(buffer, Size, count, format, arguments);
    va_end(arguments);
    return result;
}

// Code-page conversion (stringapiset.h). CP_ACP is the machine's ANSI code page, 1252 (Western
// European, as an English or Western European Windows has it); CP_UTF8 is UTF-8. Flags are
// not modelled (0 only).
#define CP_ACP 0
#define CP_UTF8 65001
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, const WCHAR* lpWideCharStr, int cchWideChar,
                        char* lpMultiByteStr, int cbMultiByte, const char* lpDefaultChar, BOOL* lpUsedDefaultChar);
int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, const char* lpMultiByteStr, int cbMultiByte,
                        WCHAR* lpWideCharStr, int cchWideChar);

namespace sim {

// UTF-8 <-> UTF-16 for tests and tools. Characters beyond the BMP become surrogate pairs.
// Malformed input (bad UTF-8 sequences, unpaired surrogates) becomes U+FFFD, as
// MultiByteToWideChar and WideCharToMultiByte do without their strict flags.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace sim
