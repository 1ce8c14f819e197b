// The client format of a wave stream, read from the KS data format the port hands over at stream
// creation and on a format change.
#pragma once

#include "platform/kernel.h"

struct WaveStreamFormat {
    USHORT formatTag;  // PCM, IEEE float, A-law or mu-law; WAVE_FORMAT_EXTENSIBLE stands for its SubFormat
    ULONG channels;
    ULONG bitsPerSample;
    ULONG sampleRate;
    ULONG blockAlign;
    bool valid;
};

// Reads an audio data format with the WAVEFORMATEX or DirectSound specifier and one of the four
// sample encodings the stream engine converts; STATUS_INVALID_DEVICE_REQUEST for anything else,
// including a format whose size does not cover the wave format it announces. The block align is
// the format's own nBlockAlign.
NTSTATUS ReadWaveStreamFormat(const KSDATAFORMAT* dataFormat, WaveStreamFormat* format);

// Bytes of `milliseconds` of a stream with this block align and rate; 0 when that does not fit a
// ULONG (no buffer is that large).
ULONG WaveBytesForMilliseconds(ULONG blockAlign, ULONG sampleRate, ULONG milliseconds);
