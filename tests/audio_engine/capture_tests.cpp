// The capture side: packets carry exactly the frames the device clock produced, in order; frames of
// unserviced slots are lost and counted; the generators; the loopback's latency, on a shared clock
// and across two clocks.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "sim/devices/audio_engine/audio_streaming_engine.h"

namespace {

using namespace sim::devices::audio;

constexpr int64_t kMillisecond = 1000000;
constexpr int64_t kMicroframe = 125000;
constexpr int64_t kSecond = 1000 * kMillisecond;

struct CaptureCase {
    const char* what;
    BusSpeed speed;
    uint32_t rate;
    int32_t ppm;
    StreamFormat format;
    uint64_t framesIn10Seconds;  // rate × (1 + ppm / 10^6) × 10, by hand
    std::vector<uint64_t> packetSizes;
};

const CaptureCase kCaptureCases[] = {
    {"44.1 kHz full speed", BusSpeed::Full, 44100, 0, {4, 2, 16}, 441000, {44, 45}},
    {"44.1 kHz full speed +500 ppm", BusSpeed::Full, 44100, 500, {4, 3, 24}, 441220, {44, 45}},
    {"96 kHz high speed", BusSpeed::High, 96000, 0, {4, 4, 24}, 960000, {12}},
    {"96 kHz high speed -250 ppm", BusSpeed::High, 96000, -250, {4, 4, 24}, 959760, {11, 12}},
};

TEST(Capture, PacketsCarryExactlyTheFramesTheClockProducedInOrder)
{
    for (const CaptureCase& c : kCaptureCases) {
        AudioClock clock(c.rate, c.ppm);
        AudioStreamingEngine engine(c.speed, clock);
        for (uint32_t input = 0; input < c.format.channels; ++input) {
            engine.SetInputSignal(input, InputSignal{SignalKind::FrameCounter});
        }
        engine.StartCapture(c.format);

        const int64_t interval = c.speed == BusSpeed::High ? kMicroframe : kMillisecond;
        ContinuityAnalyser continuity(c.format.channels, c.format.validBits);
        std::map<uint64_t, uint64_t> sizes;
        std::vector<uint8_t> packet(1024);
        uint64_t total = 0;
        for (int64_t t = interval; t <= 10 * kSecond; t += interval) {
            const uint32_t length = engine.OnIsoIn(t, interval, packet.data(), uint32_t(packet.size()));
            ASSERT_EQ(length % c.format.FrameBytes(), 0u) << c.what;
            const uint64_t frames = length / c.format.FrameBytes();
            ASSERT_EQ(frames, engine.CaptureFramesForSlot(t, interval)) << c.what << " at " << t;
            continuity.FeedBytes(packet.data(), uint32_t(frames), c.format);
            ++sizes[frames];
            total += frames;
        }
        EXPECT_EQ(total, c.framesIn10Seconds) << c.what;
        EXPECT_EQ(engine.CaptureStats().framesSent, c.framesIn10Seconds) << c.what;
        EXPECT_EQ(engine.CaptureStats().framesLost, 0u) << c.what;
        EXPECT_TRUE(continuity.Continuous()) << c.what << ": " << continuity.FirstBreak();
        EXPECT_EQ(continuity.FirstIndex(), 0u) << c.what;
        std::vector<uint64_t> seen;
        for (const auto& [size, count] : sizes) {
            seen.push_back(size);
        }
        EXPECT_EQ(seen, c.packetSizes) << c.what;
    }
}

// 44.1 frames a millisecond: nine packets of 44, then the clock has made its 441st frame.
TEST(Capture, FullSpeed44100RunsNine44sAndA45)
{
    AudioClock clock(44100);
    AudioStreamingEngine engine(BusSpeed::Full, clock);
    engine.StartCapture(StreamFormat{2, 2, 16});
    std::vector<uint8_t> packet(1023);
    std::vector<uint32_t> frames;
    for (int64_t slot = 1; slot <= 20; ++slot) {
        frames.push_back(engine.OnIsoIn(slot * kMillisecond, kMillisecond, packet.data(), 1023) / 4);
    }
    const std::vector<uint32_t> expected = {44, 44, 44, 44, 44, 44, 44, 44, 44, 45,
                                            44, 44, 44, 44, 44, 44, 44, 44, 44, 45};
    EXPECT_EQ(frames, expected);
}

TEST(Capture, FramesOfUnservicedSlotsAndOfShortBuffersAreLost)
{
    AudioClock clock(48000);
    AudioStreamingEngine engine(BusSpeed::High, clock);
    engine.SetInputSignal(0, InputSignal{SignalKind::FrameCounter});
    engine.SetInputSignal(1, InputSignal{SignalKind::FrameCounter});
    const StreamFormat format{2, 2, 16};
    engine.StartCapture(format);
    ContinuityAnalyser continuity(2, 16);
    std::vector<uint8_t> packet(64);
    for (int64_t slot : {1, 2, 3, 4, 7}) {  // nobody polled slots 5 and 6
        const uint32_t length = engine.OnIsoIn(slot * kMicroframe, kMicroframe, packet.data(), 64);
        EXPECT_EQ(length, 24u);
        continuity.FeedBytes(packet.data(), length / 4, format);
    }
    EXPECT_EQ(engine.CaptureStats().framesLost, 12u);
    EXPECT_EQ(engine.CaptureStats().losses.firstNs, 7 * kMicroframe);
    EXPECT_EQ(continuity.MissingFrames(), 12u);

    // Room for five frames of the six produced: the sixth is lost.
    EXPECT_EQ(engine.OnIsoIn(8 * kMicroframe, kMicroframe, packet.data(), 5 * 4 + 3), 20u);
    EXPECT_EQ(engine.CaptureStats().framesLost, 13u);
    EXPECT_EQ(engine.CaptureStats().losses.count, 2u);
}

// 1 kHz at 48 kHz: a quarter period is 12 frames. Half scale of 16 bits is 16383.5.
TEST(Capture, SineGeneratorFollowsTheFrameIndex)
{
    AudioClock clock(48000);
    AudioStreamingEngine engine(BusSpeed::High, clock);
    engine.SetInputSignal(1, InputSignal{SignalKind::Sine, 1000.0, 0.5});
    const StreamFormat format{2, 2, 16};
    engine.StartCapture(format);
    std::vector<int32_t> right;
    std::vector<uint8_t> packet(64);
    for (int64_t slot = 1; slot <= 8; ++slot) {
        const uint32_t length = engine.OnIsoIn(slot * kMicroframe, kMicroframe, packet.data(), 64);
        for (uint32_t i = 0; i < length / 4; ++i) {
            EXPECT_EQ(ReadSample(&packet[i * 4], format), 0);  // input 0 has no signal
            right.push_back(ReadSample(&packet[i * 4 + 2], format) >> 16);
        }
    }
    ASSERT_EQ(right.size(), 48u);
    EXPECT_EQ(right[0], 0);
    EXPECT_NEAR(right[12], 16383.5, 1.0);
    EXPECT_NEAR(right[24], 0, 1.0);
    EXPECT_NEAR(right[36], -16383.5, 1.0);
    EXPECT_NEAR(right[4], 8191.75, 1.0);  // sin 30 degrees = 0.5
}

// A host renders the pattern from t = 0, 6 frames a microframe, 4 channels; the FIFO starts at
// 24 frames, at 375 us, when the render clock has made 18: output tick j plays pattern frame j - 18.
class Loopback : public ::testing::Test {
protected:
    void StartRender(AudioStreamingEngine& engine)
    {
        RenderSettings settings;
        settings.format = kFormat;
        settings.maxPacketBytes = 7 * kFormat.FrameBytes();
        settings.fifoCapacityFrames = 96;
        settings.startLevelFrames = 24;
        engine.StartRender(settings);
        for (uint32_t input = 0; input < 4; ++input) {
            engine.SetInputSignal(input, InputSignal{SignalKind::Loopback});
        }
    }

