// An ASIO host streaming full duplex through the R9 in loopback, as the ASIO driver does: two reads
// of one buffer half outstanding and one write per half. The frame-counter output comes back
// continuous, nothing resets, and the round trip measured from the signal is the driver's
// pipeline: the capture request and the read on the way in, the margin and the render ring's
// buffer of fill on the way out, and the converters.
#include <cstdio>
#include <ostream>

#include "tests/asio_kernel/asio_bench.h"
#include "tests/scenario_time.h"

namespace asiokerneltest {
namespace {

struct DuplexCase {
    const char* name;
    ULONG rate;
    ULONG bufferFrames;
    int64_t durationNs;
    bool oldFashioned = false;
};

void PrintTo(const DuplexCase& c, std::ostream* out) { *out << c.name; }

const DuplexCase kDuplexCases[] = {
    {"Frames64At44k1", 44100, 64, ScenarioNs(10 * kMinuteNs)},
    {"Frames128At48k", 48000, 128, ScenarioNs(10 * kMinuteNs)},
    {"Frames256At96k", 96000, 256, ScenarioNs(10 * kMinuteNs)},
    // Output mixed into each 2 ms request as it is built: the ring must hold a request's worth
    // beyond the buffer the host is late by, or every few requests drop frames.
    {"OldFashionedFrames64At48k", 48000, 64, ScenarioNs(kMinuteNs), true},
    {"OldFashionedFrames128At96k", 96000, 128, ScenarioNs(kMinuteNs), true},
};

class AsioDuplex : public ::testing::TestWithParam<DuplexCase> {};

TEST_P(AsioDuplex, TheSignalComesBackContinuous)
{
    const DuplexCase& c = GetParam();
    AsioBenchOptions options;
    options.rate = c.rate;
    options.oldFashioned = c.oldFashioned;
    AsioBench bench(options);
    auto client = bench.NewClient();
    ASSERT_TRUE(client->IsOpen());
    ASSERT_EQ(client->Claim(), 0u);
    ASSERT_EQ(client->Open({c.bufferFrames}), 0u);
    ASSERT_EQ(client->Start(), 0u);
    const uint64_t halves = uint64_t(c.durationNs / kMillisecondNs) * c.rate / 1000 / c.bufferFrames;
    EXPECT_TRUE(client->Stream(halves)) << client->Error();
    const EngineStatistics statistics = bench.Adapter().Engine().Statistics();
    EXPECT_EQ(client->Stop(), 0u);
    EXPECT_EQ(client->CloseStream(), 0u);

    EXPECT_EQ(statistics.renderResets, 0);
    EXPECT_EQ(statistics.captureResets, 0);
    EXPECT_TRUE(client->Input().Continuous()) << client->Input().FirstBreak();
    EXPECT_GT(client->Input().PatternFrames(), (halves - 100) * c.bufferFrames);
    EXPECT_GT(client->RoundTripFrames(), 0);
    std::printf("round trip at %u Hz with %u-frame halves: %lld frames (%.2f ms)\n", unsigned(c.rate),
                unsigned(c.bufferFrames), static_cast<long long>(client->RoundTripFrames()),
                double(client->RoundTripFrames()) * 1000.0 / c.rate);
}

INSTANTIATE_TEST_SUITE_P(Asio, AsioDuplex, ::testing::ValuesIn(kDuplexCases),
                         [](const ::testing::TestParamInfo<DuplexCase>& info) { return info.param.name; });

}  // namespace
}  // namespace asiokerneltest
