// The pattern table is computed by the compiler: a row of rate r holds, for R = r / 1000 (or
// r / 8000) as a fraction in lowest terms, as many entries as R's denominator, entry i being
// ceil((i+1)R) - ceil(iR). Every prefix of a pattern thus carries the whole frames that the time
// so far has produced, and the pattern as a whole carries exactly r frames per second.
#include "driver/usbaudio/packet_pattern.h"

namespace usbaudio {

namespace {

constexpr ULONG kFramesPerSecond = 1000;
constexpr ULONG kMicroframesPerSecond = 8000;

constexpr ULONG GreatestCommonDivisor(ULONG a, ULONG b)
{
    while (b != 0) {
        const ULONG rest = a % b;
        a = b;
        b = rest;
    }
    return a;
}

template <ULONG Capacity>
constexpr ULONG FillPattern(ULONG rate, ULONG intervalsPerSecond, USHORT (&pattern)[Capacity])
{
    const ULONG divisor = GreatestCommonDivisor(rate, intervalsPerSecond);
    const ULONGLONG numerator = rate / divisor;
    const ULONG length = intervalsPerSecond / divisor;
    ULONGLONG sentBefore = 0;
    for (ULONG i = 0; i < length && i < Capacity; ++i) {
        const ULONGLONG sentAfter = ((i + 1) * numerator + length - 1) / length;
        pattern[i] = USHORT(sentAfter - sentBefore);
        sentBefore = sentAfter;
    }
    return length;
}

constexpr PacketPatternRow MakeRow(ULONG rate)
{
    PacketPatternRow row{};
    row.Rate = rate;
    row.FullSpeedLength = FillPattern(rate, kFramesPerSecond, row.FullSpeed);
    row.HighSpeedLength = FillPattern(rate, kMicroframesPerSecond, row.HighSpeed);
    return row;
}

// 705.6 frames per millisecond. By the rule the frames would run up to 0.8 sample frames ahead of
// the clock before the fifth comes out even; alternating long and short frames stays within half a
// frame of it all the way.
constexpr PacketPatternRow MakeRow705600()
{
    PacketPatternRow row = MakeRow(705600);
    const USHORT alternating[] = {706, 705, 706, 705, 706};
    for (ULONG i = 0; i < 5; ++i) {
        row.FullSpeed[i] = alternating[i];
    }
    return row;
}

constexpr PacketPatternRow kPacketPatterns[] = {
    MakeRow(768000), MakeRow705600(), MakeRow(384000), MakeRow(352800), MakeRow(192000),
    MakeRow(176400), MakeRow(96000),  MakeRow(88200),  MakeRow(48000),  MakeRow(44100),
    MakeRow(32000),  MakeRow(22050),  MakeRow(16000),  MakeRow(11025),  MakeRow(8000),
};

constexpr bool FitsItsRow(const PacketPatternRow& row)
{
    return row.FullSpeedLength <= kFullSpeedPatternLength && row.HighSpeedLength <= kHighSpeedPatternLength;
}

constexpr bool AllRowsFit()
{
    for (const PacketPatternRow& row : kPacketPatterns) {
        if (!FitsItsRow(row)) {
            return false;
        }
    }
    return true;
}

static_assert(AllRowsFit(), "a pattern is longer than its row");
static_assert(sizeof(kPacketPatterns) / sizeof(kPacketPatterns[0]) == 15, "fifteen rates");

}  // namespace

const PacketPatternRow* FindPacketPattern(ULONG rate)
{
    for (const PacketPatternRow& row : kPacketPatterns) {
        if (row.Rate == rate) {
            return &row;
        }
    }
    return nullptr;
}

}  // namespace usbaudio
