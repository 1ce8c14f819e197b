// The direction index of every per-direction table in the kernel driver.
#pragma once

#include "platform/kernel.h"

typedef UCHAR StreamDirection;
inline constexpr StreamDirection kDirectionOut = 0;  // render, host to device
inline constexpr StreamDirection kDirectionIn = 1;   // capture, device to host
inline constexpr ULONG kDirectionCount = 2;

// Trace output shows render as 'o' and capture as 'i'.
inline char DirectionLetter(StreamDirection direction) { return direction == kDirectionOut ? 'o' : 'i'; }
