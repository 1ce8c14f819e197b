// Counted strings of the kernel run-time: initialising, copying, appending and comparing
// UNICODE_STRINGs. A terminator is written after the text only where there is room for it.
#include <cstring>

#include "sim/api/rtl_string.h"

namespace {

// The largest even byte count a USHORT length can hold, and the most a terminated string can
// describe with its terminator included.
constexpr size_t kMaxUnicodeBytes = 0xFFFE;
constexpr size_t kMaxAnsiBytes = 0xFFFF;

size_t Characters(PCUNICODE_STRING text)
{
    return text->Length / sizeof(WCHAR);
}

// Puts `byteCount` bytes of `source` after the text of `destination`; the caller has checked
// that they fit.
void AppendBytes(PUNICODE_STRING destination, const WCHAR* source, size_t byteCount)
{
    WCHAR* end = destination->Buffer + Characters(destination);
    if (byteCount != 0) {
        std::memmove(end, source, byteCount);
    }
    destination->Length = USHORT(destination->Length + byteCount);
    if (destination->Length < destination->MaximumLength) {
        end[byteCount / sizeof(WCHAR)] = 0;
    }
}

NTSTATUS Append(PUNICODE_STRING destination, const WCHAR* source, size_t byteCount)
{
    if (byteCount == 0) {
        return STATUS_SUCCESS;
    }
    if (byteCount + destination->Length > destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    AppendBytes(destination, source, byteCount);
    return STATUS_SUCCESS;
}

WCHAR Fold(WCHAR character, BOOLEAN caseInSensitive)
{
    return caseInSensitive ? RtlUpcaseUnicodeChar(character) : character;
}

}  // namespace

void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    // Longer text is described only as far as a USHORT length reaches.
    size_t length = wcslen(SourceString) * sizeof(WCHAR);
    if (length >= kMaxUnicodeBytes) {
        length = kMaxUnicodeBytes - sizeof(WCHAR);
    }
    DestinationString->Length = USHORT(length);
    DestinationString->MaximumLength = USHORT(length + sizeof(WCHAR));
}

void NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString)
{
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t length = std::strlen(SourceString);
    if (length >= kMaxAnsiBytes) {
        length = kMaxAnsiBytes - 1;
    }
    DestinationString->Length = USHORT(length);
    DestinationString->MaximumLength = USHORT(length + 1);
}

void NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    DestinationString->Length = 0;
    if (SourceString == nullptr) {
        return;
    }
    size_t byteCount = SourceString->Length;
    if (byteCount > DestinationString->MaximumLength) {
        byteCount = DestinationString->MaximumLength;
    }
    AppendBytes(DestinationString, SourceString->Buffer, byteCount);
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (Source == nullptr) {
        return STATUS_SUCCESS;
    }
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, Source);
    return Append(Destination, source.Buffer, source.Length);
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                              PCUNICODE_STRING Source)
{
    return Append(Destination, Source->Buffer, Source->Length);
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive)
{
    size_t length1 = Characters(String1);
    size_t length2 = Characters(String2);
    size_t common = length1 < length2 ? length1 : length2;
    for (size_t index = 0; index < common; ++index) {
        WCHAR character1 = Fold(String1->Buffer[index], CaseInSensitive);
        WCHAR character2 = Fold(String2->Buffer[index], CaseInSensitive);
        if (character1 != character2) {
            return LONG(character1) - LONG(character2);
        }
    }
    return LONG(length1) - LONG(length2);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive)
{
    return String1->Length == String2->Length &&
           RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                     BOOLEAN CaseInSensitive)
{
    if (String1->Length > String2->Length) {
        return FALSE;
    }
    UNICODE_STRING head = *String2;
    head.Length = String1->Length;
    return RtlCompareUnicodeString(String1, &head, CaseInSensitive) == 0;
}
