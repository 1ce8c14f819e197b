// Fields of an alternate setting's class-specific descriptors, read with the layout of the
// device's class release. Each returns 0 when the descriptor it reads is absent.
#pragma once

#include "driver/usbaudio/streaming_interface.h"

namespace usbaudio {

constexpr UCHAR kFormatTypeI = 0x01;

// bTerminalLink of the AS general descriptor.
UCHAR GetTerminalLink(const AlternateSetting& alternate);
// bFormatType: of the AS general descriptor on 2.0, of the format type descriptor on 1.0.
UCHAR GetFormatType(const AlternateSetting& alternate, bool audioClass20);
// 2.0 bmFormats.
ULONG GetFormats(const AlternateSetting& alternate);
// 1.0 wFormatTag.
USHORT GetFormatTag(const AlternateSetting& alternate);
// bNrChannels: AS general on 2.0, Type I format on 1.0.
UCHAR GetChannelCount(const AlternateSetting& alternate, bool audioClass20);
// Bytes per sample: bSubslotSize on 2.0, bSubframeSize on 1.0.
UCHAR GetSubslotBytes(const AlternateSetting& alternate, bool audioClass20);
UCHAR GetBitResolution(const AlternateSetting& alternate, bool audioClass20);

// 1.0 Type I rates: bSamFreqType, 0 meaning a continuous range.
ULONG GetSampleRateType(const AlternateSetting& alternate);
ULONG GetDiscreteSampleRate(const AlternateSetting& alternate, ULONG index);
// tLowerSamFreq and tUpperSamFreq of a continuous range; false for a discrete list.
bool GetContinuousSampleRates(const AlternateSetting& alternate, ULONG* lower, ULONG* upper);

// 1.0 Type I: whether the format offers the rate (inside a continuous range, or listed), and the
// lowest and highest rate it offers (false when it offers none).
bool OffersSampleRate(const AlternateSetting& alternate, ULONG rate);
bool GetSampleRateSpan(const AlternateSetting& alternate, ULONG* lowest, ULONG* highest);

// 1.0 class endpoint: the sampling-frequency control (bmAttributes bit 0).
bool HasSamplingFrequencyControl(const AlternateSetting& alternate);

// A data endpoint whose packets also carry the device's clock (usage bits 10).
bool IsImplicitFeedbackData(const USB_ENDPOINT_DESCRIPTOR* endpoint);

}  // namespace usbaudio
