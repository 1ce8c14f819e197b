// The run-time's bounded wide printf functions: swprintf_s and _snwprintf_s with their va_list
// forms. Output that does not fit is an error (ERANGE, destination emptied) unless the caller
// allowed truncation with a count.
#include "sim/api/wide_text.h"
#include "sim/text/format_engine.h"

namespace {

int Fail(WCHAR* buffer, errno_t error)
{
    buffer[0] = 0;
    errno = error;
    return -1;
}

}  // namespace

int vswprintf_s(WCHAR* buffer, size_t sizeOfBuffer, const WCHAR* format, va_list arguments)
{
    if (format == nullptr || buffer == nullptr || sizeOfBuffer == 0) {
        errno = EINVAL;
        return -1;
    }
    sim::text::WideOutput output(buffer, sizeOfBuffer);
    if (!sim::text::FormatWide(output, format, arguments)) {
        return Fail(buffer, EINVAL);
    }
    if (output.Length() >= sizeOfBuffer) {
        return Fail(buffer, ERANGE);
    }
    buffer[output.Length()] = 0;
    return int(output.Length());
}

int swprintf_s(WCHAR* buffer, size_t sizeOfBuffer, const WCHAR* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int result = vswprintf_s(buffer, sizeOfBuffer, format, arguments);
    va_end(arguments);
    return result;
}

int _vsnwprintf_s(WCHAR* buffer, size_t sizeOfBuffer, size_t count, const WCHAR* format,
                  va_list arguments)
{
    if (format == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (count == 0 && buffer == nullptr && sizeOfBuffer == 0) {
        return 0;
    }
    if (buffer == nullptr || sizeOfBuffer == 0) {
        errno = EINVAL;
        return -1;
    }
    // A count below the buffer size caps the text at count characters; otherwise the buffer
    // (less its terminator) is the limit.
    bool countLimits = count < sizeOfBuffer;
    size_t limit = countLimits ? count : sizeOfBuffer - 1;
    sim::text::WideOutput output(buffer, limit);
    if (!sim::text::FormatWide(output, format, arguments)) {
        return Fail(buffer, EINVAL);
    }
    if (output.Length() <= limit) {
        buffer[output.Length()] = 0;
        return int(output.Length());
    }
    if (countLimits || count == _TRUNCATE) {
        buffer[limit] = 0;
        return -1;
    }
    return Fail(buffer, ERANGE);
}

int _snwprintf_s(WCHAR* buffer, size_t sizeOfBuffer, size_t count, const WCHAR* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int result = _vsnwprintf_s(buffer, sizeOfBuffer, count, format, arguments);
    va_end(arguments);
    return result;
}
