// The render FIFO: start level, draining at the device clock, underflow and overflow with their
// times, protocol errors, and what the recorder makes of the frames that reached the converter.
#include <gtest/gtest.h>

#include <vector>

#include "sim/devices/audio_engine/audio_streaming_engine.h"

namespace {

using namespace sim::devices::audio;

constexpr int64_t kMicroframe = 125000;
const StreamFormat kStereo16{2, 2, 16};  // 4 bytes a frame

// 48 kHz high speed: exactly 6 frames per microframe. Packets up to 7 frames; the FIFO holds 96
// frames and starts draining at 24 unless a test says otherwise.
class RenderFifo : public ::testing::Test {
protected:
    void Start(uint32_t capacity = 96, uint32_t startLevel = 24)
    {
        RenderSettings settings;
        settings.format = kStereo16;
        settings.maxPacketBytes = 7 * kStereo16.FrameBytes();
        settings.fifoCapacityFrames = capacity;
        settings.startLevelFrames = startLevel;
        engine_.StartRender(settings);
    }

    // A packet of the frame-counter pattern, continuing where the previous one stopped.
    void Send(int64_t tNs, uint32_t frames)
    {
        std::vector<uint8_t> packet(frames * kStereo16.FrameBytes());
        for (uint32_t i = 0; i < frames; ++i) {
            for (uint32_t channel = 0; channel < 2; ++channel) {
                WriteSample(pattern_.Sample(next_ + i, channel), &packet[(i * 2 + channel) * 2], kStereo16);
            }
        }
        next_ += frames;
        engine_.OnIsoOut(tNs, packet.data(), uint32_t(packet.size()));
    }

    // Anything that makes the device look at its FIFO at tNs lets the converter run until then.
    void RunConverterTo(int64_t tNs)
    {
        uint8_t report[4];
        engine_.OnFeedbackIn(tNs, report, sizeof(report));
    }

