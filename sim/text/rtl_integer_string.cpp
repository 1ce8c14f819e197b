// Numbers in counted strings: RtlIntegerToUnicodeString and RtlUnicodeStringToInteger.
#include "sim/api/rtl_string.h"

namespace {

bool IsSupportedBase(ULONG base)
{
    return base == 2 || base == 8 || base == 10 || base == 16;
}

ULONG DigitValue(WCHAR character)
{
    if (character >= u'0' && character <= u'9') {
        return character - u'0';
    }
    if (character >= u'A' && character <= u'F') {
        return character - u'A' + 10;
    }
    if (character >= u'a' && character <= u'f') {
        return character - u'a' + 10;
    }
    return 16;
}

}  // namespace

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    if (Base == 0) {
        Base = 10;
    }
    if (!IsSupportedBase(Base)) {
        return STATUS_INVALID_PARAMETER;
    }
    WCHAR digits[32];
    size_t count = 0;
    do {
        digits[count++] = WCHAR(u"0123456789ABCDEF"[Value % Base]);
        Value /= Base;
    } while (Value != 0);

    // Windows sets the length before it finds that the digits and their terminator do not fit,
    // and leaves the buffer as it was.
    String->Length = USHORT(count * sizeof(WCHAR));
    if (String->Length + sizeof(WCHAR) > String->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t index = 0; index < count; ++index) {
        String->Buffer[index] = digits[count - 1 - index];
    }
    String->Buffer[count] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value)
{
    const WCHAR* text = String->Buffer;
    size_t length = String->Length / sizeof(WCHAR);
    size_t index = 0;
    // Everything up to the space character counts as white space here.
    while (index < length && text[index] <= u' ') {
        ++index;
    }
    bool negative = index < length && text[index] == u'-';
    if (index < length && (text[index] == u'-' || text[index] == u'+')) {
        ++index;
    }
    if (Base == 0) {
        Base = 10;
        if (index + 1 < length && text[index] == u'0') {
            WCHAR marker = text[index + 1];
            Base = marker == u'x' ? 16 : marker == u'o' ? 8 : marker == u'b' ? 2 : 10;
            if (Base != 10) {
                index += 2;
            }
        }
    } else if (!IsSupportedBase(Base)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG result = 0;
    for (; index < length && DigitValue(text[index]) < Base; ++index) {
        result = result * Base + DigitValue(text[index]);
    }
    *Value = negative ? 0U - result : result;
    return STATUS_SUCCESS;
}
