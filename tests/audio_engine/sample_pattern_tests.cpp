// Subslot layouts, the frame-counter pattern, and what the continuity analyser calls a break.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "sim/devices/audio_engine/continuity_analyser.h"
#include "sim/devices/audio_engine/sample_format.h"

namespace {

using namespace sim::devices::audio;

struct Layout {
    StreamFormat format;
    std::vector<uint8_t> bytes;  // 0x12345678 written
    int32_t readBack;
};

// Little-endian, sample in the top valid bits; what does not fit is cut off below.
const Layout kLayouts[] = {
    {{1, 2, 16}, {0x34, 0x12}, 0x12340000},
    {{1, 3, 24}, {0x56, 0x34, 0x12}, 0x12345600},
    {{1, 4, 24}, {0x00, 0x56, 0x34, 0x12}, 0x12345600},
    {{1, 4, 32}, {0x78, 0x56, 0x34, 0x12}, 0x12345678},
    {{1, 3, 20}, {0x50, 0x34, 0x12}, 0x12345000},
};

TEST(SampleFormat, SubslotLayouts)
{
    for (const Layout& l : kLayouts) {
        std::vector<uint8_t> subslot(l.format.subslotBytes + 1, 0xEE);
        WriteSample(0x12345678, subslot.data(), l.format);
        EXPECT_EQ(std::vector<uint8_t>(subslot.begin(), subslot.end() - 1), l.bytes) << l.format.validBits;
        EXPECT_EQ(subslot.back(), 0xEE);
        EXPECT_EQ(ReadSample(subslot.data(), l.format), l.readBack) << l.format.validBits;
    }
    EXPECT_THROW((StreamFormat{2, 5, 24}.Check()), std::invalid_argument);
    EXPECT_THROW((StreamFormat{2, 2, 24}.Check()), std::invalid_argument);
    EXPECT_THROW((StreamFormat{0, 2, 16}.Check()), std::invalid_argument);
}

// Four channels take 3 bits for 1..4; frame 5 on channel 2 is (5 << 3 | 3) in the top 24 bits.
TEST(FrameCounterPattern, NamesFrameAndChannel)
{
    const FrameCounterPattern pattern(4, 24);
    EXPECT_EQ(pattern.Sample(5, 2), 0x2B00);
    EXPECT_EQ(pattern.Wrap(), uint64_t(1) << 21);
    uint64_t index = 0;
    EXPECT_TRUE(pattern.Decode(0x2B00, 2, index));
    EXPECT_EQ(index, 5u);
    EXPECT_FALSE(pattern.Decode(0x2B00, 1, index));  // another channel's sample
    EXPECT_FALSE(pattern.Decode(0x2B01, 2, index));  // bits below the valid ones
    EXPECT_FALSE(pattern.Decode(0, 0, index));       // silence is never pattern
    EXPECT_EQ(FrameCounterPattern(4, 16).Wrap(), 8192u);
    EXPECT_FALSE(FrameCounterPattern::Fits(255, 16 - 1));
}

struct Stream {
    const char* what;
    std::vector<int64_t> indexes;  // -1: a silent frame, -2: channels swapped
    uint64_t gaps, missing, repeats, malformed, silent;
};

const Stream kStreams[] = {
    {"continuous", {0, 1, 2, 3}, 0, 0, 0, 0, 0},
    {"silence before and inside", {-1, 7, 8, -1, 9}, 0, 0, 0, 0, 2},
    {"two frames lost", {0, 1, 4, 5}, 1, 2, 0, 0, 0},
    {"one frame again", {0, 1, 1, 2}, 0, 0, 1, 0, 0},
    {"channels swapped", {0, -2, 1}, 0, 0, 0, 1, 0},
    {"wrapping is continuous", {16382, 16383, 0, 1}, 0, 0, 0, 0, 0},  // two channels: 14 index bits
};

TEST(ContinuityAnalyser, CountsEachKindOfBreak)
{
    const FrameCounterPattern pattern(2, 16);
    for (const Stream& s : kStreams) {
        ContinuityAnalyser analyser(2, 16);
        for (int64_t index : s.indexes) {
            int32_t frame[2] = {0, 0};
            if (index >= 0) {
                frame[0] = pattern.Sample(uint64_t(index), 0);
                frame[1] = pattern.Sample(uint64_t(index), 1);
            } else if (index == -2) {
                frame[0] = pattern.Sample(1, 1);
                frame[1] = pattern.Sample(1, 0);
            }
            analyser.Feed(frame);
        }
        EXPECT_EQ(analyser.Gaps(), s.gaps) << s.what;
        EXPECT_EQ(analyser.MissingFrames(), s.missing) << s.what;
        EXPECT_EQ(analyser.Repeats(), s.repeats) << s.what;
        EXPECT_EQ(analyser.Malformed(), s.malformed) << s.what;
        EXPECT_EQ(analyser.SilentFrames(), s.silent) << s.what;
        EXPECT_EQ(analyser.Continuous(), s.gaps + s.repeats + s.malformed == 0) << s.what;
        EXPECT_EQ(analyser.FirstBreak().empty(), analyser.Continuous()) << s.what;
    }
}

}  // namespace
