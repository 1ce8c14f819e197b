// Reservations, capabilities and client formats; power transitions; and what removal leaves.
#include "sim/devices/r9/r9_descriptors.h"
#include "sim/pnp/pnp_manager.h"
#include "tests/adapter/adapter_bench.h"

namespace adaptertest {
namespace {

namespace r9 = sim::devices::r9;

class StartedR9 : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(bench_.Plug(), STATUS_SUCCESS); }
    UsbAudioAdapter& Adapter() { return bench_.Adapter(); }
    // Puts the direction on the alternate of its widest PCM format at the device rate.
    void SelectWidestFormat(StreamDirection direction)
    {
        ULONG channels = 0, bits = 0;
        ASSERT_EQ(Adapter().UsbAudio().GetStreamFormat(direction, WAVE_FORMAT_PCM, 44100, &channels, &bits),
                  STATUS_SUCCESS);
        ASSERT_EQ(Adapter().UsbAudio().SelectStreamingFormat(direction, WAVE_FORMAT_PCM, channels, bits, 44100, 8,
                                                             nullptr, nullptr, nullptr),
                  STATUS_SUCCESS);
    }

    AdapterBench bench_;
};

TEST_F(StartedR9, ExclusiveReservationOnlyOnAnIdleDevice)
{
    struct Step {
        bool release;
        bool in, out, exclusive;
        NTSTATUS expected;
    };
    const Step steps[] = {
        {false, true, false, false, STATUS_SUCCESS},     // a capture stream
        {false, false, true, false, STATUS_SUCCESS},     // and a render stream
        {false, true, true, true, STATUS_DEVICE_BUSY},   // an exclusive ASIO stream must wait
        {true, true, false, false, STATUS_SUCCESS},
        {false, true, true, true, STATUS_DEVICE_BUSY},   // the render stream still holds
        {true, false, true, false, STATUS_SUCCESS},
        {false, true, true, true, STATUS_SUCCESS},       // now it gets the device
        {false, false, true, false, STATUS_DEVICE_BUSY}, // and nobody else does
        {true, true, true, false, STATUS_SUCCESS},
        {false, false, true, false, STATUS_SUCCESS},
    };
    int index = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(index++);
        const NTSTATUS status = step.release ? Adapter().ReleaseDirections(step.in, step.out)
                                             : Adapter().ReserveDirections(step.in, step.out, step.exclusive);
        EXPECT_EQ(status, step.expected);
    }
    // Releasing what is not held is harmless.
    EXPECT_EQ(Adapter().ReleaseDirections(TRUE, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Adapter().ReleaseDirections(TRUE, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Adapter().ReserveDirections(TRUE, TRUE, TRUE), STATUS_SUCCESS);
}

TEST_F(StartedR9, CapabilitiesOfferTheDeviceRateAndEightBitClients)
{
    ULONG channels = 0, minBits = 0, maxBits = 0, minRate = 0, maxRate = 0;
    ASSERT_EQ(Adapter().GetDirectionCapabilities(kDirectionOut, &channels, &minBits, &maxBits, &minRate, &maxRate),
              STATUS_SUCCESS);
    EXPECT_EQ(channels, 4u);
    EXPECT_EQ(minBits, 8u);
    EXPECT_EQ(minRate, 44100u);
    EXPECT_EQ(maxRate, 384000u);
    EXPECT_GT(maxBits, 16u);
}

// Streaming pins take their terminal's direction; bridge pins that of the chain they end:
// the capture chain starts at its bridge inputs, the render chain ends at its bridge outputs.
TEST_F(StartedR9, PinsMapToTheirDirection)
{
    const PCFILTER_DESCRIPTOR& filter = *Adapter().GetFilterDescriptor();
    ASSERT_GT(filter.PinCount, 0u);
    int seen[2] = {0, 0};
    for (ULONG pin = 0; pin < filter.PinCount; ++pin) {
        SCOPED_TRACE(pin);
        const KSPIN_DESCRIPTOR& ks =
            reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(filter.Pins) + pin * filter.PinSize)
                ->KsPinDescriptor;
        const bool bridge = ks.Communication == KSPIN_COMMUNICATION_BRIDGE;
        const StreamDirection expected =
            (ks.DataFlow == KSPIN_DATAFLOW_OUT) != bridge ? kDirectionIn : kDirectionOut;
        StreamDirection direction = 9;
        ASSERT_EQ(UsbAudioAdapterTestAccess::PinDirection(Adapter(), pin, &direction), STATUS_SUCCESS);
        EXPECT_EQ(direction, expected);
        ++seen[direction];
        ULONG channels = 0, minBits = 0, maxBits = 0, minRate = 0, maxRate = 0;
        ASSERT_EQ(Adapter().GetPinCapabilities(pin, &channels, &minBits, &maxBits, &minRate, &maxRate),
                  STATUS_SUCCESS);
        EXPECT_EQ(minRate, 44100u);
    }
    EXPECT_GT(seen[kDirectionOut], 0);
    EXPECT_GT(seen[kDirectionIn], 0);
    ULONG value = 0;
    EXPECT_EQ(Adapter().GetPinCapabilities(filter.PinCount, &value, &value, &value, &value, &value),
              STATUS_INVALID_PARAMETER);
}

