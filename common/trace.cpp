#include "common/trace.h"

#include <cstdarg>

void TraceEvent(const WCHAR* format, ...)
{
    WCHAR text[384];
    va_list arguments;
    va_start(arguments, format);
    const int written = _vsnwprintf_s(text, ARRAYSIZE(text) - 1, _TRUNCATE, format, arguments);
    va_end(arguments);
    if (written < 0) {
        text[ARRAYSIZE(text) - 2] = 0;
    }
    wcscat_s(text, W("\n"));
    OutputDebugStringW(text);
}
