// The render packet patterns: for each rate the driver renders without feedback, how many sample
// frames go into each 1-ms frame (full speed) or 125-us microframe (high speed), repeating.
#pragma once

#include "platform/kernel.h"

namespace usbaudio {

// The longest patterns: 11025 Hz takes 40 frames, or 320 microframes, to come out even.
constexpr ULONG kFullSpeedPatternLength = 40;
constexpr ULONG kHighSpeedPatternLength = 320;

struct PacketPatternRow {
    ULONG Rate;
    ULONG FullSpeedLength;
    USHORT FullSpeed[kFullSpeedPatternLength];
    ULONG HighSpeedLength;
    USHORT HighSpeed[kHighSpeedPatternLength];
};

// The row of exactly this rate, or null: no other rate can be rendered by pattern.
const PacketPatternRow* FindPacketPattern(ULONG rate);

// The entries for the bus speed; *length receives their number.
inline const USHORT* PatternEntries(const PacketPatternRow& row, bool highSpeed, ULONG* length)
{
    *length = highSpeed ? row.HighSpeedLength : row.FullSpeedLength;
    return highSpeed ? row.HighSpeed : row.FullSpeed;
}

}  // namespace usbaudio
