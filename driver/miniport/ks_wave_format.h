// Kernel-streaming names the wave miniport needs that one of its two platforms lacks, under names
// of our own so that neither platform's declaration gets in the way: the mingw-w64 headers have no
// KSDATAFORMAT_WAVEFORMATEXTENSIBLE and spell IID_IMiniport as IID_IMiniPort, and the simulated
// machine declares only the formats the filter description uses.
#pragma once

#include "platform/kernel.h"

// KSDATAFORMAT_WAVEFORMATEXTENSIBLE: the format a data-range intersection hands back.
struct KsWaveFormatExtensible {
    KSDATAFORMAT DataFormat;
    WAVEFORMATEXTENSIBLE WaveFormatExt;
};

// Its size: what the port is told when it asks how large the result will be.
inline constexpr ULONG kKsWaveFormatExtensibleBytes = 104;
// The parts' own layouts are checked with the platform's; this is the whole.
static_assert(sizeof(KsWaveFormatExtensible) == kKsWaveFormatExtensibleBytes, "KSDATAFORMAT_WAVEFORMATEXTENSIBLE");
static_assert(FIELD_OFFSET(KsWaveFormatExtensible, WaveFormatExt) == 64, "the wave format follows the KS header");

// cbSize of a WAVEFORMATEXTENSIBLE: the bytes after its WAVEFORMATEX part.
inline constexpr USHORT kWaveFormatExtensibleExtraBytes = 22;

// KSAUDIO_SPEAKER_STEREO.
inline constexpr ULONG kSpeakerStereo = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;

// KSDATAFORMAT_SPECIFIER_DSOUND {518590A2-A184-11D0-8522-00C04FD9BAF3}.
inline constexpr GUID kDirectSoundSpecifier = {0x518590A2, 0xA184, 0x11D0,
                                               {0x85, 0x22, 0x00, 0xC0, 0x4F, 0xD9, 0xBA, 0xF3}};

// IID_IMiniport {B4C90A24-5791-11D0-86F9-00A0C911B544}.
inline constexpr GUID kMiniportInterfaceId = {0xB4C90A24, 0x5791, 0x11D0,
                                              {0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44}};
