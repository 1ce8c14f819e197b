// Wide printf formatting with the rules of the Windows run-time (see wide_text.h): which text
// width %s and %S take in a wide function, LLP64 integer sizes, the I/I32/I64 prefixes and the
// fixed-width %p of x64.
#include "sim/text/format_engine.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>


namespace sim::text {
namespace {

enum class SizePrefix { None, hh, h, l, ll, I, I32, I64, w, L };

struct Conversion {
    bool leftAlign = false;
    bool plusSign = false;
    bool spaceSign = false;
    bool alternate = false;
    bool zeroPad = false;
    size_t width = 0;
    int precision = -1;
    SizePrefix size = SizePrefix::None;
    WCHAR type = 0;
};

// va_list is an array type on x64; wrapping it lets helpers take it by reference.
struct Arguments {
    va_list list;
};

const WCHAR kNullText[] = u"(null)";

// Bits of an integer argument under LLP64, or 0 when the prefix does not apply to integers.
int IntegerBits(SizePrefix size)
{
    switch (size) {
    case SizePrefix::None:
    case SizePrefix::l:
    case SizePrefix::I32:
        return 32;
    case SizePrefix::h:
        return 16;
    case SizePrefix::hh:
        return 8;
    case SizePrefix::ll:
    case SizePrefix::I64:
        return 64;
    case SizePrefix::I:
        return int(sizeof(void*) * 8);
    default:
        return 0;
    }
}

// Whether %s, %c or %Z takes wide text: the function's own width unless a prefix says otherwise.
// %S and %C take the other width. Returns false in `valid` for a prefix text cannot have.
bool TakesWideText(const Conversion& conversion, bool* valid)
{
    *valid = true;
    switch (conversion.size) {
    case SizePrefix::None:
        return conversion.type != u'S' && conversion.type != u'C';
    case SizePrefix::h:
        return false;
    case SizePrefix::l:
    case SizePrefix::w:
        return true;
    default:
        *valid = false;
        return false;
    }
}

void Pad(WideOutput& output, const Conversion& conversion, size_t bodyLength, bool before)
{
    if (conversion.width <= bodyLength || before == conversion.leftAlign) {
        return;
    }
    bool zeros = before && conversion.zeroPad;
    output.Repeat(zeros ? u'0' : u' ', conversion.width - bodyLength);
}

template <typename Character>
void PutText(WideOutput& output, const Conversion& conversion, const Character* text,
             size_t length)
{
    Pad(output, conversion, length, true);
    for (size_t index = 0; index < length; ++index) {
        // Narrow text is widened byte for byte, as the "C" locale does.
        output.Put(WCHAR(std::make_unsigned_t<Character>(text[index])));
    }
    Pad(output, conversion, length, false);
}

size_t Limit(size_t length, int precision)
{
    return (precision >= 0 && size_t(precision) < length) ? size_t(precision) : length;
}

// Terminated text: with a precision, nothing past that many characters is read.
template <typename Character>
size_t TerminatedLength(const Character* text, int precision)
{
    size_t limit = Limit(SIZE_MAX, precision);
    size_t length = 0;
    while (length < limit && text[length] != 0) {
        ++length;
    }
    return length;
}

void PutInteger(WideOutput& output, const Conversion& conversion, uint64_t magnitude,
                bool negative, unsigned base)
{
    const char* symbols = conversion.type == u'x' ? "0123456789abcdef" : "0123456789ABCDEF";
    WCHAR digits[24];
    size_t digitCount = 0;
    bool zero = magnitude == 0;
    if (!(zero && conversion.precision == 0)) {
        do {
            digits[digitCount++] = WCHAR(symbols[magnitude % base]);
            magnitude /= base;
        } while (magnitude != 0);
    }

    WCHAR prefix[2];
    size_t prefixLength = 0;
    bool isSigned = conversion.type == u'd' || conversion.type == u'i';
    if (isSigned && negative) {
        prefix[prefixLength++] = u'-';
    } else if (isSigned && conversion.plusSign) {
        prefix[prefixLength++] = u'+';
    } else if (isSigned && conversion.spaceSign) {
        prefix[prefixLength++] = u' ';
    }
    if (conversion.alternate && base == 16 && !zero) {
        prefix[prefixLength++] = u'0';
        prefix[prefixLength++] = conversion.type == u'x' ? u'x' : u'X';
    }

    size_t zeros = conversion.precision > int(digitCount) ? conversion.precision - digitCount : 0;
    if (conversion.alternate && base == 8 && zeros == 0 &&
        (digitCount == 0 || digits[digitCount - 1] != u'0')) {
        zeros = 1;
    }
    size_t body = prefixLength + zeros + digitCount;
    if (conversion.zeroPad && !conversion.leftAlign && conversion.precision < 0 &&
        conversion.width > body) {
        zeros += conversion.width - body;
        body = conversion.width;
    }

    Conversion spaces = conversion;
    spaces.zeroPad = false;
    Pad(output, spaces, body, true);
    for (size_t index = 0; index < prefixLength; ++index) {
        output.Put(prefix[index]);
    }
    output.Repeat(u'0', zeros);
    while (digitCount != 0) {
        output.Put(digits[--digitCount]);
    }
    Pad(output, spaces, body, false);
}

bool ConvertInteger(WideOutput& output, const Conversion& conversion, Arguments& arguments)
{
    int bits = IntegerBits(conversion.size);
    if (bits == 0) {
        return false;
    }
    uint64_t raw = bits == 64 ? uint64_t(va_arg(arguments.list, unsigned long long))
                              : uint64_t(va_arg(arguments.list, unsigned int));
    uint64_t mask = bits == 64 ? ~uint64_t(0) : (uint64_t(1) << bits) - 1;
    raw &= mask;
    switch (conversion.type) {
    case u'd':
    case u'i': {
        bool negative = (raw >> (bits - 1)) & 1;
        uint64_t magnitude = negative ? ((~raw + 1) & mask) : raw;
        PutInteger(output, conversion, magnitude, negative, 10);
        return true;
    }
    case u'u':
        PutInteger(output, conversion, raw, false, 10);
        return true;
    case u'o':
        PutInteger(output, conversion, raw, false, 8);
        return true;
    default:
        PutInteger(output, conversion, raw, false, 16);
        return true;
    }
}

// Text arguments of either width: terminated strings (%s) or counted ones (%Z). A missing
// string prints as "(null)", as the run-time does.
template <typename Character>
void PutString(WideOutput& output, const Conversion& conversion, const Character* text)
{
    if (text == nullptr) {
        PutString(output, conversion, kNullText);
        return;
    }
    PutText(output, conversion, text, TerminatedLength(text, conversion.precision));
}

template <typename CountedString>
void PutCountedString(WideOutput& output, const Conversion& conversion, const CountedString* text)
{
    if (text == nullptr || text->Buffer == nullptr) {
        PutString(output, conversion, kNullText);
        return;
    }
    size_t length = text->Length / sizeof(text->Buffer[0]);
    PutText(output, conversion, text->Buffer, Limit(length, conversion.precision));
}

bool ConvertText(WideOutput& output, const Conversion& conversion, Arguments& arguments)
{
    bool valid = true;
    bool wide = TakesWideText(conversion, &valid);
    if (!valid) {
        return false;
    }
    switch (conversion.type) {
    case u'c':
    case u'C': {
        // Characters arrive promoted to int.
        int value = va_arg(arguments.list, int);
        WCHAR character = wide ? WCHAR(value) : WCHAR(static_cast<unsigned char>(value));
        PutText(output, conversion, &character, 1);
        return true;
    }
    case u's':
    case u'S':
        if (wide) {
            PutString(output, conversion, va_arg(arguments.list, const WCHAR*));
        } else {
            PutString(output, conversion, va_arg(arguments.list, const char*));
        }
        return true;
    default:
        if (wide) {
            PutCountedString(output, conversion, va_arg(arguments.list, const UNICODE_STRING*));
        } else {
            PutCountedString(output, conversion, va_arg(arguments.list, const ANSI_STRING*));
        }
        return true;
    }
}

// Floating point: the host C library formats %e, %f and %g the way the Windows run-time does
// since it follows C99, so the digits come from there.
bool ConvertFloating(WideOutput& output, const Conversion& conversion, Arguments& arguments)
{
    if (conversion.size != SizePrefix::None && conversion.size != SizePrefix::l) {
        return false;
    }
    double value = va_arg(arguments.list, double);
    std::string narrowFormat = "%";
    narrowFormat += conversion.leftAlign ? "-" : "";
    narrowFormat += conversion.plusSign ? "+" : "";
    narrowFormat += conversion.spaceSign ? " " : "";
    narrowFormat += conversion.alternate ? "#" : "";
    narrowFormat += conversion.zeroPad ? "0" : "";
    narrowFormat += std::to_string(conversion.width);
    if (conversion.precision >= 0) {
        narrowFormat += "." + std::to_string(conversion.precision);
    }
    narrowFormat += char(conversion.type);
    int length = std::snprintf(nullptr, 0, narrowFormat.c_str(), value);
    std::string text(size_t(length) + 1, '\0');
    std::snprintf(&text[0], text.size(), narrowFormat.c_str(), value);
    for (int index = 0; index < length; ++index) {
        output.Put(WCHAR(static_cast<unsigned char>(text[size_t(index)])));
    }
    return true;
}

bool Convert(WideOutput& output, const Conversion& conversion, Arguments& arguments)
{
    switch (conversion.type) {
    case u'd':
    case u'i':
    case u'u':
    case u'o':
    case u'x':
    case u'X':
        return ConvertInteger(output, conversion, arguments);
    case u'p': {
        if (conversion.size != SizePrefix::None) {
            return false;
        }
        Conversion pointer = conversion;
        pointer.type = u'X';
        pointer.size = SizePrefix::I;
        pointer.precision = int(sizeof(void*) * 2);
        return ConvertInteger(output, pointer, arguments);
    }
    case u'c':
    case u'C':
    case u's':
    case u'S':
    case u'Z':
        return ConvertText(output, conversion, arguments);
    case u'e':
    case u'E':
    case u'f':
    case u'F':
    case u'g':
    case u'G':
        return ConvertFloating(output, conversion, arguments);
    case u'%':
        output.Put(u'%');
        return true;
    default:
        return false;
    }
}

// Reads a decimal field or a '*' argument. Returns false when the field does not fit an int.
bool ReadNumber(const WCHAR*& cursor, Arguments& arguments, long long* value)
{
    if (*cursor == u'*') {
        ++cursor;
        *value = va_arg(arguments.list, int);
        return true;
    }
    *value = 0;
    for (; *cursor >= u'0' && *cursor <= u'9'; ++cursor) {
        *value = *value * 10 + (*cursor - u'0');
        if (*value > INT_MAX) {
            return false;
        }
    }
    return true;
}

SizePrefix ReadSizePrefix(const WCHAR*& cursor)
{
    switch (*cursor) {
    case u'h':
        ++cursor;
        return *cursor == u'h' ? (++cursor, SizePrefix::hh) : SizePrefix::h;
    case u'l':
        ++cursor;
        return *cursor == u'l' ? (++cursor, SizePrefix::ll) : SizePrefix::l;
    case u'I':
        ++cursor;
        if (cursor[0] == u'3' && cursor[1] == u'2') {
            cursor += 2;
            return SizePrefix::I32;
        }
        if (cursor[0] == u'6' && cursor[1] == u'4') {
            cursor += 2;
            return SizePrefix::I64;
        }
        return SizePrefix::I;
    case u'z':
    case u't':
        ++cursor;
        return SizePrefix::I;
    case u'j':
        ++cursor;
        return SizePrefix::I64;
    case u'w':
        ++cursor;
        return SizePrefix::w;
    case u'L':
        ++cursor;
        return SizePrefix::L;
    default:
        return SizePrefix::None;
    }
}

bool ReadConversion(const WCHAR*& cursor, Arguments& arguments, Conversion* conversion)
{
    for (;; ++cursor) {
        if (*cursor == u'-') {
            conversion->leftAlign = true;
        } else if (*cursor == u'+') {
            conversion->plusSign = true;
        } else if (*cursor == u' ') {
            conversion->spaceSign = true;
        } else if (*cursor == u'#') {
            conversion->alternate = true;
        } else if (*cursor == u'0') {
            conversion->zeroPad = true;
        } else {
            break;
        }
    }
    long long width = 0;
    if (!ReadNumber(cursor, arguments, &width)) {
        return false;
    }
    if (width < 0) {
        conversion->leftAlign = true;
        width = -width;
    }
    conversion->width = size_t(width);
    if (*cursor == u'.') {
        ++cursor;
        long long precision = 0;
        if (!ReadNumber(cursor, arguments, &precision)) {
            return false;
        }
        conversion->precision = precision < 0 ? -1 : int(precision);
    }
    conversion->size = ReadSizePrefix(cursor);
    conversion->type = *cursor;
    if (conversion->type == 0) {
        return false;
    }
    ++cursor;
    return true;
}

}  // namespace

bool FormatWide(WideOutput& output, const WCHAR* format, va_list arguments)
{
    Arguments copy;
    va_copy(copy.list, arguments);
    bool valid = true;
    const WCHAR* cursor = format;
    while (valid && *cursor != 0) {
        if (*cursor != u'%') {
            output.Put(*cursor++);
            continue;
        }
        ++cursor;
        Conversion conversion;
        valid = ReadConversion(cursor, copy, &conversion) && Convert(output, conversion, copy);
    }
    va_end(copy.list);
    return valid;
}

}  // namespace sim::text
