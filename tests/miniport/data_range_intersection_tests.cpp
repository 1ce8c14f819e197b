// Format negotiation: what the miniport answers the port for a client range against one of its
// pins' ranges, the errors the port relies on (size query, short buffer) and the 104-byte
// WAVEFORMATEXTENSIBLE it fills in.
#include <cstring>

#include "driver/miniport/ks_wave_format.h"
#include "tests/miniport/miniport_test_support.h"

namespace miniport_test {
namespace {

// {518590A2-A184-11D0-8522-00C04FD9BAF3}, KSDATAFORMAT_SPECIFIER_DSOUND as ksmedia.h publishes it.
constexpr GUID kDsoundSpecifier = {0x518590A2, 0xA184, 0x11D0, {0x85, 0x22, 0x00, 0xC0, 0x4F, 0xD9, 0xBA, 0xF3}};

KSDATARANGE_AUDIO AudioRange(ULONG channels, ULONG minBits, ULONG maxBits, ULONG minRate, ULONG maxRate)
{
    KSDATARANGE_AUDIO range{};
    range.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = channels;
    range.MinimumBitsPerSample = minBits;
    range.MaximumBitsPerSample = maxBits;
    range.MinimumSampleFrequency = minRate;
    range.MaximumSampleFrequency = maxRate;
    return range;
}

class IntersectionTest : public MiniportTest {
protected:
    IntersectionTest() { EXPECT_EQ(InitMiniport(), STATUS_SUCCESS); }