TEST_F(StartedR9, DirectionFormatMustCarryTheDeviceRate)
{
    EXPECT_EQ(Adapter().SetDirectionFormat(kDirectionOut, WAVE_FORMAT_PCM, 2, 16, 48000), STATUS_NO_MATCH);
    EXPECT_FALSE(Adapter().IsDirectionFormatSet(kDirectionOut));
    ASSERT_EQ(Adapter().SetDirectionFormat(kDirectionOut, WAVE_FORMAT_PCM, 2, 16, 44100), STATUS_SUCCESS);
    EXPECT_TRUE(Adapter().IsDirectionFormatSet(kDirectionOut));
    EXPECT_EQ(Adapter().GetDirectionFormat(kDirectionOut).blockAlign, 4u);
    ASSERT_EQ(Adapter().ReplaceDirectionFormat(kDirectionOut, WAVE_FORMAT_PCM, 4, 32, 44100), STATUS_SUCCESS);
    EXPECT_EQ(Adapter().GetDirectionFormat(kDirectionOut).blockAlign, 16u);

    Adapter().ClearDirectionFormat(kDirectionOut);
    EXPECT_FALSE(Adapter().IsDirectionFormatSet(kDirectionOut));
    EXPECT_EQ(Adapter().GetDirectionFormat(kDirectionOut).sampleRate, 0u);
    EXPECT_EQ(Adapter().GetDirectionFormat(kDirectionOut).channels, 0u);
}

TEST_F(StartedR9, SettingAFormatPurgesTheDirectionsQueuedRegions)
{
    UCHAR buffer[64];
    Adapter().QueueRenderRegion(buffer, 32);
    Adapter().QueueRenderRegion(buffer + 32, 32);
    Adapter().QueueCaptureRegion(buffer, 16, FALSE);
    EXPECT_EQ(Adapter().QueuedRegionBytes(kDirectionOut), 64u);
    ASSERT_EQ(Adapter().SetDirectionFormat(kDirectionOut, WAVE_FORMAT_PCM, 2, 16, 44100), STATUS_SUCCESS);
    EXPECT_EQ(Adapter().QueuedRegionBytes(kDirectionOut), 0u);
    EXPECT_EQ(Adapter().QueuedRegionBytes(kDirectionIn), 16u);
}