    void Render(AudioStreamingEngine& engine, int64_t tNs)
    {
        std::vector<uint8_t> packet(6 * kFormat.FrameBytes());
        for (uint32_t i = 0; i < 6; ++i) {
            for (uint32_t channel = 0; channel < 4; ++channel) {
                WriteSample(pattern_.Sample(rendered_ + i, channel), &packet[(i * 4 + channel) * 4], kFormat);
            }
        }
        rendered_ += 6;
        engine.OnIsoOut(tNs, packet.data(), uint32_t(packet.size()));
    }

    // The pattern frame each captured frame names (-1 for silence), by absolute capture frame.
    std::vector<int64_t> CaptureWhileRendering(AudioStreamingEngine& engine, int64_t captureInterval, int64_t untilNs)
    {
        std::vector<int64_t> heard;
        std::vector<uint8_t> packet(1024);
        int64_t nextCapture = captureInterval;
        for (int64_t t = 0; t < untilNs; t += kMicroframe) {
            for (; nextCapture <= t; nextCapture += captureInterval) {
                const uint32_t length = engine.OnIsoIn(nextCapture, captureInterval, packet.data(), 1024);
                for (uint32_t i = 0; i < length / kFormat.FrameBytes(); ++i) {
                    heard.push_back(Decode(&packet[i * kFormat.FrameBytes()]));
                }
            }
            Render(engine, t);
        }
        return heard;
    }

