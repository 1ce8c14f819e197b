// The device rate's window as the clock's RANGE narrows it: a pin's format negotiation asks for the
// device rate and must get exactly that back whatever shape the RANGE has, and a RANGE answer cut
// short must not make rate 0 look offered.
#include <cstring>

#include "driver/miniport/ks_wave_format.h"
#include "driver/usbaudio/filter_records.h"
#include "sim/devices/r9/r9_descriptors.h"
#include "tests/adapter/adapter_bench.h"

namespace wavetest {
namespace {

using adaptertest::AdapterBench;
using sim::devices::SampleRateSubrange;

constexpr ULONG kDeviceRate = 48000;

// The R9 at 48 kHz, as a machine that saved that rate with its endpoints starts it.
struct DeviceAt48k {
    DeviceAt48k()
    {
        bench.SetDeviceSetting(u"Initialized", 1);
        bench.SaveEndpointFormats(kDeviceRate, 24);
        EXPECT_EQ(bench.Plug(), STATUS_SUCCESS);
    }
    void SetRanges(const std::vector<SampleRateSubrange>& ranges)
    {
        bench.Device().Function().SetClockRanges(ranges);
    }
    AdapterBench bench;
};

struct RangeShape {
    const char* name;
    std::vector<SampleRateSubrange> ranges;
};

// What format negotiation offers a stereo client that takes any rate: the audio stack opens the
// pin with it.
TEST(ClockRange, NegotiationOffersTheDeviceRateWhateverTheRangeLooksLike)
{
    DeviceAt48k device;
    const RangeShape shapes[] = {
        {"one rate per subrange, rising", {{44100, 44100, 0}, {48000, 48000, 0}, {96000, 96000, 0}}},
        {"one rate per subrange, falling", {{192000, 192000, 0}, {96000, 96000, 0}, {48000, 48000, 0}, {44100, 44100, 0}}},
        {"continuous", {{44100, 192000, 1}}},
        {"continuous without a step", {{8000, 384000, 0}}},
        {"stepped through 48000", {{16000, 192000, 16000}}},
    };
    UsbAudioAdapter& adapter = device.bench.Adapter();
    PMINIPORTWAVECYCLIC miniport = nullptr;
    ASSERT_EQ(adapter.EngineCallback()->QueryInterface(IID_IMiniportWaveCyclic, reinterpret_cast<PVOID*>(&miniport)),
              STATUS_SUCCESS);
    const PCFILTER_DESCRIPTOR& filter = *adapter.GetFilterDescriptor();
    ULONG pin = 0;
    while (pin < filter.PinCount &&
           usbaudio::FilterPin(filter, pin)->Descriptor.KsPinDescriptor.Communication != KSPIN_COMMUNICATION_SINK) {
        ++pin;
    }
    ASSERT_LT(pin, filter.PinCount);
    KSDATARANGE* own = usbaudio::FilterPin(filter, pin)->Descriptor.KsPinDescriptor.DataRanges[0];
    for (const RangeShape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        device.SetRanges(shape.ranges);
        KSDATARANGE_AUDIO client = {};
        client.DataRange.FormatSize = sizeof client;
        client.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
        client.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        client.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
        client.MaximumChannels = 2;
        client.MinimumBitsPerSample = 16;
        client.MaximumBitsPerSample = 32;
        client.MinimumSampleFrequency = 8000;
        client.MaximumSampleFrequency = 384000;
        KsWaveFormatExtensible result = {};
        ULONG length = 0;
        ASSERT_EQ(miniport->DataRangeIntersection(pin, &client.DataRange, own, sizeof result, &result, &length),
                  STATUS_SUCCESS);
        EXPECT_EQ(result.WaveFormatExt.Format.nSamplesPerSec, kDeviceRate);
    }
    miniport->Release();
}

// A RANGE answer shorter than its count leaves the missing subranges all zero: they offer nothing,
// and above all not the rate 0, which would leave the device with no rate and no filter name.
TEST(ClockRange, AnAnswerCutShortOffersNoRateZero)
{
    DeviceAt48k device;
    for (uint8_t clock : {sim::devices::r9::kRenderClockSourceId, sim::devices::r9::kCaptureClockSourceId}) {
        device.bench.Device().Function().CutRangeReply(clock, 2);
    }
    UsbAudioAdapter& adapter = device.bench.Adapter();
    EXPECT_EQ(adapter.SetSampleRate(0, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(adapter.SetSampleRate(96000, nullptr), STATUS_INVALID_PARAMETER) << "not in the part that was sent";
    ULONG rate = 0;
    ASSERT_EQ(adapter.GetSampleRate(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, kDeviceRate);
    EXPECT_EQ(device.bench.FilterNames(), std::vector<std::u16string>{u"wave_48000"});
    ULONG lowest = 0;
    ULONG highest = 0;
    ASSERT_EQ(adapter.GetSampleRateRange(&lowest, &highest), STATUS_SUCCESS);
    EXPECT_EQ(lowest, 44100u);
    EXPECT_EQ(highest, 48000u);
}

}  // namespace
}  // namespace wavetest
