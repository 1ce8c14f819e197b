// The explicit feedback reports: the published formats per bus speed, the FIFO-level steering, the
// two options that exercise a host's acceptance rules, and reports counted as hardware counts.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <vector>

#include "sim/devices/audio_engine/audio_streaming_engine.h"

namespace {

using namespace sim::devices::audio;

constexpr int64_t kMicroframe = 125000;

struct Encoding {
    const char* what;
    BusSpeed speed;
    FeedbackReport report;
    uint32_t rate;
    int32_t ppm;
    std::vector<uint8_t> bytes;
};

// Worked by hand: frames per interval × 2^14 or 2^16, rounded to nearest, little-endian.
const Encoding kEncodings[] = {
    {"48 kHz high speed: 6.0", BusSpeed::High, FeedbackReport::Standard, 48000, 0, {0x00, 0x00, 0x06, 0x00}},
    {"48 kHz +300 ppm high speed: 393333.96", BusSpeed::High, FeedbackReport::Standard, 48000, 300,
     {0x76, 0x00, 0x06, 0x00}},
    {"384 kHz high speed: 48.0", BusSpeed::High, FeedbackReport::Standard, 384000, 0, {0x00, 0x00, 0x30, 0x00}},
    {"44.1 kHz full speed 10.14: 722534.4", BusSpeed::Full, FeedbackReport::Standard, 44100, 0, {0x66, 0x06, 0x0B}},
    {"48 kHz -500 ppm full speed 10.14: 786038.78", BusSpeed::Full, FeedbackReport::Standard, 48000, -500,
     {0x77, 0xFE, 0x0B}},
    {"44.1 kHz full speed in 4 bytes 16.16: 2890137.6", BusSpeed::Full, FeedbackReport::FourBytesAtFullSpeed, 44100, 0,
     {0x9A, 0x19, 0x2C, 0x00}},
    {"4-byte option is a full-speed matter", BusSpeed::High, FeedbackReport::FourBytesAtFullSpeed, 48000, 0,
     {0x00, 0x00, 0x06, 0x00}},
};

TEST(Feedback, ReportsTheTrueRateInThePublishedFormat)
{
    for (const Encoding& e : kEncodings) {
        AudioClock clock(e.rate, e.ppm);
        AudioStreamingEngine engine(e.speed, clock);
        engine.Feedback().SetReport(e.report);
        std::vector<uint8_t> report(8, 0xEE);
        const uint32_t length = engine.OnFeedbackIn(0, report.data(), uint32_t(report.size()));
        ASSERT_EQ(length, e.bytes.size()) << e.what;
        EXPECT_EQ(std::vector<uint8_t>(report.begin(), report.begin() + length), e.bytes) << e.what;
        EXPECT_EQ(report[length], 0xEE) << e.what;
    }
}

TEST(Feedback, FollowsADriftChangeAtTheSlotItIsDatedFor)
{
    AudioClock clock(48000);
    AudioStreamingEngine engine(BusSpeed::High, clock);
    clock.SetDriftPpm(8 * kMicroframe, 300);
    uint8_t report[4];
    engine.OnFeedbackIn(7 * kMicroframe, report, 4);
    EXPECT_EQ(report[0], 0x00);
    engine.OnFeedbackIn(8 * kMicroframe, report, 4);
    EXPECT_EQ(report[0], 0x76);
}

uint32_t Value16(AudioStreamingEngine& engine, int64_t tNs)
{
    uint8_t report[4] = {};
    engine.OnFeedbackIn(tNs, report, 4);
    return uint32_t(report[0]) | uint32_t(report[1]) << 8 | uint32_t(report[2]) << 16 | uint32_t(report[3]) << 24;
}

// One report unit per frame the FIFO stands off its start level; 6.0 frames = 393216.
TEST(Feedback, SteersByTheFifoLevel)
{
    AudioClock clock(48000);
    AudioStreamingEngine engine(BusSpeed::High, clock);
    RenderSettings settings;
    settings.format = StreamFormat{2, 2, 16};
    settings.maxPacketBytes = 7 * 4;
    settings.fifoCapacityFrames = 96;
    settings.startLevelFrames = 24;
    engine.StartRender(settings);

    EXPECT_EQ(Value16(engine, 0), 393216u + 24);  // empty: ask for more
    const std::vector<uint8_t> six(6 * 4, 0x10);
    const std::vector<uint8_t> seven(7 * 4, 0x10);
    for (int64_t slot = 0; slot < 4; ++slot) {
        engine.OnIsoOut(slot * kMicroframe, six.data(), uint32_t(six.size()));
    }
    EXPECT_EQ(Value16(engine, 3 * kMicroframe), 393216u);  // at the start level
    for (int64_t slot = 4; slot < 10; ++slot) {
        engine.OnIsoOut(slot * kMicroframe, seven.data(), uint32_t(seven.size()));
    }
    EXPECT_EQ(engine.RenderLevelAt(9 * kMicroframe), 30u);
    EXPECT_EQ(Value16(engine, 9 * kMicroframe), 393216u - 6);  // above it: ask for less

    engine.Feedback().SetGain(0);
    EXPECT_EQ(Value16(engine, 9 * kMicroframe), 393216u);
    engine.Feedback().SetGain(100000);
    EXPECT_EQ(Value16(engine, 9 * kMicroframe), 393216u - 32768);  // never more than half a frame
}

// Garbage never passes a host's plausibility rule (at least 1.0, within one frame of nominal),
// and is the same on every run.
TEST(Feedback, GarbageIsImplausibleAndRepeatable)
{
    struct Case {
        BusSpeed speed;
        uint32_t rate;
        uint32_t nominal16;  // 16.16 frames per interval
    };
    const Case cases[] = {{BusSpeed::Full, 44100, 2890137}, {BusSpeed::High, 48000, 393216}};
    for (const Case& c : cases) {
        AudioClock clock(c.rate);
        AudioStreamingEngine engine(c.speed, clock);
        AudioStreamingEngine twin(c.speed, clock);
        engine.Feedback().SetReport(FeedbackReport::Garbage);
        twin.Feedback().SetReport(FeedbackReport::Garbage);
        std::set<uint32_t> seen;
        for (int i = 0; i < 2000; ++i) {
            uint8_t report[4] = {};
            uint8_t other[4] = {};
            const uint32_t length = engine.OnFeedbackIn(i * kMicroframe, report, 4);
            ASSERT_EQ(twin.OnFeedbackIn(i * kMicroframe, other, 4), length);
            EXPECT_EQ(std::vector<uint8_t>(report, report + 4), std::vector<uint8_t>(other, other + 4));
            uint32_t value = uint32_t(report[0]) | uint32_t(report[1]) << 8 | uint32_t(report[2]) << 16;
            value = length == 3 ? value << 2 : value | uint32_t(report[3]) << 24;
            const bool plausible = value >= 65536 && value + 65536 >= c.nominal16 && value <= c.nominal16 + 65536;
            EXPECT_FALSE(plausible) << "report " << i << " = " << value;
            seen.insert(value);
        }
        EXPECT_GT(seen.size(), 1000u);
    }
}

// Counted as hardware counts: the ticks of the sample clock over a period of 2^P bus intervals. A
// report is a whole number of ticks over 2^P, within one tick of the true rate, and the reports of
// consecutive periods add up to the ticks the clock made: their mean is off by less than one tick
// over the whole run.
TEST(Feedback, CountedReportsAreQuantisedAndAverageToTheTrueRate)
{
    const struct {
        const char* what;
        BusSpeed speed;
        uint32_t rate;
        int32_t ppm;
        uint32_t exponent;  // P
    } cases[] = {
        {"44.1 kHz +317 ppm high speed over 8 microframes", BusSpeed::High, 44100, 317, 3},
        {"48 kHz -211 ppm high speed over 1 microframe", BusSpeed::High, 48000, -211, 0},
        {"96 kHz +73 ppm high speed over 16 microframes", BusSpeed::High, 96000, 73, 4},
        {"44.1 kHz +250 ppm full speed 10.14 over 4 frames", BusSpeed::Full, 44100, 250, 2},
    };
    constexpr int kPeriods = 4000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        AudioClock clock(c.rate, c.ppm);
        AudioStreamingEngine engine(c.speed, clock);
        engine.Feedback().SetMeasurement(FeedbackMeasurement::Counted);
        engine.Feedback().SetGain(0);
        const uint32_t fraction = engine.Feedback().FractionBits();
        const int64_t intervalNs = engine.Feedback().IntervalNs();
        const int64_t periodNs = intervalNs << c.exponent;
        const double truth = double(c.rate) * (1 + c.ppm * 1e-6) * double(intervalNs) * 1e-9 * double(1u << fraction);
        const uint32_t tick = (1u << fraction) >> c.exponent;
        double sum = 0;
        std::set<uint32_t> seen;
        for (int64_t k = 1; k <= kPeriods; ++k) {
            const FeedbackTiming timing{k * periodNs, k * periodNs + intervalNs, (k - 1) * periodNs, k * periodNs,
                                        1u << c.exponent};
            uint8_t report[4] = {};
            const uint32_t length = engine.OnFeedbackIn(timing, report, 4);
            uint32_t value = uint32_t(report[0]) | uint32_t(report[1]) << 8 | uint32_t(report[2]) << 16;
            value |= length == 4 ? uint32_t(report[3]) << 24 : 0;
            ASSERT_EQ(value % tick, 0u) << "period " << k;
            ASSERT_LT(std::fabs(double(value) - truth), double(tick)) << "period " << k;
            sum += value;
            seen.insert(value);
        }
        EXPECT_EQ(seen.size(), 2u) << "the count jitters between two neighbours";
        EXPECT_LT(std::fabs(sum / kPeriods - truth), double(tick) / kPeriods);
    }
}

// A 4-byte report on an endpoint that allows 3 is what the device sends: the bus sees babble.
TEST(Feedback, ReportLongerThanTheEndpointIsBabble)
{
    AudioClock clock(44100);
    AudioStreamingEngine engine(BusSpeed::Full, clock);
    engine.Feedback().SetReport(FeedbackReport::FourBytesAtFullSpeed);
    uint8_t report[4] = {0, 0, 0, 0xEE};
    EXPECT_EQ(engine.OnFeedbackIn(0, report, 3), 4u);
    EXPECT_EQ(report[3], 0xEE);
}

}  // namespace
