// Audio Class control requests against simulated devices built from descriptor bytes: clock RANGE
// and validity, clock selectors, feature-unit mute and volume, terminal connectors, the device rate
// of both directions and the streaming mode.
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "driver/usbaudio/audio_requests.h"
#include "driver/usbaudio/audio_terminal.h"
#include "driver/usbaudio/clock_entity.h"
#include "driver/usbaudio/feature_unit.h"
#include "sim/devices/r9/r9_descriptors.h"
#include "sim/devices/r9/r9_device.h"
#include "tests/audioclass/audio_device_test_support.h"
#include "tests/audioclass/model_test_support.h"

namespace audioclasstest {
namespace {

using namespace sim::usb;
using sim::devices::AudioClassDevice;
using sim::devices::SampleRateSubrange;

constexpr uint8_t kInternalClock = 0x03;
constexpr uint8_t kFrequencyReadWriteValidityRead = 0x07;
constexpr uint8_t kFrequencyReadWriteOnly = 0x03;
constexpr uint8_t kSelectorReadWrite = 0x03;
constexpr uint16_t kConnectorReadable = 0x0004;
constexpr uint8_t kClockA = 10;
constexpr uint8_t kClockB = 11;
constexpr uint8_t kSelector = 20;
constexpr uint8_t kRenderTerminal = 1;
constexpr uint8_t kFeatureUnit = 2;
constexpr uint8_t kSpeaker = 3;
constexpr uint8_t kLineIn = 4;
constexpr uint8_t kCaptureTerminal = 6;
constexpr ULONG kNoLimit = std::numeric_limits<ULONG>::max();
constexpr int64_t kMillisecond = 1000000;

// Master: mute and volume read/write; channel 1: mute read/write, volume read-only; channel 2:
// nothing.
const std::vector<uint32_t> kFeatureControls = {0x0F, 0x07, 0x00};

// High speed, Audio Class 2.0: the clock entities given, render IT 1 -> FU 2 -> OT 3 (speaker)
// and capture IT 4 (line) -> OT 6, every terminal on `terminalClock`; the speaker and the line
// input report their connectors. Streaming interface 1 renders, 2 captures.
Bytes Device20(const Bytes& clocks, uint8_t terminalClock)
{
    return Configuration(
        {ControlInterface(0),
         uac2::AudioControl(
             0x0200, 0x08, 0,
             {clocks,
              uac2::InputTerminal(kRenderTerminal, kTerminalUsbStreaming, 0, terminalClock, 2, 0, 0, 0, 0),
              uac2::FeatureUnit(kFeatureUnit, kRenderTerminal, kFeatureControls, 0),
              uac2::OutputTerminal(kSpeaker, kTerminalSpeaker, 0, kFeatureUnit, terminalClock, kConnectorReadable, 0),
              uac2::InputTerminal(kLineIn, kTerminalLineConnector, 0, terminalClock, 2, 0, 0, kConnectorReadable, 0),
              uac2::OutputTerminal(kCaptureTerminal, kTerminalUsbStreaming, 0, kLineIn, terminalClock, 0, 0)}),
         Streaming20(1, kRenderTerminal, 0x01), Streaming20(2, kCaptureTerminal, 0x82)});
}

Bytes OneClock(uint8_t controls) { return uac2::ClockSource(kClockA, kInternalClock, controls, 0, 0); }

// Two clocks behind a selector.
Bytes SelectedClocks()
{
    return Concat({uac2::ClockSource(kClockA, kInternalClock, kFrequencyReadWriteValidityRead, 0, 0),
                   uac2::ClockSource(kClockB, kInternalClock, kFrequencyReadWriteValidityRead, 0, 0),
                   uac2::ClockSelector(kSelector, {kClockA, kClockB}, kSelectorReadWrite, 0)});
}

// Full speed, Audio Class 1.0: IT 1 -> FU 2 (mute and volume everywhere) -> OT 3, IT 4 -> OT 6.
Bytes Device10()
{
    return Configuration(
        {ControlInterface(0),
         uac1::AudioControl(0x0100, {1, 2},
                            {uac1::InputTerminal(kRenderTerminal, kTerminalUsbStreaming, 0, 2, 0, 0, 0),
                             uac1::FeatureUnit(kFeatureUnit, kRenderTerminal, 1, {0x03, 0x03, 0x03}, 0),
                             uac1::OutputTerminal(kSpeaker, kTerminalSpeaker, 0, kFeatureUnit, 0),
                             uac1::InputTerminal(kLineIn, kTerminalLineConnector, 0, 2, 0, 0, 0),
                             uac1::OutputTerminal(kCaptureTerminal, kTerminalUsbStreaming, 0, kLineIn, 0)}),
         Streaming10(1, kRenderTerminal, 0x01), Streaming10(2, kCaptureTerminal, 0x82)});
}

std::vector<SampleRateSubrange> Rates(std::initializer_list<uint32_t> rates)
{
    std::vector<SampleRateSubrange> ranges;
    for (uint32_t rate : rates) {
        ranges.push_back({rate, rate, 0});
    }
    return ranges;
}

class ControlRequestTest : public AudioDeviceTest {
protected:
    CUSBAudioClockEntity* Clock(ULONG id) { return CUSBAudioClockEntity::FromEntity(driver_->FindEntity(id)); }
    CUSBAudioClockSelector* Selector() { return static_cast<CUSBAudioClockSelector*>(Clock(kSelector)); }
    CUSBAudioFeatureUnit* Unit() { return static_cast<CUSBAudioFeatureUnit*>(driver_->FindEntity(kFeatureUnit)); }
    CUSBAudioTerminal* Terminal(ULONG id) { return CUSBAudioTerminal::FromEntity(driver_->FindEntity(id)); }
};

// A subrange lists a rate only as a single rate or on a non-zero step; the range's ends come only
// from rates within the limits, the first subrange's as any other's.
TEST_F(ControlRequestTest, ClockRangeSubrangesAndLimits)
{
    Start(Device20(OneClock(kFrequencyReadWriteValidityRead), kClockA), UsbSpeed::High);
    const struct {
        const char* name;
        std::vector<SampleRateSubrange> ranges;
        ULONG lowerLimit;
        ULONG upperLimit;
        ULONG low;
        ULONG high;
        std::vector<ULONG> supported;
        std::vector<ULONG> refused;
    } cases[] = {
        {"a range without a step", {{44100, 48000, 0}}, 0, kNoLimit, 44100, 48000, {}, {44100, 46000, 48000}},
        {"single rates", Rates({44100, 48000, 88200}), 0, kNoLimit, 44100, 88200, {44100, 48000, 88200}, {46000, 96000}},
        {"single rates below an upper limit", Rates({44100, 48000, 88200}), 0, 50000, 44100, 48000, {}, {}},
        {"a first subrange beyond the limits is left out", Rates({192000, 44100, 48000}), 45000, 96000, 48000, 48000,
         {}, {}},
        {"a stepped range", {{8000, 48000, 8000}}, 0, kNoLimit, 8000, 48000, {8000, 32000, 48000}, {44100, 56000}},
        {"several stepped ranges", {{8000, 16000, 8000}, {44100, 88200, 44100}}, 0, kNoLimit, 8000, 88200,
         {16000, 88200}, {24000, 66150}},
        {"no subranges", {}, 0, kNoLimit, 0, 0, {}, {44100}},
    };
    CUSBAudioClockEntity* clock = Clock(kClockA);
    ASSERT_NE(clock, nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Function().SetClockRanges(kClockA, c.ranges);
        ULONG low = 1;
        ULONG high = 1;
        const uint64_t before = ControlTransfers();
        EXPECT_EQ(clock->GetSampleRateRange(&low, &high, c.lowerLimit, c.upperLimit), STATUS_SUCCESS);
        // The head of the answer first, then all of it.
        EXPECT_EQ(ControlTransfers() - before, 2u);
        EXPECT_EQ(low, c.low);
        EXPECT_EQ(high, c.high);
        for (ULONG rate : c.supported) {
            EXPECT_EQ(clock->IsSampleRateSupported(rate), STATUS_SUCCESS) << rate;
        }
        for (ULONG rate : c.refused) {
            EXPECT_EQ(clock->IsSampleRateSupported(rate), STATUS_NOT_SUPPORTED) << rate;
        }
    }
}

// Virtual time: the clock relocks 50 ms after each rate change; a clock that never locks never
// becomes valid; one that cannot report its validity is taken as valid without asking.
TEST_F(ControlRequestTest, ClockValidity)
{
    CUSBAudioCL& driver = Start(Device20(SelectedClocks(), kSelector), UsbSpeed::High);
    Function().SetLockTime(kClockA, 50 * kMillisecond);
    Function().SetNeverValid(kClockB);
    EXPECT_TRUE(driver.IsClockStable(kDirectionOut));

    ASSERT_EQ(Clock(kClockA)->SetSampleRate(44100), STATUS_SUCCESS);
    const int64_t changed = machine_.Now();
    int64_t validAt = 0;
    while (validAt == 0 && machine_.Now() - changed < 100 * kMillisecond) {
        if (driver.IsClockStable(kDirectionOut)) {
            validAt = machine_.Now();
        } else {
            Sleep(1);
        }
    }
    // Each poll waits for a control transfer, which takes up to a frame.
    EXPECT_GE(validAt - changed, 49 * kMillisecond);
    EXPECT_LE(validAt - changed, 55 * kMillisecond);

    Function().SetSelectorPosition(kSelector, 2);
    Sleep(1000);
    EXPECT_FALSE(driver.IsClockStable(kDirectionIn));
    EXPECT_FALSE(Clock(kClockB)->IsValid());
}

TEST_F(ControlRequestTest, ClockWithoutValidityControlIsValidUnasked)
{
    CUSBAudioCL& driver = Start(Device20(OneClock(kFrequencyReadWriteOnly), kClockA), UsbSpeed::High);
    Function().SetNeverValid(kClockA);
    const uint64_t before = ControlTransfers();
    EXPECT_TRUE(driver.IsClockStable(kDirectionOut));
    EXPECT_TRUE(driver.IsClockStable(kDirectionIn));
    EXPECT_EQ(ControlTransfers(), before);
}

// The selector reports 1-based positions; its clock requests go to the clock on that input.
TEST_F(ControlRequestTest, SelectorPositions)
{
    Start(Device20(SelectedClocks(), kSelector), UsbSpeed::High);
    Function().SetClockRanges(kClockA, Rates({44100, 48000}));
    Function().SetClockRanges(kClockB, Rates({88200, 96000}));
    Function().SetClockRate(kClockA, 44100);
    Function().SetClockRate(kClockB, 96000);
    Function().SetNeverValid(kClockB);
    CUSBAudioClockSelector* selector = Selector();
    ASSERT_NE(selector, nullptr);

    const struct {
        uint8_t reported;
        ULONG input;
        bool valid;
        NTSTATUS rateStatus;
        ULONG rate;
    } cases[] = {
        {1, 0, true, STATUS_SUCCESS, 44100},
        {2, 1, false, STATUS_SUCCESS, 96000},
        {0, 0xFFFFFFFF, false, STATUS_NOT_SUPPORTED, 0},
        {3, 2, false, STATUS_NOT_SUPPORTED, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "position " << int(c.reported));
        Function().SetSelectorPosition(kSelector, c.reported);
        ULONG input = 99;
        EXPECT_EQ(selector->GetSelectorPosition(&input), STATUS_SUCCESS);
        EXPECT_EQ(input, c.input);
        EXPECT_EQ(selector->IsValid(), c.valid);
        ULONG rate = 0;
        EXPECT_EQ(selector->GetSampleRate(&rate), c.rateStatus);
        EXPECT_EQ(rate, c.rate);
    }

    ULONG low = 0;
    ULONG high = 0;
    EXPECT_EQ(selector->GetSampleRateRange(&low, &high, 0, kNoLimit), STATUS_SUCCESS);
    EXPECT_EQ(low, 44100u);
    EXPECT_EQ(high, 96000u);
    EXPECT_EQ(selector->IsSampleRateSupported(88200), STATUS_SUCCESS);
    EXPECT_EQ(selector->IsSampleRateSupported(22050), STATUS_NOT_SUPPORTED);

    // Setting a rate selects the first input whose clock takes it.
    EXPECT_EQ(selector->SetSampleRate(88200), STATUS_SUCCESS);
    EXPECT_EQ(Function().SelectorPosition(kSelector), 2);
    EXPECT_EQ(Function().ClockRate(kClockB), 88200u);
    EXPECT_EQ(selector->SetSampleRate(48000), STATUS_SUCCESS);
    EXPECT_EQ(Function().SelectorPosition(kSelector), 1);
    EXPECT_EQ(Function().ClockRate(kClockA), 48000u);
    EXPECT_EQ(selector->SetSampleRate(22050), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Function().SelectorPosition(kSelector), 1);
}

// One input needs no request; inputs that name no clock, or selectors that lead back to
// themselves, answer nothing.
TEST_F(ControlRequestTest, SelectorsWithoutAWayToAClock)
{
    const Bytes clocks = Concat({OneClock(kFrequencyReadWriteValidityRead),
                                 uac2::ClockSelector(21, {kClockA}, kSelectorReadWrite, 0),
                                 uac2::ClockSelector(22, {99, kClockA}, kSelectorReadWrite, 0),
                                 uac2::ClockSelector(23, {kClockA, 24}, kSelectorReadWrite, 0),
                                 uac2::ClockSelector(24, {23, kClockA}, kSelectorReadWrite, 0)});
    Start(Device20(clocks, kClockA), UsbSpeed::High);

    auto* single = static_cast<CUSBAudioClockSelector*>(Clock(21));
    ULONG input = 99;
    const uint64_t before = ControlTransfers();
    EXPECT_EQ(single->GetSelectorPosition(&input), STATUS_SUCCESS);
    EXPECT_EQ(input, 0u);
    EXPECT_EQ(ControlTransfers(), before);

    // Input 1 names nothing; input 2's clock would take 48 kHz, but the missing one ends it first.
    ULONG low = 0;
    ULONG high = 0;
    EXPECT_EQ(Clock(22)->GetSampleRateRange(&low, &high, 0, kNoLimit), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Clock(22)->IsSampleRateSupported(48000), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Clock(22)->SetSampleRate(48000), STATUS_NOT_SUPPORTED);

    // 23 and 24 each select the other: every request stops at the nesting limit.
    Function().SetSelectorPosition(23, 2);
    Function().SetSelectorPosition(24, 1);
    ULONG rate = 0;
    EXPECT_EQ(Clock(23)->GetSampleRate(&rate), STATUS_NOT_SUPPORTED);
    EXPECT_FALSE(Clock(24)->IsValid());
    EXPECT_EQ(Clock(23)->IsSampleRateSupported(32000), STATUS_NOT_SUPPORTED);
}

// How far a request follows selectors is not the descriptors' to decide: each selector is a
// level of recursion on a small kernel stack and each input's clock costs requests. A chain goes
// four selectors deep at most, and a selector whose inputs all name itself (248 of them, as many
// as its descriptor holds, once meant 248^8 calls) is given up on.
TEST_F(ControlRequestTest, SelectorChainsAndLoopsAreWalkedWithinBounds)
{
    constexpr uint8_t kChainStart = 100;
    constexpr uint8_t kChainLength = 64;
    constexpr uint8_t kSelfLoop = 30;
    Bytes clocks = Concat({OneClock(kFrequencyReadWriteValidityRead),
                           uac2::ClockSelector(kSelfLoop, std::vector<uint8_t>(248, kSelfLoop), kSelectorReadWrite, 0)});
    for (uint8_t id = kChainStart; id < kChainStart + kChainLength; ++id) {
        const uint8_t next = id + 1 == kChainStart + kChainLength ? kClockA : uint8_t(id + 1);
        Append(clocks, uac2::ClockSelector(id, {next, next}, kSelectorReadWrite, 0));
    }
    Start(Device20(clocks, kClockA), UsbSpeed::High);
    for (uint8_t id = kChainStart; id < kChainStart + kChainLength; ++id) {
        Function().SetSelectorPosition(id, 1);
    }

    // Three selectors before the clock: one position request each, then the clock's rate.
    ULONG rate = 0;
    uint64_t before = ControlTransfers();
    EXPECT_EQ(Clock(kChainStart + kChainLength - 3)->GetSampleRate(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 48000u);
    EXPECT_EQ(ControlTransfers(), before + 4);

    // Sixty-four: given up after the fourth selector's position.
    before = ControlTransfers();
    EXPECT_EQ(Clock(kChainStart)->GetSampleRate(&rate), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(ControlTransfers(), before + 4);
    EXPECT_FALSE(Clock(kChainStart)->IsValid());
    EXPECT_EQ(Clock(kChainStart)->SetSampleRate(48000), STATUS_NOT_SUPPORTED);

    ULONG low = 0;
    ULONG high = 0;
    EXPECT_EQ(Clock(kSelfLoop)->IsSampleRateSupported(48000), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Clock(kSelfLoop)->GetSampleRateRange(&low, &high, 0, kNoLimit), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Clock(kSelfLoop)->SetSampleRate(48000), STATUS_NOT_SUPPORTED);
}

TEST_F(ControlRequestTest, FeatureUnitMuteAndVolume)
{
    CUSBAudioCL& driver = Start(Device20(OneClock(kFrequencyReadWriteValidityRead), kClockA), UsbSpeed::High);
    Function().SetVolumeRange(kFeatureUnit, {-60 * 256, 6 * 256, 128});
    CUSBAudioFeatureUnit* unit = Unit();

    EXPECT_EQ(driver.SetMute(unit, 0, 1), STATUS_SUCCESS);
    EXPECT_TRUE(Function().Mute(kFeatureUnit, 0));
    UCHAR mute = 0;
    EXPECT_EQ(driver.GetMute(unit, 0, &mute), STATUS_SUCCESS);
    EXPECT_EQ(mute, 1);

    EXPECT_EQ(driver.SetVolume(unit, 0, -10 * 256), STATUS_SUCCESS);
    EXPECT_EQ(Function().Volume(kFeatureUnit, 0), -10 * 256);
    SHORT level = 0;
    EXPECT_EQ(driver.GetVolume(unit, 0, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, -10 * 256);

    SHORT minimum = 0;
    SHORT maximum = 0;
    SHORT resolution = 0;
    EXPECT_EQ(driver.GetVolumeRange(unit, 0, &minimum, &maximum, &resolution), STATUS_SUCCESS);
    EXPECT_EQ(minimum, -60 * 256);
    EXPECT_EQ(maximum, 6 * 256);
    EXPECT_EQ(resolution, 128);

    // Channel 1's volume is read-only: setting it never reaches the device, reading it does.
    uint64_t before = ControlTransfers();
    EXPECT_EQ(driver.SetVolume(unit, 1, 0), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(ControlTransfers(), before);
    EXPECT_EQ(driver.GetVolume(unit, 1, &level), STATUS_SUCCESS);
    EXPECT_EQ(ControlTransfers(), before + 1);

    // Channel 2 has no controls, channel 3 does not exist.
    before = ControlTransfers();
    EXPECT_EQ(driver.GetMute(unit, 2, &mute), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(driver.GetVolume(unit, 3, &level), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(ControlTransfers(), before);
    EXPECT_EQ(driver.GetMute(nullptr, 0, &mute), STATUS_INVALID_PARAMETER);
}

// A 1.0 device that stalls GET_MAX.
class MaximumStallingDevice : public AudioClassDevice {
public:
    using AudioClassDevice::AudioClassDevice;

protected:
    ControlReply ClassRequest(const SetupPacket& setup, const uint8_t* data, size_t length) override
    {
        constexpr uint8_t kGetMax = 0x83;
        return setup.request == kGetMax ? ControlReply::Stall() : AudioClassDevice::ClassRequest(setup, data, length);
    }
};

// 1.0 reads the range in three requests and stops at the first failure, keeping what it read.
TEST_F(ControlRequestTest, VolumeRangeOfAudioClass10StopsAtTheFirstFailure)
{
    CUSBAudioCL& driver =
        Start(std::make_unique<MaximumStallingDevice>(DeviceSet(Device10(), UsbSpeed::Full), UsbSpeed::Full));
    Function().SetVolumeRange(kFeatureUnit, {-40 * 256, 0, 256});
    SHORT minimum = 1;
    SHORT maximum = 1;
    SHORT resolution = 1;
    const uint64_t before = ControlTransfers();
    EXPECT_EQ(driver.GetVolumeRange(Unit(), 1, &minimum, &maximum, &resolution), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ControlTransfers(), before + 2);
    EXPECT_EQ(minimum, -40 * 256);
    EXPECT_EQ(maximum, 1);
    EXPECT_EQ(resolution, 1);

    EXPECT_EQ(driver.SetMute(Unit(), 2, 1), STATUS_SUCCESS);
    EXPECT_TRUE(Function().Mute(kFeatureUnit, 2));
    EXPECT_EQ(driver.SetVolume(Unit(), 2, -256), STATUS_SUCCESS);
    SHORT level = 0;
    EXPECT_EQ(driver.GetVolume(Unit(), 2, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, -256);
}

TEST_F(ControlRequestTest, TerminalConnectors)
{
    Start(Device20(OneClock(kFrequencyReadWriteValidityRead), kClockA), UsbSpeed::High);
    EXPECT_EQ(Terminal(kSpeaker)->IsConnected(), 1u);
    EXPECT_EQ(Terminal(kLineIn)->IsConnected(), 1u);
    Function().SetConnected(kLineIn, false);
    EXPECT_EQ(Terminal(kLineIn)->IsConnected(), 0u);
    // No connector control: nothing to ask.
    const uint64_t before = ControlTransfers();
    EXPECT_EQ(Terminal(kRenderTerminal)->IsConnected(), usbaudio::kConnectorUnknown);
    EXPECT_EQ(ControlTransfers(), before);
}

// The R9's two clocks are both set; an unsupported rate is still remembered as the device rate.
TEST_F(ControlRequestTest, DeviceSampleRateSetsBothDirections)
{
    CUSBAudioCL& driver = Start(std::make_unique<sim::devices::R9Device>());
    auto& r9 = static_cast<sim::devices::R9Device&>(Device());
    uint64_t before = ControlTransfers();
    EXPECT_EQ(driver.SetSampleRate(96000), STATUS_SUCCESS);
    EXPECT_EQ(ControlTransfers(), before + 2);
    EXPECT_EQ(r9.CurrentRate(kDirectionOut), 96000u);
    EXPECT_EQ(r9.CurrentRate(kDirectionIn), 96000u);
    EXPECT_EQ(driver.GetCurrentRate(), 96000u);

    EXPECT_EQ(driver.SetSampleRate(12345), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(driver.GetCurrentRate(), 12345u);
    EXPECT_EQ(r9.CurrentRate(kDirectionOut), 96000u);
}

TEST_F(ControlRequestTest, DeviceSampleRateOnAudioClass10HasNoClockToSet)
{
    CUSBAudioCL& driver = Start(std::make_unique<sim::devices::R9Device>(sim::devices::R9Variant::FullSpeedUac1));
    const uint64_t before = ControlTransfers();
    EXPECT_EQ(driver.SetSampleRate(44100), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ControlTransfers(), before);
    EXPECT_EQ(driver.GetCurrentRate(), 44100u);
    EXPECT_TRUE(driver.IsClockStable(kDirectionOut));
}

// The second interface refuses: the failure comes back, the first keeps the mode the device took.
TEST_F(ControlRequestTest, StreamingModePartialFailure)
{
    using sim::devices::r9::kCaptureInterface;
    using sim::devices::r9::kRenderInterface;
    CUSBAudioCL& driver = Start(std::make_unique<sim::devices::R9Device>());
    Function().SetStreamingModeAccepted(kCaptureInterface, false);

    EXPECT_EQ(driver.SetStreamingMode(usbaudio::kStreamingModeDsdNative), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(driver.GetModel().GetRenderInterface()->StreamingMode, usbaudio::kStreamingModeDsdNative);
    EXPECT_EQ(driver.GetModel().GetCaptureInterface()->StreamingMode, usbaudio::kStreamingModePcm);
    EXPECT_EQ(driver.GetStreamingMode(), usbaudio::kStreamingModeDsdNative);
    EXPECT_EQ(Function().StreamingMode(kRenderInterface), 1);
    EXPECT_EQ(Function().StreamingMode(kCaptureInterface), 0);

    // A port reset puts the device back in PCM; restoring sends each interface its recorded mode.
    Function().SetStreamingModeAccepted(kCaptureInterface, true);
    ASSERT_EQ(driver.CyclePort(), STATUS_SUCCESS);
    EXPECT_EQ(Function().StreamingMode(kRenderInterface), 0);
    const uint64_t before = ControlTransfers();
    EXPECT_EQ(driver.RestoreStreamingMode(), STATUS_SUCCESS);
    EXPECT_EQ(ControlTransfers(), before + 2);
    EXPECT_EQ(Function().StreamingMode(kRenderInterface), 1);
    EXPECT_EQ(Function().StreamingMode(kCaptureInterface), 0);

    EXPECT_EQ(driver.SetStreamingMode(usbaudio::kStreamingModePcm), STATUS_SUCCESS);
    EXPECT_EQ(driver.GetStreamingMode(), usbaudio::kStreamingModePcm);
    EXPECT_EQ(Function().StreamingMode(kRenderInterface), 0);
}

}  // namespace
}  // namespace audioclasstest
