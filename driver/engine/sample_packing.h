// Converting audio between a wave stream's format and the device's, and adding ASIO output into
// render requests. Pure byte transformations: no state, no allocation, callable at any IRQL.
//
// Samples are little-endian signed integers of 2, 3 or 4 bytes, or unsigned 8-bit samples (silence
// 0x80); a frame is one sample per channel, interleaved. Widths are in bits, multiples of 8.
#pragma once

#include "platform/kernel.h"

// Converts the whole frames in srcBytes of source audio into destination frames and returns the
// bytes written. Channel i of the destination takes channel i of the source: extra destination
// channels are silent, extra source channels are dropped; widening pads the new low bytes with
// zero, narrowing drops the low bytes, and 8-bit samples change between unsigned and signed. When
// dst cannot hold the converted frames nothing is written and 0 is returned.
ULONG PackFrames(PUCHAR dst, ULONG dstSize, const UCHAR* src, ULONG srcBytes, ULONG dstChannels, ULONG dstBits,
                 ULONG srcChannels, ULONG srcBits);

// Adds `count` samples of src into dst with saturation (or copies them, for native DSD, where
// data cannot be added). The render path calls it once per frame with the device's channel count.
typedef void (*MixRoutine)(PUCHAR dst, const UCHAR* src, ULONG count);

void MixSamples16(PUCHAR dst, const UCHAR* src, ULONG count);
void MixSamples24(PUCHAR dst, const UCHAR* src, ULONG count);
void MixSamples32(PUCHAR dst, const UCHAR* src, ULONG count);
void CopySamples32(PUCHAR dst, const UCHAR* src, ULONG count);

// The mix routine for a container width: none for 8 bits (unsigned samples are not mixed) or for
// a width that is not 8 to 32 bits in whole bytes.
MixRoutine MixRoutineForBits(ULONG bits);
