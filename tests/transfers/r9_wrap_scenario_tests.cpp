// Render and capture through CUSBAudioCL on the R9 while the bus's 32-bit frame counter wraps,
// with the stand-in engine: nothing is lost or repeated in either direction, and the frame numbers
// the completions report run on across the wrap.
#include <gtest/gtest.h>

#include "tests/transfers/r9_stream_support.h"

namespace transfertest {
namespace {

using sim::devices::R9Variant;
using sim::devices::audio::InputSignal;
using sim::devices::audio::RenderCounters;
using sim::devices::audio::SignalKind;
using usbaudio::kDirectionIn;
using usbaudio::kDirectionOut;

constexpr ULONG kRequestMs = 8;
constexpr ULONG kFramesToWrap = 3000;  // three seconds into the stream's life

class R9AcrossTheWrap : public R9StreamTest {};

TEST_F(R9AcrossTheWrap, BothDirectionsStreamThroughTheWrap)
{
    busOptions_.firstFrameNumber = 0u - kFramesToWrap;
    StartR9(R9Variant::HighSpeedUac2);
    sim::devices::audio::AudioStreamingEngine& engine = R9().Engine();
    InputSignal counter;
    counter.kind = SignalKind::FrameCounter;
    for (uint32_t input = 0; input < 4; ++input) {
        engine.SetInputSignal(input, counter);
    }
    const SelectedFormat render = SelectPcm(kDirectionOut, 24, 48000, kRequestMs);
    const SelectedFormat capture = SelectPcm(kDirectionIn, 24, 48000, kRequestMs);
    engine.SetDriftPpm(machine_.Now(), 150);

    RenderStream renderStream(*driver_, render, RenderStream::Settings{});
    CaptureStream captureStream(*driver_, capture, 4);
    renderStream.Start();
    captureStream.Start();
    machine_.RunFor(2 * int64_t(kFramesToWrap) * kMillisecondNs);
    // Capture first: its packets would play the render FIFO on past the last render request.
    captureStream.Stop();
    renderStream.Stop();

    // The counter wrapped under the stream: it began before frame 0 and ended after it.
    EXPECT_GT(captureStream.FirstFrame(), 0x80000000u);
    EXPECT_LT(captureStream.EndFrame(), 0x80000000u);

    EXPECT_EQ(renderStream.Failures(), 0u);
    EXPECT_EQ(renderStream.FeedbackRefused(), 0u);
    const RenderCounters& played = engine.RenderStats();
    EXPECT_EQ(played.underflows.count, 0u);
    EXPECT_EQ(played.overflows.count, 0u);
    EXPECT_EQ(played.protocolErrors.count, 0u);
    const ContinuityAnalyser& continuity = *engine.RenderRecorder().Continuity();
    EXPECT_TRUE(continuity.Continuous()) << continuity.FirstBreak();
    EXPECT_EQ(continuity.PatternFrames() + engine.RenderLevelAt(0), renderStream.FramesSent());

    EXPECT_EQ(captureStream.Failures(), 0u);
    EXPECT_EQ(engine.CaptureStats().framesLost, 0u);
    const ContinuityAnalyser& received = captureStream.Received();
    EXPECT_TRUE(received.Continuous()) << received.FirstBreak();
    EXPECT_EQ(received.SilentFrames(), 0u);
    // From the first packet's slot to the last one's, by the frame numbers the completions
    // reported: exactly the frames the clock produced.
    const sim::devices::audio::AudioClock& clock = engine.CaptureClock();
    const int64_t microframeNs = kMillisecondNs / 8;
    const int64_t firstSlotNs = usb_->FrameStartNs(captureStream.FirstFrame());
    const int64_t lastSlotNs = usb_->FrameStartNs(captureStream.EndFrame()) - microframeNs;
    EXPECT_EQ(captureStream.FramesReceived(),
              clock.FramesProducedBy(lastSlotNs) - clock.FramesProducedBy(firstSlotNs - microframeNs));
}

}  // namespace
}  // namespace transfertest
