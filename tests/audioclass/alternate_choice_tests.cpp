// Which alternate carries a format: exact and best matches, format bits, 1.0 rate lists and the
// capture endpoint that must be asked; and the questions asked before a stream opens.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "sim/devices/r9/r9_device.h"
#include "tests/audioclass/audio_device_test_support.h"
#include "tests/audioclass/format_test_devices.h"
#include "tests/audioclass/model_test_support.h"

namespace audioclasstest {
namespace {

using namespace sim::usb;
using sim::devices::SampleRateSubrange;

constexpr USHORT kTagPcm = 1;
constexpr USHORT kTagIeeeFloat = 3;

class AlternateChoiceTest : public AudioDeviceTest {};

TEST_F(AlternateChoiceTest, ExactAndBestMatchesAndFormatBits)
{
    const std::vector<SampleRateSubrange> clock48k = {{48000, 48000, 0}};
    const struct {
        const char* name;
        std::vector<RenderAlternate> alternates;
        std::vector<SampleRateSubrange> clock;
        USHORT tag;
        ULONG channels;
        ULONG bits;
        NTSTATUS status;
        ULONG alternate;
        ULONG channelsOut;
        ULONG bitsOut;
    } cases[] = {
        {"an exact match gives its container", {{2, 16, 2}, {2, 24, 4}}, clock48k, kTagPcm, 2, 24, STATUS_SUCCESS, 2, 2,
         32},
        {"the first exact match wins", {{2, 24, 4}, {2, 24, 4}}, clock48k, kTagPcm, 2, 24, STATUS_SUCCESS, 1, 2, 32},
        {"no exact match: the widest", {{2, 24, 4}, {4, 24, 4}}, clock48k, kTagPcm, 8, 24, STATUS_SUCCESS, 2, 4, 32},
        {"of equal contenders the later", {{4, 16, 2}, {4, 16, 2}}, clock48k, kTagPcm, 2, 24, STATUS_SUCCESS, 2, 4, 16},
        {"more channels in a narrower container stay best", {{8, 16, 2}, {2, 32, 4}}, clock48k, kTagPcm, 6, 24,
         STATUS_SUCCESS, 1, 8, 16},
        {"PCM and float bits together are never chosen", {{2, 24, 4, kPcm | kIeeeFloat}, {2, 16, 2}}, clock48k,
         kTagPcm, 2, 24, STATUS_SUCCESS, 2, 2, 16},
        {"nor for float", {{2, 24, 4, kPcm | kIeeeFloat}, {2, 16, 2}}, clock48k, kTagIeeeFloat, 2, 24,
         STATUS_NOT_SUPPORTED, 0, 0, 0},
        {"a float-only alternate lacks the PCM bit", {{2, 32, 4, kIeeeFloat}}, clock48k, kTagIeeeFloat, 2, 32,
         STATUS_NOT_SUPPORTED, 0, 0, 0},
        {"8-bit samples need the PCM8 bit", {{2, 8, 1, kPcm}, {2, 8, 1, kPcm8}}, clock48k, kTagPcm, 2, 8,
         STATUS_SUCCESS, 2, 2, 8},
        {"a rate the clock does not offer", {{2, 24, 4}}, {{44100, 44100, 0}}, kTagPcm, 2, 24, STATUS_NOT_SUPPORTED, 0,
         0, 0},
        {"closing needs no clock at all", {{2, 24, 4}}, {}, kTagPcm, 0, 0, STATUS_SUCCESS, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CUSBAudioCL& driver = Start(Device20(c.alternates, true), UsbSpeed::High);
        Function().SetClockRanges(kFormatClock, c.clock);
        StreamingInterface* render = driver.GetStreamingInterface(kDirectionOut);
        ULONG channelsOut = 99;
        ULONG bitsOut = 99;
        ULONG alternate = 99;
        const uint64_t before = ControlTransfers();
        const ULONG rate = c.channels == 0 ? 0 : 48000;
        EXPECT_EQ(driver.FindAlternateSetting(render, c.tag, c.channels, c.bits, rate, &channelsOut, &bitsOut,
                                              &alternate),
                  c.status);
        if (c.status == STATUS_SUCCESS) {
            EXPECT_EQ(alternate, c.alternate);
            EXPECT_EQ(channelsOut, c.channelsOut);
            EXPECT_EQ(bitsOut, c.bitsOut);
        }
        // Choosing selects nothing; only the clock is asked whether it offers the rate.
        EXPECT_EQ(Device().Alternate(kRenderInterface), 0);
        EXPECT_EQ(ControlTransfers() - before, c.channels == 0 ? 0u : 2u);

        ULONG maxBytes = 0;
        EXPECT_EQ(driver.SelectStreamingFormat(kDirectionOut, c.tag, c.channels, c.bits, rate, 1, &channelsOut,
                                               &bitsOut, &maxBytes),
                  c.status);
        EXPECT_EQ(Device().Alternate(kRenderInterface), c.status == STATUS_SUCCESS ? c.alternate : 0);
    }
}

// A 1.0 alternate lists its rates: a rate between two listed ones is not one of them, but the
// widest-format question takes the list as a span.
TEST_F(AlternateChoiceTest, AudioClass10RateLists)
{
    CUSBAudioCL& driver = Start(std::make_unique<sim::devices::R9Device>(sim::devices::R9Variant::FullSpeedUac1));
    StreamingInterface* render = driver.GetStreamingInterface(kDirectionOut);
    const struct {
        ULONG rate;
        NTSTATUS status;
        ULONG alternate;
        ULONG bitsOut;
    } cases[] = {{44100, STATUS_SUCCESS, 1, 24},
                 {48000, STATUS_SUCCESS, 1, 24},
                 {46000, STATUS_NOT_SUPPORTED, 0, 0},
                 // Only the 16-bit alternate goes up to 96 kHz: the best one, not an exact match.
                 {96000, STATUS_SUCCESS, 2, 16}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rate);
        ULONG channelsOut = 0;
        ULONG bitsOut = 0;
        ULONG alternate = 0;
        EXPECT_EQ(driver.FindAlternateSetting(render, kTagPcm, 4, 24, c.rate, &channelsOut, &bitsOut, &alternate),
                  c.status);
        EXPECT_EQ(alternate, c.alternate);
        EXPECT_EQ(bitsOut, c.bitsOut);
    }
    ULONG channels = 0;
    ULONG bits = 0;
    EXPECT_EQ(driver.GetStreamFormat(kDirectionOut, kTagPcm, 46000, &channels, &bits), STATUS_SUCCESS);
    EXPECT_EQ(channels, 4u);
    EXPECT_EQ(bits, 24u);
    EXPECT_EQ(driver.GetStreamFormat(kDirectionOut, kTagPcm, 96000, &channels, &bits), STATUS_SUCCESS);
    EXPECT_EQ(bits, 16u);
    EXPECT_EQ(driver.GetStreamFormat(kDirectionOut, kTagPcm, 22050, &channels, &bits), STATUS_NO_MATCH);
}

// A 1.0 capture alternate that lists rates but cannot be told one runs at the rate its endpoint
// reports; the alternate is selected to ask and the previous one selected again.
TEST_F(AlternateChoiceTest, AudioClass10CaptureEndpointIsAsked)
{
    const struct {
        bool answers;
        ULONG rate;
        NTSTATUS status;
    } cases[] = {{true, 48000, STATUS_SUCCESS}, {true, 44100, STATUS_NOT_SUPPORTED}, {false, 48000, STATUS_NOT_SUPPORTED}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << (c.answers ? ", answered" : ", stalled"));
        CUSBAudioCL& driver = Start(Device10({2, 16, 2}, {44100, 48000}, 196, 1, false), UsbSpeed::Full);
        Function().SetEndpointRateReadableWithoutControl(c.answers);
        StreamingInterface* capture = driver.GetStreamingInterface(kDirectionIn);
        ULONG alternate = 0;
        const uint64_t before = ControlTransfers();
        EXPECT_EQ(driver.FindAlternateSetting(capture, kTagPcm, 2, 16, c.rate, nullptr, nullptr, &alternate),
                  c.status);
        // Select alternate 1, ask, select alternate 0 again.
        EXPECT_EQ(ControlTransfers() - before, 3u);
        EXPECT_EQ(Device().Alternate(kCaptureInterface), 0);
        EXPECT_EQ(capture->CurrentAlternate, 0u);
        EXPECT_EQ(alternate, c.status == STATUS_SUCCESS ? 1u : 0u);
    }
}

TEST_F(AlternateChoiceTest, RatesAndCapabilities)
{
    CUSBAudioCL& driver = Start(std::make_unique<sim::devices::R9Device>());
    EXPECT_EQ(driver.IsSampleRateSupported(352800), STATUS_SUCCESS);
    EXPECT_EQ(driver.IsSampleRateSupported(22050), STATUS_INVALID_PARAMETER);
    ULONG channels = 0;
    ULONG bits = 0;
    EXPECT_EQ(driver.GetStreamFormat(kDirectionIn, kTagPcm, 96000, &channels, &bits), STATUS_SUCCESS);
    EXPECT_EQ(channels, 4u);
    EXPECT_EQ(bits, 32u);
    EXPECT_EQ(driver.GetStreamFormat(kDirectionIn, kTagPcm, 22050, &channels, &bits), STATUS_NO_MATCH);
    EXPECT_EQ(driver.GetStreamFormat(kDirectionIn, kTagIeeeFloat, 96000, &channels, &bits), STATUS_NOT_SUPPORTED);

    const struct {
        sim::devices::R9Variant variant;
        ULONG minBits;
        ULONG maxBits;
        ULONG maxRate;
        ULONG supported;
    } cases[] = {{sim::devices::R9Variant::HighSpeedUac2, 16, 32, 384000, 176400},
                 {sim::devices::R9Variant::FullSpeedUac1, 16, 24, 96000, 88200}};
    for (const auto& c : cases) {
        CUSBAudioCL& r9 = Start(std::make_unique<sim::devices::R9Device>(c.variant));
        ULONG values[5] = {};
        EXPECT_EQ(r9.GetFormatCapabilities(kDirectionOut, &values[0], &values[1], &values[2], &values[3], &values[4]),
                  STATUS_SUCCESS);
        EXPECT_EQ(values[0], 4u);
        EXPECT_EQ(values[1], c.minBits);
        EXPECT_EQ(values[2], c.maxBits);
        EXPECT_EQ(values[3], 44100u);
        EXPECT_EQ(values[4], c.maxRate);
        EXPECT_EQ(r9.IsSampleRateSupported(c.supported), STATUS_SUCCESS);
        EXPECT_EQ(r9.IsSampleRateSupported(22050), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(r9.GetFormatCapabilities(7, &values[0], nullptr, nullptr, nullptr, nullptr),
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(values[0], 0u);
    }

    // A function without streaming interfaces has no rate to ask about.
    CUSBAudioCL& silent = Start(
        Configuration({ControlInterface(0),
                       uac2::AudioControl(0x0200, 0x08, 0, {uac2::ClockSource(kFormatClock, 0x03, 0x07, 0, 0)})}),
        UsbSpeed::High);
    EXPECT_EQ(silent.IsSampleRateSupported(48000), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(silent.GetStreamFormat(kDirectionOut, kTagPcm, 48000, &channels, &bits), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_FALSE(silent.IsClockStable(kDirectionOut));
}

}  // namespace
}  // namespace audioclasstest
