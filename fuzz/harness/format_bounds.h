// The five values every format question of the driver takes and narrows: channels, bits from and
// to, rates from and to. They start as the widest question a client asks: stereo, 16 to 32 bits,
// 8 to 768 kHz.
#pragma once

#include "platform/kernel.h"

namespace fuzz {

struct FormatBounds {
    ULONG channels = 2;
    ULONG minBits = 16;
    ULONG maxBits = 32;
    ULONG minRate = 8000;
    ULONG maxRate = 768000;
};

}  // namespace fuzz
