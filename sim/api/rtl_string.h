// Counted-string and safe-string routines of the kernel run-time library (ntoskrnl's Rtl*String
// functions and the inline ntstrsafe.h ones) for the host build. Sizes of wide text are in bytes,
// characters × 2; a UNICODE_STRING need not be terminated and is terminated only where Windows
// writes a terminator.
//
// Case-insensitive comparisons upper-case with RtlUpcaseUnicodeChar, which knows the letters of
// ASCII and Latin-1 (ÿ becomes U+0178, ß has no capital); other characters stay as they are.
#pragma once

#include <cstdarg>

#include "sim/api/base_types.h"
#include "sim/api/ntstatus.h"
#include "sim/api/wide_text.h"

#define NTSTRSAFE_MAX_CCH 2147483647
#define NTSTRSAFE_UNICODE_STRING_MAX_CCH (0xffff / sizeof(WCHAR))

WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter);

void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
// An empty counted string over a caller's buffer (inline in wdm.h as well).
inline void RtlInitEmptyUnicodeString(PUNICODE_STRING UnicodeString, PWCHAR Buffer, USHORT BufferSize)
{
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = BufferSize;
    UnicodeString->Buffer = Buffer;
}
void NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);
void NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                              PCUNICODE_STRING Source);
LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive);
BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive);
BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                     BOOLEAN CaseInSensitive);

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value);

// ntstrsafe: the destination is always terminated; STATUS_BUFFER_OVERFLOW means the text was
// truncated to fit. The printf forms use the format rules of wide_text.h.
NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength);
NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength);
NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);
NTSTATUS RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
NTSTATUS RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);
NTSTATUS RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, va_list argList);
NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...);
NTSTATUS RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list argList);
NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...);

// ntstrsafe on a UNICODE_STRING: the whole MaximumLength may hold text, without a terminator.
NTSTATUS RtlUnicodeStringVPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat,
                                 va_list argList);
NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, ...);
