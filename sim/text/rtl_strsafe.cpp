// ntstrsafe's bounded string functions for terminated wide text and for UNICODE_STRINGs.
// Sizes above the ntstrsafe limits, a zero-size destination or an unterminated one are
// STATUS_INVALID_PARAMETER; text that does not fit is truncated, still terminated, and reported
// as STATUS_BUFFER_OVERFLOW.
#include <cstring>

#include "sim/api/rtl_string.h"
#include "sim/text/format_engine.h"

namespace {

bool IsValidDestination(PCWSTR destination, size_t cchDest)
{
    return destination != nullptr && cchDest != 0 && cchDest <= NTSTRSAFE_MAX_CCH;
}

// Copies as much of `source` as fits in `cchDest` characters with the terminator.
NTSTATUS CopyTruncating(PWSTR destination, size_t cchDest, PCWSTR source)
{
    size_t length = wcsnlen(source, cchDest);
    NTSTATUS status = STATUS_SUCCESS;
    if (length == cchDest) {
        length = cchDest - 1;
        status = STATUS_BUFFER_OVERFLOW;
    }
    std::memmove(destination, source, length * sizeof(WCHAR));
    destination[length] = 0;
    return status;
}

}  // namespace

NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength)
{
    size_t length = 0;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (psz != nullptr && cchMax <= NTSTRSAFE_MAX_CCH) {
        length = wcsnlen(psz, cchMax);
        status = length < cchMax ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }
    if (pcchLength != nullptr) {
        *pcchLength = NT_SUCCESS(status) ? length : 0;
    }
    return status;
}

NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength)
{
    size_t length = 0;
    NTSTATUS status = RtlStringCchLengthW(psz, cbMax / sizeof(WCHAR), &length);
    if (pcbLength != nullptr) {
        *pcbLength = length * sizeof(WCHAR);
    }
    return status;
}

NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc)
{
    if (!IsValidDestination(pszDest, cchDest)) {
        if (pszDest != nullptr && cchDest != 0) {
            pszDest[0] = 0;
        }
        return STATUS_INVALID_PARAMETER;
    }
    return CopyTruncating(pszDest, cchDest, pszSrc);
}

NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc)
{
    return RtlStringCchCopyW(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

NTSTATUS RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc)
{
    if (!IsValidDestination(pszDest, cchDest)) {
        return STATUS_INVALID_PARAMETER;
    }
    size_t used = wcsnlen(pszDest, cchDest);
    if (used == cchDest) {
        return STATUS_INVALID_PARAMETER;
    }
    return CopyTruncating(pszDest + used, cchDest - used, pszSrc);
}

NTSTATUS RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc)
{
    return RtlStringCchCatW(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

NTSTATUS RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, va_list argList)
{
    if (!IsValidDestination(pszDest, cchDest) || pszFormat == nullptr) {
        if (pszDest != nullptr && cchDest != 0) {
            pszDest[0] = 0;
        }
        return STATUS_INVALID_PARAMETER;
    }
    size_t limit = cchDest - 1;
    sim::text::WideOutput output(pszDest, limit);
    if (!sim::text::FormatWide(output, pszFormat, argList)) {
        pszDest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    if (output.Length() > limit) {
        pszDest[limit] = 0;
        return STATUS_BUFFER_OVERFLOW;
    }
    pszDest[output.Length()] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...)
{
    va_list argList;
    va_start(argList, pszFormat);
    NTSTATUS status = RtlStringCchVPrintfW(pszDest, cchDest, pszFormat, argList);
    va_end(argList);
    return status;
}

NTSTATUS RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list argList)
{
    return RtlStringCchVPrintfW(pszDest, cbDest / sizeof(WCHAR), pszFormat, argList);
}

NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...)
{
    va_list argList;
    va_start(argList, pszFormat);
    NTSTATUS status = RtlStringCbVPrintfW(pszDest, cbDest, pszFormat, argList);
    va_end(argList);
    return status;
}

NTSTATUS RtlUnicodeStringVPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat,
                                 va_list argList)
{
    if (DestinationString == nullptr || pszFormat == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    USHORT length = DestinationString->Length;
    USHORT maximum = DestinationString->MaximumLength;
    bool malformed = (length % sizeof(WCHAR)) != 0 || (maximum % sizeof(WCHAR)) != 0 ||
                     length > maximum ||
                     maximum > NTSTRSAFE_UNICODE_STRING_MAX_CCH * sizeof(WCHAR) ||
                     (DestinationString->Buffer == nullptr && maximum != 0);
    if (malformed) {
        return STATUS_INVALID_PARAMETER;
    }
    size_t capacity = maximum / sizeof(WCHAR);
    sim::text::WideOutput output(DestinationString->Buffer, capacity);
    if (!sim::text::FormatWide(output, pszFormat, argList)) {
        DestinationString->Length = 0;
        return STATUS_INVALID_PARAMETER;
    }
    if (output.Length() > capacity) {
        DestinationString->Length = USHORT(capacity * sizeof(WCHAR));
        return STATUS_BUFFER_OVERFLOW;
    }
    // The text may fill the whole buffer; a terminator follows only when there is room.
    if (output.Length() < capacity) {
        DestinationString->Buffer[output.Length()] = 0;
    }
    DestinationString->Length = USHORT(output.Length() * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, ...)
{
    va_list argList;
    va_start(argList, pszFormat);
    NTSTATUS status = RtlUnicodeStringVPrintf(DestinationString, pszFormat, argList);
    va_end(argList);
    return status;
}
