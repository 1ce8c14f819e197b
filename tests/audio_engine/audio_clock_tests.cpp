// The device clock: exact frame counts over long runs, continuity across rate changes, and the
// inverse (when a given frame is converted) that time-stamps underflows.
#include <gtest/gtest.h>

#include <stdexcept>

#include "sim/devices/audio_engine/audio_clock.h"

namespace {

using sim::devices::audio::AudioClock;

constexpr int64_t kSecond = 1000000000;

struct ExactCount {
    uint32_t rate;
    int32_t ppm;
    int64_t atNs;
    uint64_t frames;
};

// Worked by hand: rate × (1 + ppm / 10^6) × seconds, rounded down.
const ExactCount kExactCounts[] = {
    {48000, 300, 600 * kSecond, 28808640},       // 28 800 000 × 1.0003
    {48000, -300, 600 * kSecond, 28791360},      // 28 800 000 × 0.9997
    {384000, 500, 600 * kSecond, 230515200},     // 230 400 000 × 1.0005
    {384000, -500, 600 * kSecond, 230284800},
    {44100, 500, 10 * kSecond, 441220},          // 441 220.5
    {44100, 0, 22675, 0},                        // 0.99997 frames
    {44100, 0, 22676, 1},                        // 1.00001 frames
    {44100, -50, 1000 * kSecond, 44097795},      // 44 100 000 × 0.99995 = 44 097 795
    {88200, 123, 3 * kSecond + 7, 264632},       // 264 632.5458 + 0.0006
};

TEST(AudioClock, FrameCountsAreExactOverLongRuns)
{
    for (const ExactCount& c : kExactCounts) {
        AudioClock clock(c.rate, c.ppm);
        EXPECT_EQ(clock.FramesProducedBy(c.atNs), c.frames) << c.rate << " Hz " << c.ppm << " ppm at " << c.atNs << " ns";
    }
}

// +300 ppm for five minutes, then -300 ppm for five: 14 404 320 + 14 395 680 frames.
TEST(AudioClock, DriftChangeWhileRunningKeepsTheCount)
{
    AudioClock clock(48000, 300);
    clock.SetDriftPpm(300 * kSecond, -300);
    EXPECT_EQ(clock.FramesProducedBy(300 * kSecond), 14404320u);
    EXPECT_EQ(clock.FramesProducedBy(600 * kSecond), 28800000u);
    EXPECT_EQ(clock.DriftPpmAt(300 * kSecond - 1), 300);
    EXPECT_EQ(clock.DriftPpmAt(300 * kSecond), -300);

    // Around the change the count moves by at most one frame per frame period and never back.
    uint64_t previous = clock.FramesProducedBy(300 * kSecond - 100000);
    for (int64_t t = 300 * kSecond - 100000; t <= 300 * kSecond + 100000; t += 997) {
        const uint64_t now = clock.FramesProducedBy(t);
        EXPECT_GE(now, previous);
        EXPECT_LE(now - previous, 1u);
        previous = now;
    }
}

// The fraction of a frame produced before a change carries over: 44.1 kHz has made 0.99997 of
// frame 0 by 22 675 ns; at half speed from then on, the remaining 0.0000325 frames take 1.47 ns,
// so frame 0 is converted at 22 677 ns, not at 22 676 ns as without the change.
TEST(AudioClock, PartialFrameCarriesAcrossAChange)
{
    AudioClock unchanged(44100);
    EXPECT_EQ(unchanged.TimeOfFrames(1), 22676);

    AudioClock clock(44100);
    clock.SetDriftPpm(22675, -500000);
    EXPECT_EQ(clock.FramesProducedBy(22676), 0u);
    EXPECT_EQ(clock.FramesProducedBy(22677), 1u);
    EXPECT_EQ(clock.TimeOfFrames(1), 22677);
}

TEST(AudioClock, TimeOfFramesIsTheFirstInstantTheCountIsReached)
{
    AudioClock clock(96000, 250);
    clock.SetDriftPpm(kSecond / 3, -470);
    clock.SetNominalRate(kSecond / 2, 44100);
    EXPECT_EQ(clock.TimeOfFrames(0), 0);
    for (uint64_t frames = 1; frames < 80000; frames += 37) {
        const int64_t t = clock.TimeOfFrames(frames);
        EXPECT_GE(clock.FramesProducedBy(t), frames) << frames;
        EXPECT_LT(clock.FramesProducedBy(t - 1), frames) << frames;
    }
}

TEST(AudioClock, NominalRateChangeGoesOnFromTheFramesProduced)
{
    AudioClock clock(48000);
    clock.SetNominalRate(kSecond, 96000);
    EXPECT_EQ(clock.FramesProducedBy(2 * kSecond), 48000u + 96000u);
    EXPECT_EQ(clock.NominalRate(), 96000u);
    EXPECT_EQ(clock.NominalRateAt(kSecond - 1), 48000u);
}

// A change dated before the latest one cannot rewrite the past: it takes effect at that change.
TEST(AudioClock, ChangeDatedInThePastTakesEffectAtTheLatestChange)
{
    AudioClock clock(48000);
    clock.SetDriftPpm(10 * kSecond, 100);
    clock.SetDriftPpm(5 * kSecond, 200);
    EXPECT_EQ(clock.DriftPpmAt(7 * kSecond), 0);
    EXPECT_EQ(clock.DriftPpmAt(10 * kSecond), 200);
    EXPECT_EQ(clock.FramesProducedBy(20 * kSecond), 480000u + 480096u);  // 480 000 × 1.0002
}

TEST(AudioClock, RefusesImpossibleSettings)
{
    EXPECT_THROW(AudioClock(0), std::invalid_argument);
    EXPECT_THROW(AudioClock(48000, -1000000), std::invalid_argument);
    AudioClock clock(48000);
    EXPECT_THROW(clock.SetDriftPpm(0, 1000000), std::invalid_argument);
    EXPECT_THROW(clock.SetNominalRate(0, 0), std::invalid_argument);
}

}  // namespace