    // The pin's own range as the filter builder makes it: 4 channels, 16 to 24 bits, the R9's rates.
    KSDATARANGE_AUDIO own_ = AudioRange(4, 16, 24, 44100, 384000);
    UCHAR output_[200];
    ULONG resultLength_ = 0;
};

struct RefusalCase {
    const char* name;
    KSDATARANGE_AUDIO client;
    ULONG outputLength;
    bool withBuffer;
    NTSTATUS formatRangeStatus;
    NTSTATUS expected;
    ULONG expectedLength;  // the result length afterwards (0: left alone)
    bool asksAdapter;
};

KSDATARANGE_AUDIO Dsound()
{
    KSDATARANGE_AUDIO range = AudioRange(2, 16, 24, 44100, 48000);
    range.DataRange.Specifier = kDsoundSpecifier;
    return range;
}

KSDATARANGE_AUDIO WithoutAudioFields()
{
    KSDATARANGE_AUDIO range = AudioRange(2, 16, 24, 44100, 48000);
    range.DataRange.FormatSize = sizeof(KSDATARANGE);
    return range;
}

TEST_F(IntersectionTest, RefusalsAndSizeQueries)
{
    const KSDATARANGE_AUDIO stereo = AudioRange(2, 16, 32, 8000, 384000);
    const RefusalCase cases[] = {
        {"DirectSound specifier", Dsound(), 104, true, STATUS_SUCCESS, STATUS_NOT_SUPPORTED, 0, false},
        {"DirectSound specifier, size query", Dsound(), 0, false, STATUS_SUCCESS, STATUS_NOT_SUPPORTED, 0, false},
        {"size query without buffer", stereo, 0, false, STATUS_SUCCESS, STATUS_BUFFER_OVERFLOW, 104, false},
        {"size query with length 0", stereo, 0, true, STATUS_SUCCESS, STATUS_BUFFER_OVERFLOW, 104, false},
        {"50-byte buffer", stereo, 50, true, STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL, 0, false},
        {"103-byte buffer", stereo, 103, true, STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL, 0, false},
        {"mono client", AudioRange(1, 16, 24, 44100, 48000), 104, true, STATUS_SUCCESS, STATUS_NO_MATCH, 0, false},
        {"client without channels", AudioRange(0, 16, 24, 44100, 48000), 104, true, STATUS_SUCCESS,
         STATUS_NO_MATCH, 0, false},
        {"client range without audio fields", WithoutAudioFields(), 104, true, STATUS_SUCCESS, STATUS_NO_MATCH, 0,
         false},
        {"adapter finds no matching range", stereo, 104, true, STATUS_NO_MATCH, STATUS_NO_MATCH, 0, true},
        {"adapter refuses the pin", stereo, 104, true, STATUS_INVALID_PARAMETER, STATUS_NO_MATCH, 0, true},
        {"no common rate", AudioRange(2, 16, 24, 8000, 22050), 104, true, STATUS_SUCCESS, STATUS_NO_MATCH, 0,
         true},
        {"no common sample size", AudioRange(2, 8, 8, 44100, 48000), 104, true, STATUS_SUCCESS, STATUS_NO_MATCH, 0,
         true},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        KSDATARANGE_AUDIO client = c.client;
        adapter_.calls.clear();
        adapter_.formatRangeStatus = c.formatRangeStatus;
        std::memset(output_, 0xCD, sizeof(output_));
        resultLength_ = 0;
        EXPECT_EQ(miniport_->DataRangeIntersection(1, &client.DataRange, &own_.DataRange, c.outputLength,
                                                   c.withBuffer ? output_ : nullptr, &resultLength_),
                  c.expected);
        EXPECT_EQ(resultLength_, c.expectedLength);
        EXPECT_EQ(output_[0], 0xCD) << "a refusal wrote a format";
        EXPECT_EQ(!adapter_.calls.empty(), c.asksAdapter);
    }
}

// The client's and the pin's bounds meet; the adapter then narrows them to the device's rate.
TEST_F(IntersectionTest, StereoResultIsTheHighestCommonFormatAtTheDeviceRate)
{
    KSDATARANGE_AUDIO client = AudioRange(2, 16, 32, 8000, 192000);
    adapter_.narrowRateTo = 48000;
    std::memset(output_, 0xCD, sizeof(output_));
    // The port's buffer carries no alignment promise.
    PUCHAR output = output_ + 1;
    ASSERT_EQ(miniport_->DataRangeIntersection(2, &client.DataRange, &own_.DataRange, 150, output, &resultLength_),
              STATUS_SUCCESS);
    EXPECT_EQ(resultLength_, 104u);
    EXPECT_EQ(adapter_.formatRange.pin, 2u);
    EXPECT_EQ(adapter_.formatRange.channels, 2u);
    EXPECT_EQ(adapter_.formatRange.minBits, 16u);
    EXPECT_EQ(adapter_.formatRange.maxBits, 24u);
    EXPECT_EQ(adapter_.formatRange.minRate, 44100u);
    EXPECT_EQ(adapter_.formatRange.maxRate, 192000u);

    KsWaveFormatExtensible result;
    std::memcpy(&result, output, sizeof(result));
    EXPECT_EQ(result.DataFormat.FormatSize, 104u);
    EXPECT_EQ(result.DataFormat.Flags, 0u);
    EXPECT_EQ(result.DataFormat.SampleSize, 6u);
    EXPECT_EQ(result.DataFormat.MajorFormat, KSDATAFORMAT_TYPE_AUDIO);
    EXPECT_EQ(result.DataFormat.SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
    EXPECT_EQ(result.DataFormat.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
    const WAVEFORMATEXTENSIBLE& wave = result.WaveFormatExt;
    EXPECT_EQ(wave.Format.wFormatTag, 0xFFFE);
    EXPECT_EQ(wave.Format.nChannels, 2);
    EXPECT_EQ(wave.Format.nSamplesPerSec, 48000u);
    EXPECT_EQ(wave.Format.nAvgBytesPerSec, 288000u);
    EXPECT_EQ(wave.Format.nBlockAlign, 6);
    EXPECT_EQ(wave.Format.wBitsPerSample, 24);
    EXPECT_EQ(wave.Format.cbSize, 22);
    EXPECT_EQ(wave.Samples.wValidBitsPerSample, 24);
    EXPECT_EQ(wave.dwChannelMask, ULONG(SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT));
    EXPECT_EQ(wave.SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
    EXPECT_EQ(output_[0], 0xCD);
    EXPECT_EQ(output[104], 0xCD) << "written past the 104-byte format";
}

// The pin's last range announces an attribute list in the pin's range array; the format that
// comes back must not claim one, since nothing follows it.
TEST_F(IntersectionTest, FourChannelResultHasNoSpeakerMaskAndClaimsNoAttributes)
{
    KSDATARANGE_AUDIO client = AudioRange(8, 16, 32, 44100, 384000);
    own_.DataRange.Flags = KSDATARANGE_ATTRIBUTES;
    adapter_.narrowRateTo = 96000;
    adapter_.narrowMaxBitsTo = 16;
    ASSERT_EQ(miniport_->DataRangeIntersection(0, &client.DataRange, &own_.DataRange, 104, output_, &resultLength_),
              STATUS_SUCCESS);
    EXPECT_EQ(resultLength_, 104u);
    EXPECT_EQ(adapter_.formatRange.channels, 4u);
    EXPECT_EQ(adapter_.formatRange.maxRate, 384000u);

    KsWaveFormatExtensible result;
    std::memcpy(&result, output_, sizeof(result));
    EXPECT_EQ(result.DataFormat.Flags, 0u);
    EXPECT_EQ(result.DataFormat.SampleSize, 8u);
    const WAVEFORMATEXTENSIBLE& wave = result.WaveFormatExt;
    EXPECT_EQ(wave.Format.nChannels, 4);
    EXPECT_EQ(wave.Format.nSamplesPerSec, 96000u);
    EXPECT_EQ(wave.Format.wBitsPerSample, 16);
    EXPECT_EQ(wave.Samples.wValidBitsPerSample, 16);
    EXPECT_EQ(wave.Format.nBlockAlign, 8);
    EXPECT_EQ(wave.Format.nAvgBytesPerSec, 768000u);
    EXPECT_EQ(wave.dwChannelMask, 0u);
}

}  // namespace
}  // namespace miniport_test
