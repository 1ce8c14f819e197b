// The test ASIO host streaming full duplex through the installed ASIO driver, the kernel driver and
// the R9 in loopback, with the device's crystal off by up to 300 ppm: every input half continuous,
// no reset request, and the round trip measured from the signal set beside what getLatencies claims.
#include <cstdio>
#include <ostream>

#include "tests/asio/driver_bench.h"
#include "tests/scenario_time.h"

namespace asiotest {
namespace {

using asiokerneltest::AsioBench;
using asiokerneltest::AsioBenchOptions;
using asiokerneltest::kMinuteNs;

struct DuplexCase {
    const char* name;
    ULONG rate;        // what the host asks for (the DSD bit rate for native DSD)
    LONG bufferSize;   // what the host passes to createBuffers
    int32_t driftPpm;
    int64_t durationNs;
    bool dsd = false;
};

void PrintTo(const DuplexCase& c, std::ostream* out) { *out << c.name; }

const DuplexCase kCases[] = {
    {"Frames64At44k1", 44100, 64, 300, ScenarioNs(10 * kMinuteNs)},
    {"Frames64At48k", 48000, 64, -300, ScenarioNs(kMinuteNs)},
    {"Frames512At44k1", 44100, 512, -300, ScenarioNs(kMinuteNs)},
    {"Frames512At48k", 48000, 512, 300, ScenarioNs(kMinuteNs)},
    {"Frames512At96k", 96000, 512, -300, ScenarioNs(kMinuteNs)},
    {"Frames512At192k", 192000, 512, 300, ScenarioNs(kMinuteNs)},
    {"Frames2048At44k1", 44100, 2048, 300, ScenarioNs(kMinuteNs)},
    {"Frames2048At48k", 48000, 2048, -300, ScenarioNs(kMinuteNs)},
    {"Frames2048At96k", 96000, 2048, 300, ScenarioNs(kMinuteNs)},
    {"Frames2048At192k", 192000, 2048, -300, ScenarioNs(kMinuteNs)},
    // 512 words of 32 one-bit samples at 88.2 kHz.
    {"NativeDsd64", 2822400, 16384, 300, ScenarioNs(kMinuteNs), true},
};

class AsioDriverDuplex : public ::testing::TestWithParam<DuplexCase> {};

// The test ASIO host finds the installed driver, creates it through COM and streams every channel.
TEST_P(AsioDriverDuplex, EveryInputHalfContinuousAndNoReset)
{
    const DuplexCase& c = GetParam();
    AsioBenchOptions options;
    options.rate = c.dsd ? c.rate / 32 : c.rate;
    AsioBench bench(options);
    bench.Audio().SetDriftPpm(sim::Machine::Current().Now(), c.driftPpm);
    InstalledAsioHost host;
    asiohost::StreamOptions stream;
    stream.rate = c.rate;
    stream.bufferSize = c.bufferSize;
    stream.dsd = c.dsd;
    stream.milliseconds = DWORD(c.durationNs / 1000000);
    // The converters take 24 bits of each 32-bit word, DSD words included.
    stream.convertedBits = 24;
    asiohost::StreamReport report;
    ASSERT_TRUE(host.session.Stream(stream, report)) << report.failure;
    EXPECT_EQ(report.inputs, 4);
    EXPECT_EQ(report.outputs, 4);
    ASSERT_TRUE(report.signal);

    const LONG frames = c.dsd ? c.bufferSize / 32 : c.bufferSize;
    const uint64_t expected = uint64_t(c.durationNs / 1000000) * options.rate / 1000 / uint64_t(frames);
    // The device's clock is off by 300 ppm at most, and the stream takes up to 20 ms to start.
    const double startSwitches = 0.020 * options.rate / double(frames);
    EXPECT_NEAR(double(report.switches), double(expected), double(expected) * 0.0003 + startSwitches + 2);
    EXPECT_TRUE(report.Continuous()) << report.firstBreak;
    EXPECT_EQ(report.resetRequests, 0);
    EXPECT_EQ(report.recreations, 0);
    EXPECT_GT(report.roundTrip, 0);
    if (report.latencies == ASE_OK) {
        std::printf("%s: round trip %lld frames, getLatencies %ld + %ld = %ld\n", c.name,
                    static_cast<long long>(report.roundTrip), long(report.inputLatency), long(report.outputLatency),
                    long(report.inputLatency + report.outputLatency));
    } else {
        std::printf("%s: round trip %lld frames, no latencies at this rate\n", c.name,
                    static_cast<long long>(report.roundTrip));
    }
}

INSTANTIATE_TEST_SUITE_P(Asio, AsioDriverDuplex, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<DuplexCase>& info) { return info.param.name; });

}  // namespace
}  // namespace asiotest
