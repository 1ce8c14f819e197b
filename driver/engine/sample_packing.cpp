// The frame packer and the saturating mixes.
#include "driver/engine/sample_packing.h"

#include "driver/trace.h"

namespace {

constexpr ULONG kWidestSampleBytes = 4;
constexpr UCHAR kUnsignedSilence = 0x80;

bool IsSampleWidth(ULONG bits) { return bits != 0 && bits % 8 == 0 && bits / 8 <= kWidestSampleBytes; }

// One destination sample from one source sample: the source's low bytes beyond the destination's
// width are skipped, the destination's low bytes beyond the source's width are zero, and the most
// significant byte flips its sign bit when exactly one side is unsigned 8-bit.
inline void PackSample(PUCHAR out, const UCHAR* in, ULONG d, ULONG s)
{
    const UCHAR signFlip = (s == 1) != (d == 1) ? kUnsignedSilence : 0;
    if (s > d) {
        in += s - d;
    }
    for (ULONG j = d; j >= 1; --j) {
        *out++ = j > s ? 0 : UCHAR(*in++ - signFlip);
    }
}

inline void FillSample(PUCHAR out, ULONG d)
{
    const UCHAR fill = d == 1 ? kUnsignedSilence : 0;
    for (ULONG k = 0; k < d; ++k) {
        out[k] = fill;
    }
}

// Samples of `bytes` width placed in the top of a 32-bit value, added in 64 bits and clamped.
template <ULONG kBytes>
inline void MixOne(PUCHAR dst, const UCHAR* src)
{
    constexpr ULONG shift = 32 - 8 * kBytes;
    ULONG a = 0;
    ULONG b = 0;
    for (ULONG k = 0; k < kBytes; ++k) {
        a |= ULONG(dst[k]) << (shift + 8 * k);
        b |= ULONG(src[k]) << (shift + 8 * k);
    }
    LONGLONG sum = LONGLONG(LONG(a)) + LONGLONG(LONG(b));
    if (sum > LONGLONG(0x7FFFFFFF)) {
        sum = 0x7FFFFFFF;
    } else if (sum < -LONGLONG(0x80000000)) {
        sum = -LONGLONG(0x80000000);
    }
    const ULONG result = ULONG(LONG(sum));
    for (ULONG k = 0; k < kBytes; ++k) {
        dst[k] = UCHAR(result >> (shift + 8 * k));
    }
}

template <ULONG kBytes>
void MixAll(PUCHAR dst, const UCHAR* src, ULONG count)
{
    for (ULONG i = 0; i < count; ++i, dst += kBytes, src += kBytes) {
        MixOne<kBytes>(dst, src);
    }
}

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
    const ULONG shared = srcChannels < dstChannels ? srcChannels : dstChannels;
    PUCHAR out = dst;
    for (ULONG frame = 0; frame < frames; ++frame, src += srcFrameBytes) {
        const UCHAR* in = src;
        for (ULONG i = 0; i < shared; ++i, in += s, out += d) {
            PackSample(out, in, d, s);
        }
        for (ULONG i = shared; i < dstChannels; ++i, out += d) {
            FillSample(out, d);
        }
    }
    return ULONG(out - dst);
}

void MixSamples16(PUCHAR dst, const UCHAR* src, ULONG count) { MixAll<2>(dst, src, count); }

void MixSamples24(PUCHAR dst, const UCHAR* src, ULONG count) { MixAll<3>(dst, src, count); }

void MixSamples32(PUCHAR dst, const UCHAR* src, ULONG count) { MixAll<4>(dst, src, count); }

void CopySamples32(PUCHAR dst, const UCHAR* src, ULONG count) { RtlCopyMemory(dst, src, count * 4); }

MixRoutine MixRoutineForBits(ULONG bits)
{
    return IsSampleWidth(bits) ? kMixRoutines[bits / 8 - 1] : nullptr;
}
