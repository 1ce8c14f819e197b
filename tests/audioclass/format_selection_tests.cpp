// Streaming format selection against simulated devices: configuration, the packet figures with the
// pipe interval as corrected, the explicit-feedback and shared-clock forms.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/devices/r9/r9_descriptors.h"
#include "sim/devices/r9/r9_device.h"
#include "tests/audioclass/audio_device_test_support.h"
#include "tests/audioclass/format_test_devices.h"
#include "tests/audioclass/model_test_support.h"

namespace audioclasstest {
namespace {

using namespace sim::usb;

constexpr USHORT kTagPcm = 1;
constexpr ULONG kTwoMilliseconds = 2;

struct FigureCase {
    const char* name;
    bool highSpeed;
    bool audioClass20;
    RenderAlternate format;
    ULONG rate;
    uint8_t interval;  // bInterval of the data endpoint
    uint16_t maxPacket;
    // Expected:
    UCHAR pipeInterval;
    ULONG packetInterval;  // H
    ULONG bytesPerSampleFrame;
    ULONG nominal;
    ULONG minimum;
    ULONG maximum;
    bool wholeFrames;
    ULONG maxBytesPerTwoMilliseconds;
    ULONG nominalFeedback;
};

const FigureCase kFigureCases[] = {
    // Q = 6 frames exactly: the packet may shrink or grow by one.
    {"HighSpeed48kHz", true, true, {2, 24, 4}, 48000, 1, 392, 1, 1, 8, 48, 40, 56, true, 392 * 8 * 2, 0x60000},
    // 5.5125 frames: packets of 5 or 6.
    {"HighSpeed44k1Hz", true, true, {2, 24, 4}, 44100, 1, 392, 1, 1, 8, 40, 40, 48, false, 392 * 8 * 2, 2890137 / 8},
    {"FullSpeed44k1Hz", false, true, {2, 16, 2}, 44100, 1, 196, 1, 1, 4, 176, 176, 180, false, 196 * 2, 2890137},
    {"FullSpeed44k1HzAudioClass10", false, false, {2, 16, 2}, 44100, 1, 196, 1, 1, 4, 176, 176, 180, false, 196 * 2,
     2890137},
    // A packet every second microframe carries 12 frames; four packets per millisecond.
    {"HighSpeed48kHzEveryTwoMicroframes", true, true, {2, 24, 4}, 48000, 2, 392, 2, 2, 8, 96, 88, 104, true,
     392 * 4 * 2, 0x60000 * 2},
    // Intervals the driver cannot serve are corrected in the pipe and used so.
    {"HighSpeedInterval0TakenAs1", true, true, {2, 24, 4}, 48000, 0, 392, 1, 1, 8, 48, 40, 56, true, 392 * 8 * 2,
     0x60000},
    {"FullSpeedInterval4TakenAs1", false, true, {2, 16, 2}, 48000, 4, 196, 1, 1, 4, 192, 188, 196, true, 196 * 2,
     0x300000},
    {"HighSpeedAudioClass10Interval6TakenAs4", true, false, {2, 16, 2}, 48000, 6, 200, 4, 8, 4, 192, 188, 196, true,
     200 * 2, 0x300000},
};

class PacketFigures : public AudioDeviceTest, public ::testing::WithParamInterface<FigureCase> {};

TEST_P(PacketFigures, OfTheSelectedRenderFormat)
{
    const FigureCase& c = GetParam();
    const RenderAlternate& f = c.format;
    const Bytes configuration = c.audioClass20 ? Device20({f}, c.highSpeed, c.maxPacket, c.interval)
                                               : Device10(f, {44100, 48000}, c.maxPacket, c.interval);
    CUSBAudioCL& driver = Start(configuration, c.highSpeed ? UsbSpeed::High : UsbSpeed::Full);
    ULONG channels = 0;
    ULONG bits = 0;
    ULONG maxBytes = 0;
    ASSERT_EQ(driver.SelectStreamingFormat(kDirectionOut, kTagPcm, f.channels, f.bits, c.rate, kTwoMilliseconds,
                                           &channels, &bits, &maxBytes),
              STATUS_SUCCESS);
    const StreamingInterface* render = driver.GetStreamingInterface(kDirectionOut);
    EXPECT_EQ(channels, f.channels);
    EXPECT_EQ(bits, f.subslotBytes * 8u);
    EXPECT_EQ(render->CurrentAlternate, 1u);
    EXPECT_EQ(Device().Alternate(kRenderInterface), 1);
    ASSERT_NE(render->DataPipe, nullptr);
    EXPECT_EQ(render->DataPipe->Interval, c.pipeInterval);
    ASSERT_NE(render->FeedbackPipe, nullptr);
    EXPECT_EQ(driver.GetPacketInterval(), c.packetInterval);
    EXPECT_EQ(render->BytesPerSampleFrame, c.bytesPerSampleFrame);
    EXPECT_EQ(render->NominalPacketBytes, c.nominal);
    EXPECT_EQ(render->MinimumPacketBytes, c.minimum);
    EXPECT_EQ(render->MaximumPacketBytes, c.maximum);
    EXPECT_EQ(render->WholeFrames != 0, c.wholeFrames);
    EXPECT_EQ(render->Rate, c.rate);
    EXPECT_EQ(maxBytes, c.maxBytesPerTwoMilliseconds);
    EXPECT_EQ(driver.GetNominalFeedback(kDirectionOut), c.nominalFeedback);
    EXPECT_EQ(render->NominalFeedbackValue, c.nominalFeedback);
    ASSERT_NE(driver.GetRenderPacketPattern(), nullptr);
    EXPECT_EQ(driver.GetRenderPacketPattern()->Rate, c.rate);
    EXPECT_EQ(driver.GetPatternPosition(), 0u);
    // The device runs at the rate: its clock on 2.0, its endpoint on 1.0.
    EXPECT_EQ(c.audioClass20 ? Function().ClockRate(kFormatClock) : Function().EndpointRate(kRenderEndpoint), c.rate);

    // Closing the stream: alternate 0, every figure 0.
    ASSERT_EQ(driver.SelectStreamingFormat(kDirectionOut, kTagPcm, 0, 0, 0, kTwoMilliseconds, &channels, &bits,
                                           &maxBytes),
              STATUS_SUCCESS);
    EXPECT_EQ(Device().Alternate(kRenderInterface), 0);
    EXPECT_EQ(render->DataPipe, nullptr);
    EXPECT_EQ(render->NominalPacketBytes, 0u);
    EXPECT_EQ(maxBytes, 0u);
    EXPECT_EQ(driver.GetPacketInterval(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Rates, PacketFigures, ::testing::ValuesIn(kFigureCases),
                         [](const ::testing::TestParamInfo<FigureCase>& info) { return info.param.name; });

class FormatSelectionTest : public AudioDeviceTest {};

// The explicit-feedback form renders only rates with a packet pattern and says so before asking
// the device anything; the shared-clock form does not look.
TEST_F(FormatSelectionTest, RenderRateWithoutPacketPatternIsRefusedUnasked)
{
    CUSBAudioCL& driver = Start(Device20({{2, 24, 4}}, true), UsbSpeed::High);
    Function().SetClockRanges(kFormatClock, {{12000, 12000, 0}, {48000, 48000, 0}});
    ULONG channels = 0;
    ULONG bits = 0;
    ULONG maxBytes = 0;
    const uint64_t before = ControlTransfers();
    EXPECT_EQ(driver.SelectStreamingFormat(kDirectionOut, kTagPcm, 2, 24, 12000, 1, &channels, &bits, &maxBytes),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(ControlTransfers(), before);
    EXPECT_EQ(driver.GetRenderPacketPattern(), nullptr);

    ULONG nominal = 0;
    LONG below = 0;
    LONG above = 0;
    EXPECT_EQ(driver.SelectStreamingFormat(kDirectionOut, kTagPcm, 2, 24, 12000, 1, &channels, &bits, &nominal,
                                           &below, &above, &maxBytes),
              STATUS_SUCCESS);
    EXPECT_EQ(Function().ClockRate(kFormatClock), 12000u);
    EXPECT_EQ(Device().Alternate(kRenderInterface), 1);
    // 1.5 frames per microframe: packets of 1 or 2, 12 frames per millisecond.
    EXPECT_EQ(nominal, 8u * 8);
    EXPECT_EQ(below, 0);
    EXPECT_EQ(above, 8);
}

// A device may declare its data endpoint with another transfer type, whose interval the stack
// passes on uncorrected: the packet figures still hold it to what an isochronous endpoint could
// have (found by fuzzing: the interval shifted a 32-bit value by 110 bits).
TEST_F(FormatSelectionTest, DataEndpointOfAnotherTypeCannotStretchThePackets)
{
    constexpr uint8_t kInterrupt = 0x03;
    Bytes configuration = Device20({{2, 24, 4}}, true, 392, 111);
    for (size_t at = 0; at + 3 < configuration.size() && configuration[at] != 0; at += configuration[at]) {
        if (configuration[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && configuration[at + 2] == kRenderEndpoint) {
            configuration[at + 3] = kInterrupt;
        }
    }
    CUSBAudioCL& driver = Start(configuration, UsbSpeed::High);
    ULONG channels = 0;
    ULONG bits = 0;
    ULONG maxBytes = 0;
    ASSERT_EQ(driver.SelectStreamingFormat(kDirectionOut, kTagPcm, 2, 24, 48000, kTwoMilliseconds, &channels, &bits,
                                           &maxBytes),
              STATUS_SUCCESS);
    const StreamingInterface* render = driver.GetStreamingInterface(kDirectionOut);
    ASSERT_NE(render->DataPipe, nullptr);
    EXPECT_EQ(render->DataPipe->Interval, 111);
    // A packet every 2^(4-1) microframes: 48 frames of 8 bytes.
    EXPECT_EQ(driver.GetPacketInterval(), 8u);
    EXPECT_EQ(render->NominalPacketBytes, 48u * 8);
    EXPECT_EQ(maxBytes, 392u * 2);
}

// Shared-clock form on the R9's shared-clock variant: the period's figures, 1 ms of 8 packets.
TEST_F(FormatSelectionTest, SharedClockFormGivesThePeriodFigures)
{
    CUSBAudioCL& driver = Start(std::make_unique<sim::devices::R9Device>(sim::devices::R9Variant::SharedClock));
    ASSERT_TRUE(driver.GetModel().IsClockShared());
    const struct {
        ULONG rate;
        ULONG nominal;
        LONG below;
        LONG above;
    } cases[] = {{48000, 6 * 16 * 8, -8, 8}, {44100, 5 * 16 * 8, 0, 8}, {96000, 12 * 16 * 8, -8, 8}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rate);
        ULONG channels = 0;
        ULONG bits = 0;
        ULONG nominal = 0;
        LONG below = 1;
        LONG above = 0;
        ULONG maxBytes = 0;
        EXPECT_EQ(driver.SelectStreamingFormat(kDirectionOut, kTagPcm, 4, 24, c.rate, 1, &channels, &bits, &nominal,
                                               &below, &above, &maxBytes),
                  STATUS_SUCCESS);
        EXPECT_EQ(nominal, c.nominal);
        EXPECT_EQ(below, c.below);
        EXPECT_EQ(above, c.above);
        EXPECT_EQ(maxBytes, 784u * 8);
        EXPECT_EQ(bits, 32u);
    }
    EXPECT_EQ(driver.GetRenderPacketPattern(), nullptr);

    // Closed: no bytes per sample frame to count frames in.
    ULONG nominal = 1;
    LONG below = 0;
    EXPECT_EQ(driver.SelectStreamingFormat(kDirectionOut, kTagPcm, 0, 0, 0, 1, nullptr, nullptr, &nominal, &below,
                                           nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(nominal, 0u);
    EXPECT_EQ(Device().Alternate(sim::devices::r9::kRenderInterface), 0);
}

// The configuration request carries the audio interfaces only, unless the device is one of those
// that stall their endpoints without all of them.
TEST_F(FormatSelectionTest, ConfigurationHoldsTheAudioInterfaces)
{
    constexpr uint8_t kVendorInterface = 3;
    constexpr uint8_t kVendorClass = 0xFF;
    const Bytes configuration = Device20({{2, 24, 4}}, true, 392, 1,
                                         Concat({Interface(kVendorInterface, 0, 1, kVendorClass, 0, 0),
                                                 Endpoint(0x83, 0x02, 512, 0)}));
    const struct {
        uint16_t product;
        NTSTATUS vendorInterface;
    } cases[] = {{0x0001, STATUS_INVALID_PARAMETER}, {0x0007, STATUS_SUCCESS}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.product);
        DescriptorSet set = DeviceSet(configuration, UsbSpeed::High);
        set.device = DeviceWithIds(0x3A5C, c.product);
        CUSBAudioCL& driver = Start(std::make_unique<sim::devices::AudioClassDevice>(set, UsbSpeed::High));
        EXPECT_EQ(Device().Configuration(), 1);
        for (ULONG direction : {ULONG(kDirectionOut), ULONG(kDirectionIn)}) {
            const StreamingInterface* record = driver.GetStreamingInterface(direction);
            EXPECT_EQ(record->CurrentAlternate, 0u);
            EXPECT_EQ(record->DataPipe, nullptr);
            EXPECT_EQ(Device().Alternate(record->InterfaceNumber), 0);
        }
        EXPECT_EQ(driver.SelectAlternate(kVendorInterface, 0), c.vendorInterface);
    }
}

}  // namespace
}  // namespace audioclasstest
