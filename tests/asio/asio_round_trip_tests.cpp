// Where the round trip a host measures comes from. With the R9 in loopback, a host that calls
// outputReady hears its output after two of its buffers (the input half it waited for and the one
// buffer of silence the render ring starts with), the kernel's late-mixing margin, which grows
// with the buffer's place in its range, and a part that does not depend on the buffer: one capture
// request, the USB path and the device's FIFO, and the converters. The buffer-dependent terms are
// checked here against sizes whose differences are whole capture requests, so that the capture
// request's granularity (a host's read completes at the first request that fills it) cancels.
#include <cstdio>
#include <vector>

#include "sim/devices/r9/r9_device.h"
#include "tests/asio/driver_bench.h"

namespace asiotest {
namespace {

using asiokerneltest::AsioBench;
using asiokerneltest::AsioBenchOptions;

constexpr uint32_t kValidBits = 24;
constexpr LONG kLargestFrames = 4096;

// The round trip in frames a host calling outputReady measures.
int64_t MeasureRoundTrip(ULONG rate, LONG frames, uint64_t converterFrames)
{
    AsioBenchOptions options;
    options.rate = rate;
    options.converterFrames = converterFrames;
    AsioBench bench(options);
    DriverRef driver;
    EXPECT_EQ(driver->init(nullptr), ASIOTrue) << ErrorText(driver.Get());
    EXPECT_EQ(driver->setSampleRate(rate), ASE_OK);
    TestHost host;
    std::vector<ASIOBufferInfo> infos;
    for (LONG channel = 0; channel < 4; ++channel) {
        infos.push_back({ASIOTrue, channel, {}});
        infos.push_back({ASIOFalse, channel, {}});
    }
    EXPECT_EQ(driver->createBuffers(infos.data(), LONG(infos.size()), frames, host.Callbacks()), ASE_OK);
    EXPECT_TRUE(host.StreamSignal(infos.data(), int(infos.size()), frames, ASIOSTInt32LSB, kValidBits, 4));
    host.CallOutputReady(driver.Get());
    EXPECT_EQ(driver->start(), ASE_OK);
    // Long enough for the signal to come back a few buffers over.
    Sleep(DWORD(300 + 4 * int64_t(frames) * 1000 / rate));
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_TRUE(host.Input().Continuous()) << host.Input().FirstBreak();
    return host.RoundTripFrames();
}

// The kernel's late-mixing margin in frames for a buffer of `frames` at `rate` with the default
// tuning: 72, 112 or 216 frames at the smallest buffer, 16 ms at the largest but one, in
// proportion to the buffer's place between the smallest and the largest (the ASIO driver's
// percentage, truncated).
double MarginFrames(ULONG rate, LONG frames, LONG smallest)
{
    const double atSmallest = rate <= 48000 ? 72 : rate <= 96000 ? 112 : 216;
    const double atLargest = 16.0 * (rate / 1000);
    const LONG percent = (frames - smallest) * 100 / (kLargestFrames - smallest);
    return atSmallest + (atLargest - atSmallest) * percent / 100;
}

struct RoundTripCase {
    const char* name;
    ULONG rate;
    LONG sizes[3];  // the smallest first; differences are whole capture requests
};

void PrintTo(const RoundTripCase& c, std::ostream* out) { *out << c.name; }

// A capture request is 1 ms: 44.1 frames at 44.1 kHz on average (44 and 45 alternate), so there
// only steps of 441 frames are whole requests.
const RoundTripCase kCases[] = {
    {"At44k1", 44100, {64, 505, 2269}},
    {"At48k", 48000, {64, 544, 2464}},
    {"At88k2", 88200, {128, 1010, 3656}},
    {"At96k", 96000, {128, 512, 2048}},
};

class RoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTrip, GrowsByTwoBuffersAndTheMarginAndNothingElse)
{
    const RoundTripCase& c = GetParam();
    const LONG smallest = c.sizes[0];
    const int64_t base = MeasureRoundTrip(c.rate, smallest, sim::devices::R9Device::kLoopbackDelayFrames);
    ASSERT_GT(base, 0);
    for (LONG frames : {c.sizes[1], c.sizes[2]}) {
        const int64_t measured = MeasureRoundTrip(c.rate, frames, sim::devices::R9Device::kLoopbackDelayFrames);
        const double grown = 2.0 * (frames - smallest) + MarginFrames(c.rate, frames, smallest) -
                             MarginFrames(c.rate, smallest, smallest);
        EXPECT_NEAR(double(measured - base), grown, 2.0) << frames << " frames";
        std::printf("%s, %d frames: round trip %lld, %lld beyond two buffers and the margin\n", c.name, int(frames),
                    static_cast<long long>(measured),
                    static_cast<long long>(measured - 2 * frames - MarginFrames(c.rate, frames, smallest)));
    }
}

// The converters add their delay and nothing else: a device without any hears the same stream
// exactly that much sooner.
TEST_P(RoundTrip, ConvertersAddTheirDelayFrameForFrame)
{
    const RoundTripCase& c = GetParam();
    const int64_t with = MeasureRoundTrip(c.rate, c.sizes[1], sim::devices::R9Device::kLoopbackDelayFrames);
    const int64_t without = MeasureRoundTrip(c.rate, c.sizes[1], 0);
    EXPECT_EQ(with - without, int64_t(sim::devices::R9Device::kLoopbackDelayFrames));
}

INSTANTIATE_TEST_SUITE_P(Asio, RoundTrip, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<RoundTripCase>& info) { return info.param.name; });

}  // namespace
}  // namespace asiotest
