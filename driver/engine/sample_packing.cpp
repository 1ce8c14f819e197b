// The frame packer and the saturating mixes.
#include "driver/engine/sample_packing.h"

#include "driver/trace.h"

namespace {

constexpr ULONG kWidestSampleBytes = 4;
constexpr UCHAR kUnsignedSilence = 0x80;

bool IsSampleWidth(ULONG bits) { return bits != 0 && bits % 8 == 0 && bits / 8 <= kWidestSampleBytes; }

// One destination sample of D bytes from one source sample of S bytes: the source's low bytes
// beyond the destination's width are skipped, the destination's low bytes beyond the source's
// width are zero, and the most significant byte flips its sign bit when exactly one side is
// unsigned 8-bit. The widths are template arguments so that each pair compiles to straight loads
// and stores.
template <ULONG S, ULONG D>
inline void PackSample(PUCHAR out, const UCHAR* in)
{
    constexpr UCHAR signFlip = (S == 1) != (D == 1) ? kUnsignedSilence : 0;
    constexpr ULONG skipped = S > D ? S - D : 0;
    constexpr ULONG taken = S < D ? S : D;
    for (ULONG j = D; j >= 1; --j) {
        *out++ = j > S ? 0 : UCHAR(in[skipped + taken - j] - signFlip);
    }
}

template <ULONG D>
inline void FillSample(PUCHAR out)
{
    constexpr UCHAR fill = D == 1 ? kUnsignedSilence : 0;
    for (ULONG k = 0; k < D; ++k) {
        out[k] = fill;
    }
}

template <ULONG S, ULONG D>
PUCHAR PackAll(PUCHAR out, const UCHAR* src, ULONG frames, ULONG srcChannels, ULONG dstChannels)
{
    const ULONG shared = srcChannels < dstChannels ? srcChannels : dstChannels;
    for (ULONG frame = 0; frame < frames; ++frame, src += srcChannels * S) {
        const UCHAR* in = src;
        for (ULONG i = 0; i < shared; ++i, in += S, out += D) {
            PackSample<S, D>(out, in);
        }
        for (ULONG i = shared; i < dstChannels; ++i, out += D) {
            FillSample<D>(out);
        }
    }
    return out;
}

typedef PUCHAR (*FramePacker)(PUCHAR out, const UCHAR* src, ULONG frames, ULONG srcChannels, ULONG dstChannels);

// Indexed by [source bytes - 1][destination bytes - 1].
const FramePacker kPackers[4][4] = {
    {PackAll<1, 1>, PackAll<1, 2>, PackAll<1, 3>, PackAll<1, 4>},
    {PackAll<2, 1>, PackAll<2, 2>, PackAll<2, 3>, PackAll<2, 4>},
    {PackAll<3, 1>, PackAll<3, 2>, PackAll<3, 3>, PackAll<3, 4>},
    {PackAll<4, 1>, PackAll<4, 2>, PackAll<4, 3>, PackAll<4, 4>},
};

// Two samples placed in the top bits of a 32-bit value, added in 64 bits and clamped.
inline LONG SaturatingAdd(LONG a, LONG b)
{
    const LONGLONG sum = LONGLONG(a) + LONGLONG(b);
    if (sum > LONGLONG(0x7FFFFFFF)) {
        return 0x7FFFFFFF;
    }
    if (sum < -LONGLONG(0x80000000)) {
        return LONG(0x80000000);
    }
    return LONG(sum);
}

// 16- and 32-bit samples are little-endian words, as the platform's are.
template <typename Word>
inline void MixWord(PUCHAR dst, const UCHAR* src)
{
    constexpr ULONG shift = 32 - 8 * sizeof(Word);
    Word a;
    Word b;
    RtlCopyMemory(&a, dst, sizeof a);
    RtlCopyMemory(&b, src, sizeof b);
    const Word result = Word(SaturatingAdd(LONG(ULONG(a) << shift), LONG(ULONG(b) << shift)) >> shift);
    RtlCopyMemory(dst, &result, sizeof result);
}

inline LONG Top24(const UCHAR* sample) { return LONG(ULONG(sample[0]) << 8 | ULONG(sample[1]) << 16 | ULONG(sample[2]) << 24); }

// Indexed by bits / 8 - 1.
const MixRoutine kMixRoutines[kWidestSampleBytes] = {nullptr, MixSamples16, MixSamples24, MixSamples32};

}  // namespace

ULONG PackFrames(PUCHAR dst, ULONG dstSize, const UCHAR* src, ULONG srcBytes, ULONG dstChannels, ULONG dstBits,
                 ULONG srcChannels, ULONG srcBits)
{
    if (dstChannels == 0 || srcChannels == 0 || !IsSampleWidth(dstBits) || !IsSampleWidth(srcBits)) {
        R9_TRACE("PackFrames: %u x %u bits from %u x %u bits not packed\n", unsigned(dstChannels), unsigned(dstBits),
                 unsigned(srcChannels), unsigned(srcBits));
        return 0;
    }
    const ULONG s = srcBits / 8;
    const ULONG d = dstBits / 8;
    const ULONG srcFrameBytes = srcChannels * s;
    const ULONG dstFrameBytes = dstChannels * d;
    // A partial frame at the end would be read past srcBytes; only whole frames are converted.
    const ULONG frames = srcBytes / srcFrameBytes;
    if (ULONGLONG(frames) * dstFrameBytes > dstSize) {
        R9_TRACE("PackFrames: %u frames do not fit %u bytes\n", unsigned(frames), unsigned(dstSize));
        return 0;
    }
    if (srcChannels == dstChannels && s == d) {
        RtlCopyMemory(dst, src, frames * srcFrameBytes);
        return frames * srcFrameBytes;
    }
    return ULONG(kPackers[s - 1][d - 1](dst, src, frames, srcChannels, dstChannels) - dst);
}

// Samples are little-endian, as the platform's words are.
void MixSamples16(PUCHAR dst, const UCHAR* src, ULONG count)
{
    for (ULONG i = 0; i < count; ++i, dst += 2, src += 2) {
        MixWord<SHORT>(dst, src);
    }
}

void MixSamples24(PUCHAR dst, const UCHAR* src, ULONG count)
{
    for (ULONG i = 0; i < count; ++i, dst += 3, src += 3) {
        const ULONG sum = ULONG(SaturatingAdd(Top24(dst), Top24(src)));
        dst[0] = UCHAR(sum >> 8);
        dst[1] = UCHAR(sum >> 16);
        dst[2] = UCHAR(sum >> 24);
    }
}

void MixSamples32(PUCHAR dst, const UCHAR* src, ULONG count)
{
    for (ULONG i = 0; i < count; ++i, dst += 4, src += 4) {
        MixWord<LONG>(dst, src);
    }
}

void CopySamples32(PUCHAR dst, const UCHAR* src, ULONG count) { RtlCopyMemory(dst, src, count * 4); }

MixRoutine MixRoutineForBits(ULONG bits)
{
    return IsSampleWidth(bits) ? kMixRoutines[bits / 8 - 1] : nullptr;
}