TEST_F(StartedR9, FormatRangeMustCarryTheDeviceRate)
{
    // The first streaming pin and the bits of its first data range.
    const PCFILTER_DESCRIPTOR& filter = *Adapter().GetFilterDescriptor();
    ULONG pin = 0;
    const KSPIN_DESCRIPTOR* ks = nullptr;
    for (; pin < filter.PinCount; ++pin) {
        ks = &reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(filter.Pins) +
                                                        pin * filter.PinSize)->KsPinDescriptor;
        if (ks->Communication == KSPIN_COMMUNICATION_SINK) {
            break;
        }
    }
    ASSERT_LT(pin, filter.PinCount);
    ASSERT_GT(ks->DataRangesCount, 0u);
    const auto* range = reinterpret_cast<const KSDATARANGE_AUDIO*>(ks->DataRanges[0]);

    ULONG channels = 2, minBits = range->MinimumBitsPerSample, maxBits = range->MaximumBitsPerSample;
    ULONG minRate = 44100, maxRate = 44100;
    EXPECT_EQ(Adapter().GetPinFormatRange(pin, &channels, &minBits, &maxBits, &minRate, &maxRate), STATUS_SUCCESS);
    EXPECT_EQ(minRate, 44100u);
    EXPECT_EQ(maxRate, 44100u);

    maxRate = 48000;
    EXPECT_EQ(Adapter().GetPinFormatRange(pin, &channels, &minBits, &maxBits, &minRate, &maxRate), STATUS_NO_MATCH);
    maxRate = 44100;
    channels = 3;
    EXPECT_EQ(Adapter().GetPinFormatRange(pin, &channels, &minBits, &maxBits, &minRate, &maxRate), STATUS_NO_MATCH);
    EXPECT_EQ(Adapter().GetPinFormatRange(pin, nullptr, &minBits, &maxBits, &minRate, &maxRate),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Adapter().GetPinFormatRange(filter.PinCount, &channels, &minBits, &maxBits, &minRate, &maxRate),
              STATUS_INVALID_PARAMETER);
}

