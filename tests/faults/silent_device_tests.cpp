// A device that stops answering while both directions stream: every isochronous packet of every
// endpoint is lost, or every transfer stalls, or the controller holds every completion back. The
// engine counts a reset per failure at its own pace (no thread spins: the simulated clock, which
// moves only when every thread waits, keeps moving), a stop ends it within a bounded time with
// nothing left running, and once the device answers again streaming resumes.
#include <gtest/gtest.h>

#include <ostream>

#include "sim/devices/r9/r9_descriptors.h"
#include "tests/engine/engine_bench.h"
#include "tests/faults/start_outcome.h"

namespace faulttest {
namespace {

using enginetest::EngineBench;
using enginetest::kMillisecondNs;
using enginetest::kSecondNs;
using sim::devices::audio::InputSignal;
using sim::devices::audio::SignalKind;
using sim::usb::PipeFault;

constexpr uint8_t kRenderData = sim::devices::r9::kRenderEndpoint;
constexpr uint8_t kFeedback = sim::devices::r9::kFeedbackEndpoint;
constexpr uint8_t kCaptureData = sim::devices::r9::kCaptureEndpoint;
constexpr uint8_t kEndpoints[] = {kRenderData, kFeedback, kCaptureData};
// Render pauses 25 ms after each reset; capture one request's length (a few ms).
constexpr int64_t kRenderResetPauseNs = 25 * kMillisecondNs;
constexpr int64_t kCaptureResetPauseNs = 2 * kMillisecondNs;

struct SilenceCase {
    const char* name;
    PipeFault fault;  // injected into every endpoint, `repeats` times
    uint32_t repeats;
};

void PrintTo(const SilenceCase& c, std::ostream* out) { *out << c.name; }

// Enough faults for the silence to outlast the scenario's time at the bus's packet rate.
const SilenceCase kSilenceCases[] = {
    {"EveryPacketLost", PipeFault::PacketErrors(0xFFFFFFFF, USBD_STATUS_DEV_NOT_RESPONDING), 1},
    {"EveryTransferStalls", PipeFault::Stall(), 100000},
    {"EveryCompletionHeldBack", PipeFault::LateCompletions(100000, 200 * kMillisecondNs), 1},
};

class SilentDevice : public ::testing::TestWithParam<SilenceCase> {};

TEST_P(SilentDevice, TheEngineResetsAtItsPaceAndStopsCleanly)
{
    const SilenceCase& c = GetParam();
    EngineBench bench;
    bench.Machine().Verify().SetMode(sim::VerifierMode::Record);
    for (uint32_t input = 0; input < 4; ++input) {
        bench.Audio().SetInputSignal(input, InputSignal{SignalKind::FrameCounter});
    }
    bench.RunStream(kDirectionOut);
    bench.RunStream(kDirectionIn);
    ASSERT_EQ(bench.Adapter().StartDirection(kDirectionOut), STATUS_SUCCESS);
    bench.RunFor(100 * kMillisecondNs);
    const EngineStatistics before = bench.Engine().Statistics();

    for (uint8_t endpoint : kEndpoints) {
        for (uint32_t repeat = 0; repeat < c.repeats; ++repeat) {
            bench.Bus().InjectFault(endpoint, c.fault);
        }
    }
    // Not shortened under the sanitizers: a completion held back 200 ms must come back within it.
    const int64_t silence = 2 * kSecondNs;
    bench.RunFor(silence);
    const EngineStatistics during = bench.Engine().Statistics();
    const LONG renderResets = during.renderResets - before.renderResets;
    const LONG captureResets = during.captureResets - before.captureResets;
    EXPECT_GT(renderResets, 0);
    EXPECT_GT(captureResets, 0);
    EXPECT_LE(renderResets, silence / kRenderResetPauseNs + 1) << "render resets faster than its pause";
    EXPECT_LE(captureResets, silence / kCaptureResetPauseNs + 1) << "capture resets faster than its pause";

    const int64_t stopping = bench.Machine().Now();
    EXPECT_EQ(bench.Adapter().StopDirection(kDirectionOut), STATUS_SUCCESS);
    EXPECT_LT(bench.Machine().Now() - stopping, 2 * kSecondNs) << "the stop waited on the silent device";
    EXPECT_EQ(bench.Engine().RunCount(kDirectionOut), 0u);
    EXPECT_EQ(bench.Engine().RunCount(kDirectionIn), 0u);
    EXPECT_TRUE(bench.Machine().LiveSystemThreads().empty());
    bench.Unplug();
    ExpectNoReports(bench.Machine());
}

INSTANTIATE_TEST_SUITE_P(Faults, SilentDevice, ::testing::ValuesIn(kSilenceCases),
                         [](const ::testing::TestParamInfo<SilenceCase>& info) { return info.param.name; });

// The device answers again after a while of silence: the resets end and both directions stream.
TEST(SilentDevice, StreamingResumesWhenTheDeviceAnswersAgain)
{
    EngineBench bench;
    bench.Machine().Verify().SetMode(sim::VerifierMode::Record);
    bench.RunStream(kDirectionOut);
    bench.RunStream(kDirectionIn);
    ASSERT_EQ(bench.Adapter().StartDirection(kDirectionOut), STATUS_SUCCESS);
    bench.RunFor(100 * kMillisecondNs);
    // The lost packets are spent only as the engine sends requests between its resets.
    for (uint8_t endpoint : kEndpoints) {
        bench.Bus().InjectFault(endpoint, PipeFault::PacketErrors(500));
    }
    bench.RunFor(3 * kSecondNs);
    const EngineStatistics settled = bench.Engine().Statistics();
    EXPECT_GT(settled.renderResets, 0);
    EXPECT_GT(settled.captureResets, 0);
    const uint64_t rendered = bench.Bus().Counters(kRenderData).packets;
    const uint64_t captured = bench.Stream().CapturedFrames();
    bench.RunFor(kSecondNs);
    EXPECT_EQ(bench.Engine().Statistics().renderResets, settled.renderResets);
    EXPECT_EQ(bench.Engine().Statistics().captureResets, settled.captureResets);
    EXPECT_GT(bench.Bus().Counters(kRenderData).packets, rendered + 7000);
    EXPECT_GT(bench.Stream().CapturedFrames(), captured + 40000);
    EXPECT_EQ(bench.Adapter().StopDirection(kDirectionOut), STATUS_SUCCESS);
    bench.Unplug();
    ExpectNoReports(bench.Machine());
}

}  // namespace
}  // namespace faulttest
