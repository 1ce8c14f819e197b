// Render transfers: the packet sizes of the three ways of pacing render, as the device receives
// them, and the fraction and pattern position they carry to the next transfer.
#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <ostream>
#include <vector>

#include "tests/audioclass/format_test_devices.h"
#include "tests/transfers/transfer_test_support.h"

namespace transfertest {
namespace {

using sim::usb::UsbSpeed;
using usbaudio::kDirectionOut;

constexpr ULONG kFeedback44k1 = 2890137;  // 44.1 frames per 1-ms frame in 16.16, rounded down

std::vector<size_t> Lengths(const std::vector<Bytes>& packets)
{
    std::vector<size_t> lengths;
    for (const Bytes& packet : packets) {
        lengths.push_back(packet.size());
    }
    return lengths;
}

class RenderTransferTest : public TransferTest {
protected:
    // Submits `audio` (counting bytes) as one render transfer of `periodMs`.
    void Submit(std::vector<UCHAR>& audio, ULONG periodMs, CompletionProbe& probe)
    {
        std::iota(audio.begin(), audio.end(), UCHAR(0));
        EXPECT_EQ(driver_->SubmitRenderTransfer(audio.data(), nullptr, ULONG(audio.size()), periodMs,
                                                &CompletionProbe::Callback, &probe),
                  STATUS_SUCCESS);
    }
    // Sends one render transfer of `length` bytes and waits for it; returns its completion.
    Completion Render(ULONG length, ULONG periodMs)
    {
        std::vector<UCHAR> audio(length);
        CompletionProbe probe;
        Submit(audio, periodMs, probe);
        const std::vector<Completion> results = probe.Wait(1);
        return results.empty() ? Completion{STATUS_UNSUCCESSFUL, 0} : results[0];
    }
};

struct SharedClockCase {
    const char* name;
    ULONG length;
    std::vector<size_t> packets;
};

class SharedClockLengths : public RenderTransferTest, public ::testing::WithParamInterface<SharedClockCase> {};

// 48 kHz stereo in 32-bit containers at high speed: 48 bytes nominal, 40 to 56.
TEST_P(SharedClockLengths, FollowTheCaptureStreamsByteCount)
{
    const SharedClockCase& c = GetParam();
    Start(std::make_unique<StreamingDevice>(audioclasstest::Device20({{2, 24, 4}}, true), UsbSpeed::High));
    Select(kDirectionOut, 24, 48000);
    const Completion completion = Render(c.length, 1);
    EXPECT_EQ(completion.status, STATUS_SUCCESS);
    EXPECT_EQ(completion.bytes, c.length);
    EXPECT_EQ(Lengths(device_->RenderPackets()), c.packets);
}

const SharedClockCase kSharedClockCases[] = {
    {"Nominal", 384, {48, 48, 48, 48, 48, 48, 48, 48}},
    {"OneFrameMore", 392, {56, 48, 48, 48, 48, 48, 48, 48}},
    {"OneFrameLess", 376, {48, 48, 48, 48, 48, 48, 48, 40}},
    // Too far from nominal for one period: nominal packets, the frame filled with empty ones.
    {"BeyondThePeriod", 600, {48, 48, 48, 48, 48, 48, 48, 48, 48, 48, 48, 48, 24, 0, 0, 0}},
};

INSTANTIATE_TEST_SUITE_P(HighSpeed48kHz, SharedClockLengths, ::testing::ValuesIn(kSharedClockCases),
                         [](const ::testing::TestParamInfo<SharedClockCase>& info) { return info.param.name; });

// Full speed, 44.1 kHz stereo 16-bit, paced by the feedback endpoint.
TEST_F(RenderTransferTest, ExplicitFeedbackCarriesTheFractionToTheNextTransfer)
{
    Start(std::make_unique<StreamingDevice>(RenderOnly20(false, 16, 2, 196, true), UsbSpeed::Full));
    Select(kDirectionOut, 16, 44100);
    SetFeedback(kFeedback44k1);
    const StreamingInterface* render = driver_->GetStreamingInterface(kDirectionOut);
    ASSERT_EQ(render->FractionAccumulator, 0u);

    // The second transfer goes out before the first has completed, as a stream keeps them going:
    // it is laid out from where the first left the fraction.
    ASSERT_EQ(driver_->GetRenderBytes(10, kFeedback44k1), 1760u);
    std::vector<UCHAR> first(1760);
    CompletionProbe probe;
    Submit(first, 10, probe);
    EXPECT_EQ(render->FractionAccumulator, 65530u);
    ASSERT_EQ(driver_->GetRenderBytes(10, kFeedback44k1), 1764u);
    std::vector<UCHAR> second(1764);
    Submit(second, 10, probe);
    for (const Completion& completion : probe.Wait(2)) {
        EXPECT_EQ(completion.status, STATUS_SUCCESS);
    }

    const std::vector<Bytes> packets = device_->RenderPackets();
    ASSERT_EQ(packets.size(), 20u);
    EXPECT_EQ(Lengths(std::vector<Bytes>(packets.begin(), packets.begin() + 10)), std::vector<size_t>(10, 44 * 4));
    EXPECT_EQ(packets[10].size(), 45u * 4);
    EXPECT_EQ(packets[11].size(), 44u * 4);
    // The audio arrives in order across the packets.
    EXPECT_EQ(packets[11][0], UCHAR(45 * 4));
}

// A report that lands while a transfer is being built (here: when its URB is taken from the pool)
// must not change the transfer: its packets are counted and filled at the one value it was sized by.
TEST_F(RenderTransferTest, ExplicitFeedbackArrivingMidBuildLeavesTheTransferAlone)
{
    Start(std::make_unique<StreamingDevice>(RenderOnly20(false, 16, 2, 196, true), UsbSpeed::Full));
    Select(kDirectionOut, 16, 44100);
    SetFeedback(kFeedback44k1);
    ASSERT_EQ(driver_->GetRenderBytes(10, kFeedback44k1), 1760u);
    machine_.Pools().SetAllocationHook([this](size_t size, ULONG) {
        if (size == kIsoUrbBytes) {
            SetFeedback(46 << 16);
        }
    });
    const Completion completion = Render(1760, 10);
    machine_.Pools().SetAllocationHook(nullptr);
    EXPECT_EQ(completion.status, STATUS_SUCCESS);
    EXPECT_EQ(Lengths(device_->RenderPackets()), std::vector<size_t>(10, 44 * 4));
}

// A transfer shorter than a frame is spread over the whole frame; the carried fraction stays.
TEST_F(RenderTransferTest, ExplicitFeedbackFillsAWholeFrameAtHighSpeed)
{
    Start(std::make_unique<StreamingDevice>(RenderOnly20(true, 24, 4, 392, true), UsbSpeed::High));
    Select(kDirectionOut, 24, 48000);
    SetFeedback(0x60000 + 0x100);
    StreamingInterface* render = driver_->GetStreamingInterface(kDirectionOut);
    render->FractionAccumulator = 0x1234;
    // 18 frames over 8 packets: 3, 3, then 2 each.
    EXPECT_EQ(Render(18 * 8, 1).status, STATUS_SUCCESS);
    EXPECT_EQ(Lengths(device_->RenderPackets()), (std::vector<size_t>{24, 24, 16, 16, 16, 16, 16, 16}));
    EXPECT_EQ(render->FractionAccumulator, 0x1234u);
}

TEST_F(RenderTransferTest, PatternRepeatsEveryTenFramesAt44k1)
{
    Start(std::make_unique<StreamingDevice>(RenderOnly20(false, 16, 2, 196, false), UsbSpeed::Full));
    Select(kDirectionOut, 16, 44100);
    ASSERT_EQ(driver_->GetPatternPosition(), 0u);
    ASSERT_EQ(driver_->GetRenderBytes(10, 0), 1764u);
    EXPECT_EQ(Render(1764, 10).status, STATUS_SUCCESS);
    std::vector<size_t> expected(10, 44 * 4);
    expected[0] = 45 * 4;
    EXPECT_EQ(Lengths(device_->RenderPackets()), expected);
    EXPECT_EQ(driver_->GetPatternPosition(), 0u);
}

// The length-prefix device finds a 32-bit byte count in front of each packet's audio; the
// prefixed copy is freed with the transfer (the pool is checked when the test ends).
TEST_F(RenderTransferTest, LengthPrefixDeviceGetsACountBeforeEachPacket)
{
    Start(std::make_unique<StreamingDevice>(RenderOnly20(false, 16, 2, 196, false, 0xFF), UsbSpeed::Full,
                                            kLengthPrefixVendor, kLengthPrefixProduct));
    Select(kDirectionOut, 16, 44100);
    const Completion completion = Render(1764, 10);
    EXPECT_EQ(completion.status, STATUS_SUCCESS);
    EXPECT_EQ(completion.bytes, 1764u + 4 * 10);
    const std::vector<Bytes> packets = device_->RenderPackets();
    ASSERT_EQ(packets.size(), 10u);
    size_t audioOffset = 0;
    for (const Bytes& packet : packets) {
        ASSERT_GE(packet.size(), 4u);
        const size_t count = packet[0] | packet[1] << 8 | packet[2] << 16 | packet[3] << 24;
        EXPECT_EQ(count, packet.size() - 4);
        EXPECT_EQ(packet[4], UCHAR(audioOffset));
        audioOffset += count;
    }
    EXPECT_EQ(audioOffset, 1764u);
    EXPECT_EQ(packets[0].size(), 4u + 45 * 4);
}

// A pattern position left by a longer pattern (another rate's) wraps into this one, as on the
// other paths: the packets carry the pattern from entry 3 on (44 frames each, 45 at entry 0).
TEST_F(RenderTransferTest, LengthPrefixDeviceWrapsAPatternPositionBeyondItsPattern)
{
    Start(std::make_unique<StreamingDevice>(RenderOnly20(false, 16, 2, 196, false, 0xFF), UsbSpeed::Full,
                                            kLengthPrefixVendor, kLengthPrefixProduct));
    Select(kDirectionOut, 16, 44100);
    driver_->SetPatternPosition(13);
    const ULONG length = driver_->GetRenderBytes(10, 0);
    ASSERT_EQ(length, 1764u);
    EXPECT_EQ(Render(length, 10).status, STATUS_SUCCESS);
    std::vector<size_t> expected(10, 4 + 44 * 4);
    expected[7] = 4 + 45 * 4;
    EXPECT_EQ(Lengths(device_->RenderPackets()), expected);
    EXPECT_EQ(driver_->GetPatternPosition(), 3u);
}

// 20 ms at high speed would take 160 packets: refused before anything is taken from the pool.
TEST_F(RenderTransferTest, MoreThanSixtyFourPacketsAreRefusedUpFront)
{
    Start(std::make_unique<StreamingDevice>(RenderOnly20(true, 24, 4, 392, true), UsbSpeed::High));
    Select(kDirectionOut, 24, 48000);
    SetFeedback(0x60000);
    const ULONG length = driver_->GetRenderBytes(20, 0x60000);
    ASSERT_EQ(length, 20u * 48 * 8);
    std::vector<UCHAR> audio(length);
    const size_t before = LiveAllocations();
    EXPECT_EQ(driver_->SubmitRenderTransfer(audio.data(), nullptr, length, 20, &CompletionProbe::Callback, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LiveAllocations(), before);
    // 8 ms fits.
    EXPECT_EQ(Render(8 * 48 * 8, 8).status, STATUS_SUCCESS);
    EXPECT_EQ(Lengths(device_->RenderPackets()), std::vector<size_t>(64, 48));
}

struct IntervalCase {
    const char* name;
    bool highSpeed;
    uint8_t bInterval;
    ULONG busIntervals;  // of 8 packets
};

// The interval the packet arithmetic uses is the pipe's as corrected: a full-speed isochronous
// endpoint serves every frame whatever it says, a high-speed one at most every 8 microframes.
const IntervalCase kIntervalCases[] = {
    {"HighSpeedEveryMicroframe", true, 1, 8},
    {"HighSpeedEverySecondMicroframe", true, 2, 16},
    {"HighSpeedIntervalZeroIsEveryMicroframe", true, 0, 8},
    {"HighSpeedEveryEighthMicroframe", true, 4, 64},
    {"FullSpeedIntervalFourIsEveryFrame", false, 4, 8},
};

void PrintTo(const IntervalCase& c, std::ostream* out) { *out << c.name; }

class PacketsToBusIntervals : public RenderTransferTest, public ::testing::WithParamInterface<IntervalCase> {};

TEST_P(PacketsToBusIntervals, FollowTheCorrectedDataInterval)
{
    const IntervalCase& c = GetParam();
    Start(std::make_unique<StreamingDevice>(audioclasstest::Device20({{2, 24, 4}}, c.highSpeed, 392, c.bInterval),
                                            c.highSpeed ? UsbSpeed::High : UsbSpeed::Full));
    // Alternate 0 has no data endpoint.
    EXPECT_EQ(driver_->PacketsToBusIntervals(kDirectionOut, 8), 0u);
    Select(kDirectionOut, 24, 48000);
    EXPECT_EQ(driver_->PacketsToBusIntervals(kDirectionOut, 8), c.busIntervals);
    EXPECT_EQ(driver_->PacketsToBusIntervals(usbaudio::kDirectionIn, 8), 0u);
}

INSTANTIATE_TEST_SUITE_P(RenderTransfer, PacketsToBusIntervals, ::testing::ValuesIn(kIntervalCases),
                         [](const ::testing::TestParamInfo<IntervalCase>& info) { return info.param.name; });

TEST_F(RenderTransferTest, WithoutARenderPipeNothingIsSent)
{
    Start(std::make_unique<StreamingDevice>(RenderOnly20(false, 16, 2, 196, true), UsbSpeed::Full));
    UCHAR audio[16] = {};
    EXPECT_EQ(driver_->SubmitRenderTransfer(audio, nullptr, sizeof(audio), 1, &CompletionProbe::Callback, nullptr),
              STATUS_NOT_SUPPORTED);
}

}  // namespace
}  // namespace transfertest