TEST_F(StartedR9, SignalProcessingModesOfStreamingPinsOnly)
{
    const PCFILTER_DESCRIPTOR& filter = *Adapter().GetFilterDescriptor();
    for (ULONG pin = 0; pin < filter.PinCount; ++pin) {
        SCOPED_TRACE(pin);
        const PCPIN_DESCRIPTOR& descriptor =
            *reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(filter.Pins) + pin * filter.PinSize);
        const bool bridge = descriptor.KsPinDescriptor.Communication == KSPIN_COMMUNICATION_BRIDGE;
        GUID mode{};
        ULONG count = 0;
        EXPECT_EQ(Adapter().GetSignalProcessingModes(pin, &mode, &count),
                  bridge ? STATUS_NOT_SUPPORTED : STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(count, bridge ? 0u : 1u);
        if (!bridge) {
            EXPECT_EQ(Adapter().GetSignalProcessingModes(pin, &mode, &count), STATUS_SUCCESS);
            EXPECT_EQ(mode, AUDIO_SIGNALPROCESSINGMODE_RAW);
        }
    }
    ULONG count = 5;
    EXPECT_EQ(Adapter().GetSignalProcessingModes(filter.PinCount, nullptr, &count), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Adapter().GetSignalProcessingModes(0, nullptr, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(StartedR9, PowerToTheSameStateDoesNothing)
{
    ASSERT_NO_FATAL_FAILURE(SelectWidestFormat(kDirectionOut));
    const uint8_t alternate = bench_.Device().Alternate(r9::kRenderInterface);
    ASSERT_NE(alternate, 0);
    EXPECT_EQ(sim::pnp::SetDevicePower(bench_.Bus().Pdo(), PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(bench_.Device().Alternate(r9::kRenderInterface), alternate);
    EXPECT_EQ(Adapter().PowerState(), PowerDeviceD0);
}

TEST_F(StartedR9, ReturnToD0SelectsZeroBandwidthAndResendsTheDsdMode)
{
    ASSERT_EQ(Adapter().SetDsdMode(1), STATUS_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(SelectWidestFormat(kDirectionIn));
    ASSERT_NE(bench_.Device().Alternate(r9::kCaptureInterface), 0);

    EXPECT_EQ(sim::pnp::SetDevicePower(bench_.Bus().Pdo(), PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(Adapter().PowerState(), PowerDeviceD3);
    // While the device was off its firmware forgot the mode.
    bench_.Device().Function().BusReset();
    ASSERT_EQ(bench_.Device().Function().StreamingMode(r9::kRenderInterface), 0u);

    EXPECT_EQ(sim::pnp::SetDevicePower(bench_.Bus().Pdo(), PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(Adapter().PowerState(), PowerDeviceD0);
    EXPECT_EQ(bench_.Device().Alternate(r9::kCaptureInterface), 0);
    EXPECT_EQ(bench_.Device().Function().StreamingMode(r9::kRenderInterface), 1u);
    EXPECT_EQ(bench_.Device().Function().StreamingMode(r9::kCaptureInterface), 1u);
}

TEST_F(StartedR9, CancelledQueryRemoveLeavesNewWorkRefused)
{
    ASSERT_EQ(sim::pnp::QueryRemoveDevice(bench_.Bus().Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(sim::pnp::CancelRemoveDevice(bench_.Bus().Pdo()), STATUS_SUCCESS);
    ULONG value = 0;
    EXPECT_EQ(Adapter().GetDirectionCapabilities(kDirectionOut, &value, &value, &value, &value, &value),
              STATUS_DELETE_PENDING);
    EXPECT_EQ(Adapter().SetDirectionFormat(kDirectionOut, WAVE_FORMAT_PCM, 2, 16, 44100), STATUS_DELETE_PENDING);
    UCHAR buffer[16];
    Adapter().QueueRenderRegion(buffer, sizeof buffer);
    EXPECT_EQ(Adapter().QueuedRegionBytes(kDirectionOut), 0u);
    // The device itself still answers what does not start new work.
    ULONG rate = 0;
    EXPECT_EQ(Adapter().GetSampleRate(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 44100u);
}

TEST_F(StartedR9, QueryInterfaceAnswersTheAdaptersInterfaces)
{
    struct Case {
        const char* name;
        GUID id;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"IUnknown", IID_IUnknown, STATUS_SUCCESS},
        {"adapter", IID_IUsbAudioAdapter, STATUS_SUCCESS},
        {"power", IID_IAdapterPowerManagement, STATUS_SUCCESS},
        {"DSD", IID_IUsbAudioAdapterDsd, STATUS_SUCCESS},
        {"notify", IID_IUsbAudioAdapterNotify, STATUS_SUCCESS},
        {"miniport", IID_IMiniportWaveCyclic, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PVOID object = reinterpret_cast<PVOID>(1);
        EXPECT_EQ(Adapter().QueryInterface(c.id, &object), c.expected);
        EXPECT_EQ(object != nullptr, NT_SUCCESS(c.expected));
        if (object != nullptr) {
            static_cast<IUnknown*>(object)->Release();
        }
    }
    PVOID notify = nullptr;
    ASSERT_EQ(Adapter().QueryInterface(IID_IUsbAudioAdapterNotify, &notify), STATUS_SUCCESS);
    EXPECT_FALSE(static_cast<IUsbAudioAdapterNotify*>(notify)->OnPositionReport(10, 20));
    static_cast<IUsbAudioAdapterNotify*>(notify)->Release();

    DEVICE_CAPABILITIES capabilities{};
    capabilities.D1Latency = 11;
    EXPECT_EQ(Adapter().QueryDeviceCapabilities(&capabilities), STATUS_SUCCESS);
    EXPECT_TRUE(capabilities.SurpriseRemovalOK);
    EXPECT_EQ(capabilities.D1Latency, 11u);
}

}  // namespace
}  // namespace adaptertest
