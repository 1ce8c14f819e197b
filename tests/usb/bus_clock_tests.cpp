// The host controller's frame clock: a 32-bit counter that starts near its wrap and may run a few
// ppm off the machine's clock, as a controller's own crystal does.
#include <gtest/gtest.h>

#include <set>

#include "sim/kernel/machine.h"
#include "sim/usb/bus_time.h"
#include "sim/usb/host_controller.h"

namespace {

using sim::usb::BusClock;
using sim::usb::UsbSpeed;

constexpr int64_t kSecond = 1000000000;

TEST(BusClock, NumbersFramesFromItsFirstNumberAcrossTheWrap)
{
    const BusClock clock(0xFFFFFFFE, 0);
    EXPECT_EQ(clock.FrameNumber(0), 0xFFFFFFFEu);
    EXPECT_EQ(clock.FrameNumber(1), 0xFFFFFFFFu);
    EXPECT_EQ(clock.FrameNumber(2), 0u);
    EXPECT_EQ(clock.FrameNumber(3), 1u);
    // A number names the frame nearest the one given: ahead across the wrap, behind it too.
    EXPECT_EQ(clock.FrameNamed(1, 0), 3);
    EXPECT_EQ(clock.FrameNamed(0xFFFFFFFD, 0), -1);
    EXPECT_EQ(clock.FrameNamed(0xFFFFFFFF, 5), 1);
}

// Boundaries worked by hand: frame k begins at ceil(k x 10^12 / (10^6 + ppm)) ns.
TEST(BusClock, ACrystalOffByPpmMovesEveryBoundary)
{
    const struct {
        int32_t ppm;
        int64_t frame;
        int64_t startNs;
    } cases[] = {
        {0, 1000, 1000000000},
        {500, 1000, 999500250},
        {500, 2001, 2000000000},
        {-500, 1000, 1000500251},
        {3, 3600010, 3599999200003},
    };
    for (const auto& c : cases) {
        const BusClock clock(0, c.ppm);
        EXPECT_EQ(clock.FrameStartNs(c.frame), c.startNs) << c.ppm << " ppm, frame " << c.frame;
        EXPECT_EQ(clock.FrameAt(c.startNs), c.frame) << c.ppm << " ppm";
        EXPECT_EQ(clock.FrameAt(c.startNs - 1), c.frame - 1) << c.ppm << " ppm";
    }
    // The counter advances at (1 + ppm x 10^-6) x machine time: an hour at +3 ppm gains 10.8 frames.
    EXPECT_EQ(BusClock(0, 3).FrameAt(3600 * kSecond), 3600010);
    EXPECT_EQ(BusClock(0, 500).FrameAt(kSecond), 1000);  // 1000.5
    EXPECT_EQ(BusClock(0, -500).FrameAt(kSecond), 999);  // 999.5
}

TEST(BusClock, MicroframesTileTheFrames)
{
    for (int32_t ppm : {0, 500, -317}) {
        const BusClock clock(0, ppm);
        for (int64_t frame : {int64_t(1), int64_t(999), int64_t(123456789)}) {
            EXPECT_EQ(clock.IntervalStartNs(8 * frame, UsbSpeed::High), clock.FrameStartNs(frame)) << ppm;
            EXPECT_EQ(clock.IntervalStartNs(frame, UsbSpeed::Full), clock.FrameStartNs(frame)) << ppm;
            for (int64_t microframe = 8 * frame; microframe < 8 * frame + 8; ++microframe) {
                const int64_t start = clock.IntervalStartNs(microframe, UsbSpeed::High);
                EXPECT_EQ(clock.IntervalAt(start, UsbSpeed::High), microframe) << ppm;
                EXPECT_EQ(clock.IntervalAt(start - 1, UsbSpeed::High), microframe - 1) << ppm;
            }
        }
    }
}

// Unless a test chooses, the counter starts somewhere in the last minute before the wrap,
// depending on the seed, so every stream longer than a minute crosses it.
TEST(BusClock, DefaultFirstNumberPutsTheWrapWithinAMinute)
{
    std::set<ULONG> seen;
    for (uint64_t seed = 0; seed < 200; ++seed) {
        const ULONG first = sim::usb::FirstFrameNumberFromSeed(seed);
        const ULONG framesToWrap = 0u - first;
        EXPECT_GE(framesToWrap, 30000u) << seed;
        EXPECT_LT(framesToWrap, 60000u) << seed;
        seen.insert(first);
    }
    EXPECT_GT(seen.size(), 190u);

    sim::Machine machine;
    sim::usb::HostController usb;
    EXPECT_NE(usb.CurrentFrame(), 0u);
    EXPECT_EQ(usb.CurrentFrame(), sim::usb::FirstFrameNumberFromSeed(sim::usb::HostControllerOptions{}.frameSeed));
}

TEST(BusClock, DriftBeyondWhatUsbAllowsIsReported)
{
    sim::Machine machine;
    machine.Verify().SetMode(sim::VerifierMode::Record);
    const BusClock allowed(0, -BusClock::kLargestPpm);
    EXPECT_TRUE(machine.Verify().Reports().empty());
    const BusClock tooFast(0, BusClock::kLargestPpm + 1);
    EXPECT_TRUE(machine.Verify().HasReport("USB frame clock out of tolerance"));
}

}  // namespace