    AudioClock clock_{48000};
    AudioStreamingEngine engine_{BusSpeed::High, clock_};
    FrameCounterPattern pattern_{2, 16};
    uint64_t next_ = 0;
};

TEST_F(RenderFifo, DrainsFromTheStartLevelOnAtTheClockRate)
{
    Start();
    engine_.RenderRecorder().RetainFrames(4);
    Send(0, 6);
    Send(kMicroframe, 6);
    Send(2 * kMicroframe, 6);
    EXPECT_FALSE(engine_.RenderDraining());
    EXPECT_EQ(engine_.RenderLevelAt(10 * kMicroframe), 18u);

    Send(3 * kMicroframe, 6);  // 24 frames at 375 us, when the clock has made 18
    EXPECT_TRUE(engine_.RenderDraining());
    EXPECT_EQ(engine_.RenderLevelAt(4 * kMicroframe), 18u);
    EXPECT_EQ(engine_.RenderLevelAt(4 * kMicroframe + 20833), 18u);  // frame 24 is converted at 520.833 us
    EXPECT_EQ(engine_.RenderLevelAt(4 * kMicroframe + 20834), 17u);

    RunConverterTo(5 * kMicroframe);
    EXPECT_EQ(engine_.RenderStats().framesConsumed, 12u);
    EXPECT_EQ(engine_.RenderRecorder().Frames(), 12u);
    EXPECT_EQ(engine_.RenderRecorder().FirstTick(), 18u);
    const std::vector<int32_t> expected = {pattern_.Sample(0, 0), pattern_.Sample(0, 1), pattern_.Sample(1, 0),
                                           pattern_.Sample(1, 1), pattern_.Sample(2, 0), pattern_.Sample(2, 1),
                                           pattern_.Sample(3, 0), pattern_.Sample(3, 1)};
    EXPECT_EQ(engine_.RenderRecorder().Retained(), expected);
}

// 24 frames start playing with tick 18; tick 42 finds the FIFO empty. Frame 42 is converted
// when the clock has made 43 frames: 43 / 48000 s = 895.833 us, so at 895 834 ns.
TEST_F(RenderFifo, UnderflowIsTimedAtTheTickThatFoundTheFifoEmptyAndReprimes)
{
    Start();
    for (int64_t slot = 0; slot < 4; ++slot) {
        Send(slot * kMicroframe, 6);
    }
    RunConverterTo(8 * kMicroframe);
    const RenderCounters& counters = engine_.RenderStats();
    EXPECT_EQ(counters.underflows.count, 1u);
    EXPECT_EQ(counters.underflows.firstNs, 895834);
    EXPECT_FALSE(engine_.RenderDraining());

    // Waiting for the start level again: three packets do not restart it, the fourth does.
    for (int64_t slot = 8; slot < 11; ++slot) {
        Send(slot * kMicroframe, 6);
    }
    RunConverterTo(20 * kMicroframe);
    EXPECT_EQ(engine_.RenderLevelAt(20 * kMicroframe), 18u);
    Send(20 * kMicroframe, 6);
    EXPECT_TRUE(engine_.RenderDraining());
    RunConverterTo(40 * kMicroframe);
    EXPECT_EQ(counters.underflows.count, 2u);
    EXPECT_EQ(counters.framesConsumed, 48u);

    // Nothing was lost: the converter played silence, not missing frames.
    const ContinuityAnalyser& continuity = *engine_.RenderRecorder().Continuity();
    EXPECT_TRUE(continuity.Continuous()) << continuity.FirstBreak();
    EXPECT_EQ(continuity.PatternFrames(), 48u);
}

// The FIFO starts only when full: thirteen 7-frame packets leave room for 5 of the fourteenth.
TEST_F(RenderFifo, OverflowKeepsWhatFitsAndTheRecorderSeesTheGap)
{
    Start(96, 96);
    for (int64_t slot = 0; slot < 14; ++slot) {
        Send(slot * kMicroframe, 7);
    }
    const RenderCounters& counters = engine_.RenderStats();
    EXPECT_EQ(counters.overflows.count, 1u);
    EXPECT_EQ(counters.overflows.firstNs, 13 * kMicroframe);
    EXPECT_EQ(counters.framesDropped, 2u);
    EXPECT_EQ(engine_.RenderLevelAt(13 * kMicroframe), 96u);

    // The clock drains 6 frames a microframe; 6-frame packets keep it full without overflowing.
    for (int64_t slot = 14; slot < 40; ++slot) {
        Send(slot * kMicroframe, 6);
    }
    RunConverterTo(40 * kMicroframe);
    EXPECT_EQ(counters.overflows.count, 1u);
    const ContinuityAnalyser& continuity = *engine_.RenderRecorder().Continuity();
    EXPECT_EQ(continuity.Gaps(), 1u);
    EXPECT_EQ(continuity.MissingFrames(), 2u);
    EXPECT_EQ(continuity.Repeats(), 0u);
}

TEST_F(RenderFifo, ProtocolErrorsAreCountedAndTheirPacketsDropped)
{
    struct Case {
        const char* what;
        uint32_t length;
        bool stopped;
    };
    const Case cases[] = {
        {"not a whole number of frames", 26, false},
        {"one frame above the alternate's maximum", 8 * 4, false},
        {"stream stopped (alternate 0)", 24, true},
    };
    for (const Case& c : cases) {
        AudioClock clock(48000);
        AudioStreamingEngine engine(BusSpeed::High, clock);
        RenderSettings settings;
        settings.format = kStereo16;
        settings.maxPacketBytes = 28;
        engine.StartRender(settings);
        const std::vector<uint8_t> good(24, 0x11);
        engine.OnIsoOut(0, good.data(), uint32_t(good.size()));
        if (c.stopped) {
            engine.StopRender();
        }
        const std::vector<uint8_t> bad(c.length, 0x22);
        engine.OnIsoOut(kMicroframe, bad.data(), uint32_t(bad.size()));

        const RenderCounters& counters = engine.RenderStats();
        EXPECT_EQ(counters.protocolErrors.count, 1u) << c.what;
        EXPECT_EQ(counters.protocolErrors.lastNs, kMicroframe) << c.what;
        EXPECT_EQ(counters.packets, 1u) << c.what;
        EXPECT_EQ(engine.RenderLevelAt(kMicroframe), c.stopped ? 0u : 6u) << c.what;
    }
}

TEST_F(RenderFifo, DefaultsAreEightMillisecondsOfRoomStartingAtTwo)
{
    AudioClock clock(44100);
    AudioStreamingEngine engine(BusSpeed::Full, clock);
    RenderSettings settings;
    settings.format = StreamFormat{4, 3, 24};
    settings.maxPacketBytes = 46 * 12;
    engine.StartRender(settings);
    EXPECT_EQ(engine.RenderFifo().capacityFrames, 353u);   // 352.8 rounded up
    EXPECT_EQ(engine.RenderFifo().startLevelFrames, 89u);  // 88.2 rounded up
    EXPECT_EQ(engine.SteeringTarget(), 89u);
}

}  // namespace