    int64_t Decode(const uint8_t* frame)
    {
        if (ReadSample(frame, kFormat) == 0) {
            return -1;
        }
        uint64_t index = 0;
        for (uint32_t channel = 0; channel < 4; ++channel) {
            uint64_t other = 0;
            EXPECT_TRUE(pattern_.Decode(ReadSample(frame + channel * 4, kFormat), channel, other));
            if (channel == 0) {
                index = other;
            }
            EXPECT_EQ(other, index) << "channel " << channel;
        }
        return int64_t(index);
    }

    const StreamFormat kFormat{4, 4, 24};
    FrameCounterPattern pattern_{4, 24};
    uint64_t rendered_ = 0;
};

// Input frame i hears output tick i - 37, which played pattern frame i - 37 - 18.
TEST_F(Loopback, SharedClockDelaysByTheLatencyExactly)
{
    AudioClock clock(48000);
    AudioStreamingEngine engine(BusSpeed::High, clock);
    engine.SetLoopbackLatency(37);
    StartRender(engine);
    engine.StartCapture(kFormat);
    const std::vector<int64_t> heard = CaptureWhileRendering(engine, kMicroframe, 100 * kMicroframe);
    ASSERT_GT(heard.size(), 500u);
    for (size_t i = 0; i < heard.size(); ++i) {
        EXPECT_EQ(heard[i], i < 55 ? -1 : int64_t(i) - 55) << "capture frame " << i;
    }
}

// Capture at 96 kHz from its own clock, render at 48 kHz, no latency: input frame i is converted
// when the render clock has made floor((i + 1) / 2) frames, so it hears the latest of those, and
// each output frame is heard twice.
TEST_F(Loopback, SeparateClocksSampleTheOutputAtEachInputInstant)
{
    AudioClock renderClock(48000);
    AudioClock captureClock(96000);
    AudioStreamingEngine engine(BusSpeed::High, renderClock, captureClock);
    StartRender(engine);
    engine.StartCapture(kFormat);
    const std::vector<int64_t> heard = CaptureWhileRendering(engine, kMicroframe, 100 * kMicroframe);
    ASSERT_GT(heard.size(), 1000u);
    for (size_t i = 0; i < heard.size(); ++i) {
        const int64_t tick = int64_t((i + 1) / 2) - 1;
        EXPECT_EQ(heard[i], tick < 18 ? -1 : tick - 18) << "capture frame " << i;
    }
}

}  // namespace
