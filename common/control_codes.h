// The kernel driver's private control codes that the library sends (buffered, any access).
#pragma once

#include "platform/user.h"

namespace r9control {
constexpr DWORD kGetRateRange = 0x222000;
constexpr DWORD kGetRateFormats = 0x222004;
constexpr DWORD kGetRate = 0x222008;
constexpr DWORD kSetRate = 0x22200C;
constexpr DWORD kGetDsdSupport = 0x222010;
constexpr DWORD kGetStoredInUrbSize = 0x222034;
constexpr DWORD kSetInUrbSize = 0x222038;
}  // namespace r9control
