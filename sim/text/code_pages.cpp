// WideCharToMultiByte and MultiByteToWideChar for the two code pages the simulated machine has:
// its ANSI code page 1252 and UTF-8. As on Windows: a length of -1 includes the terminator, a
// destination size of 0 asks for the size needed, and a destination that is too small fails with
// ERROR_INSUFFICIENT_BUFFER after being filled as far as it goes.
#include <string>

#include "sim/api/user_base.h"
#include "sim/api/wide_text.h"

namespace {

// Code page 1252 at 0x80-0x9F; 0 where the code page leaves the byte undefined.
const char16_t kWindows1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

// The 1252 byte for a character; false when the code page has none.
bool To1252(char16_t c, unsigned char& byte)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
        byte = static_cast<unsigned char>(c);
        return true;
    }
    for (int i = 0; i < 32; ++i) {
        if (kWindows1252High[i] != 0 && kWindows1252High[i] == c) {
            byte = static_cast<unsigned char>(0x80 + i);
            return true;
        }
    }
    return false;
}

char16_t From1252(unsigned char byte)
{
    if (byte >= 0x80 && byte < 0xA0) {
        // Undefined bytes map to the control character of the same value, as Windows does.
        return kWindows1252High[byte - 0x80] != 0 ? kWindows1252High[byte - 0x80] : char16_t(byte);
    }
    return char16_t(byte);
}

// Copies as much as fits; the size needed, or 0 with ERROR_INSUFFICIENT_BUFFER.
template <class Char, class Text> int Deliver(const Text& text, Char* destination, int capacity)
{
    const int needed = int(text.size());
    if (capacity == 0) {
        return needed;
    }
    const int copied = needed < capacity ? needed : capacity;
    for (int i = 0; i < copied; ++i) {
        destination[i] = Char(text[i]);
    }
    if (needed > capacity) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return needed;
}

}  // namespace

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, const WCHAR* lpWideCharStr, int cchWideChar,
                        char* lpMultiByteStr, int cbMultiByte, const char* lpDefaultChar, BOOL* lpUsedDefaultChar)
{
    if (lpWideCharStr == nullptr || cchWideChar == 0 || cbMultiByte < 0 || (cbMultiByte > 0 && lpMultiByteStr == nullptr) ||
        dwFlags != 0) {
        SetLastError(dwFlags != 0 ? ERROR_INVALID_FLAGS : ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t length = cchWideChar < 0 ? wcslen(lpWideCharStr) + 1 : size_t(cchWideChar);
    const std::u16string_view source(lpWideCharStr, length);
    std::string text;
    if (CodePage == CP_UTF8) {
        if (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        text = sim::Utf16ToUtf8(source);
    } else if (CodePage == CP_ACP || CodePage == 1252) {
        bool usedDefault = false;
        for (char16_t c : source) {
            unsigned char byte;
            if (To1252(c, byte)) {
                text.push_back(char(byte));
            } else {
                text.push_back(lpDefaultChar != nullptr ? *lpDefaultChar : '?');
                usedDefault = true;
            }
        }
        if (lpUsedDefaultChar != nullptr) {
            *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
        }
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Deliver(text, lpMultiByteStr, cbMultiByte);
}

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, const char* lpMultiByteStr, int cbMultiByte,
                        WCHAR* lpWideCharStr, int cchWideChar)
{
    if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cchWideChar < 0 || (cchWideChar > 0 && lpWideCharStr == nullptr) ||
        dwFlags != 0) {
        SetLastError(dwFlags != 0 ? ERROR_INVALID_FLAGS : ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t length = cbMultiByte < 0 ? 0 : size_t(cbMultiByte);
    if (cbMultiByte < 0) {
        while (lpMultiByteStr[length] != 0) {
            ++length;
        }
        ++length;
    }
    const std::string_view source(lpMultiByteStr, length);
    std::u16string text;
    if (CodePage == CP_UTF8) {
        text = sim::Utf8ToUtf16(source);
    } else if (CodePage == CP_ACP || CodePage == 1252) {
        for (char c : source) {
            text.push_back(From1252(static_cast<unsigned char>(c)));
        }
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Deliver(text, lpWideCharStr, cchWideChar);
}
