// The frame packer and the saturating mixes, byte for byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <vector>

#include "driver/engine/sample_packing.h"
#include "sim/kernel/machine.h"

namespace enginetest {
namespace {

using Bytes = std::vector<uint8_t>;

struct PackCase {
    const char* name;
    ULONG srcChannels, srcBits;
    ULONG dstChannels, dstBits;
    Bytes source;
    Bytes expected;
};

const PackCase kPackCases[] = {
    {"SameFormatIsCopied", 2, 16, 2, 16, {0x01, 0x02, 0x03, 0x04}, {0x01, 0x02, 0x03, 0x04}},
    {"Stereo16IntoFourChannels24", 2, 16, 4, 24, {0x11, 0x22, 0x33, 0x44},
     {0x00, 0x11, 0x22, 0x00, 0x33, 0x44, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {"Stereo32IntoFourChannels24DropsTheLowByte", 2, 32, 4, 24,
     {0xA1, 0xA2, 0xA3, 0xA4, 0xB1, 0xB2, 0xB3, 0xB4, 0xC1, 0xC2, 0xC3, 0xC4, 0xD1, 0xD2, 0xD3, 0xD4},
     {0xA2, 0xA3, 0xA4, 0xB2, 0xB3, 0xB4, 0, 0, 0, 0, 0, 0, 0xC2, 0xC3, 0xC4, 0xD2, 0xD3, 0xD4, 0, 0, 0, 0, 0, 0}},
    {"Unsigned8IntoSigned16", 1, 8, 1, 16, {0x80, 0xFF, 0x00}, {0x00, 0x00, 0x00, 0x7F, 0x00, 0x80}},
    {"Signed16IntoUnsigned8", 1, 16, 1, 8, {0x34, 0x00, 0xFF, 0x7F, 0x00, 0x80}, {0x80, 0xFF, 0x00}},
    {"MissingChannelsOf8BitAreUnsignedSilence", 1, 16, 2, 8, {0x00, 0x12}, {0x92, 0x80}},
    {"SixChannelsIntoStereoKeepChannelsZeroAndOne", 6, 16, 2, 16,
     {1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8, 0, 9, 0, 10, 0, 11, 0, 12, 0}, {1, 0, 2, 0, 7, 0, 8, 0}},
    {"Widening24To32PadsTheLowByte", 1, 24, 1, 32, {0x01, 0x02, 0x03}, {0x00, 0x01, 0x02, 0x03}},
    {"APartialFrameAtTheEndIsNotRead", 2, 16, 2, 24, {0x01, 0x02, 0x03, 0x04, 0x05},
     {0x00, 0x01, 0x02, 0x00, 0x03, 0x04}},
};

void PrintTo(const PackCase& c, std::ostream* out) { *out << c.name; }

class PackFramesCase : public ::testing::TestWithParam<PackCase> {};

TEST_P(PackFramesCase, ConvertsEveryFrame)
{
    const PackCase& c = GetParam();
    Bytes destination(c.expected.size() + 4, 0xEE);
    const ULONG written = PackFrames(destination.data(), ULONG(c.expected.size()), c.source.data(),
                                     ULONG(c.source.size()), c.dstChannels, c.dstBits, c.srcChannels, c.srcBits);
    EXPECT_EQ(written, c.expected.size());
    EXPECT_EQ(Bytes(destination.begin(), destination.begin() + c.expected.size()), c.expected);
    EXPECT_EQ(Bytes(destination.end() - 4, destination.end()), Bytes(4, 0xEE)) << "wrote past the frames";
}

INSTANTIATE_TEST_SUITE_P(PackFrames, PackFramesCase, ::testing::ValuesIn(kPackCases),
                         [](const ::testing::TestParamInfo<PackCase>& info) { return info.param.name; });

// Every width pair and channel-count pair against a sample-by-sample reading of the rules.
TEST(PackFrames, EveryWidthAndChannelPairFollowsTheRules)
{
    const ULONG widths[] = {8, 16, 24, 32};
    for (ULONG srcBits : widths) {
        for (ULONG dstBits : widths) {
            for (ULONG srcChannels = 1; srcChannels <= 4; ++srcChannels) {
                for (ULONG dstChannels = 1; dstChannels <= 4; ++dstChannels) {
                    SCOPED_TRACE(testing::Message() << srcChannels << "x" << srcBits << " -> " << dstChannels << "x"
                                                    << dstBits);
                    const ULONG s = srcBits / 8;
                    const ULONG d = dstBits / 8;
                    const ULONG frames = 3;
                    Bytes source(frames * srcChannels * s);
                    for (size_t i = 0; i < source.size(); ++i) {
                        source[i] = uint8_t(17 * i + 5);
                    }
                    Bytes destination(frames * dstChannels * d, 0xEE);
                    ASSERT_EQ(PackFrames(destination.data(), ULONG(destination.size()), source.data(),
                                         ULONG(source.size()), dstChannels, dstBits, srcChannels, srcBits),
                              destination.size());
                    for (ULONG frame = 0; frame < frames; ++frame) {
                        for (ULONG channel = 0; channel < dstChannels; ++channel) {
                            const uint8_t* out = &destination[(frame * dstChannels + channel) * d];
                            if (channel >= srcChannels) {
                                for (ULONG k = 0; k < d; ++k) {
                                    EXPECT_EQ(out[k], d == 1 ? 0x80 : 0x00);
                                }
                                continue;
                            }
                            const uint8_t* in = &source[(frame * srcChannels + channel) * s];
                            // The most significant bytes line up; below the source's width is zero.
                            for (ULONG k = 0; k < d; ++k) {
                                const LONG fromTop = LONG(d) - 1 - LONG(k);
                                const LONG sourceIndex = LONG(s) - 1 - fromTop;
                                uint8_t expected = sourceIndex >= 0 ? in[sourceIndex] : 0;
                                if (fromTop == 0 && (s == 1) != (d == 1)) {
                                    expected = uint8_t(expected - 0x80);
                                }
                                EXPECT_EQ(out[k], expected) << "frame " << frame << " channel " << channel;
                            }
                        }
                    }
                }
            }
        }
    }
}

// Refusals are traced, which takes a machine.
class PackFramesRefusal : public ::testing::Test {
protected:
    sim::Machine machine_;
};

TEST_F(PackFramesRefusal, ADestinationTooSmallGetsNothing)
{
    const Bytes source = {1, 2, 3, 4, 5, 6, 7, 8};
    Bytes destination(11, 0xEE);
    EXPECT_EQ(PackFrames(destination.data(), 11, source.data(), 8, 2, 24, 2, 16), 0u);  // needs 12
    EXPECT_EQ(destination, Bytes(11, 0xEE));
    EXPECT_EQ(PackFrames(destination.data(), 7, source.data(), 8, 2, 16, 2, 16), 0u);  // equal formats too
    EXPECT_EQ(destination, Bytes(11, 0xEE));
}

TEST_F(PackFramesRefusal, WidthsThatAreNoSampleSizeAreRefused)
{
    const Bytes source(8, 1);
    Bytes destination(32, 0xEE);
    EXPECT_EQ(PackFrames(destination.data(), 32, source.data(), 8, 2, 20, 2, 16), 0u);
    EXPECT_EQ(PackFrames(destination.data(), 32, source.data(), 8, 2, 16, 0, 16), 0u);
    EXPECT_EQ(PackFrames(destination.data(), 32, source.data(), 8, 2, 40, 2, 16), 0u);
    EXPECT_EQ(destination, Bytes(32, 0xEE));
}

struct MixCase {
    const char* name;
    ULONG bits;
    Bytes destination;
    Bytes source;
    Bytes expected;
};

const MixCase kMixCases[] = {
    {"Adds16", 16, {0x00, 0x10}, {0x00, 0x01}, {0x00, 0x11}},
    {"Saturates16Up", 16, {0xFF, 0x7F}, {0x01, 0x00}, {0xFF, 0x7F}},
    {"Saturates16Down", 16, {0x00, 0x80}, {0xFF, 0xFF}, {0x00, 0x80}},
    {"Saturates24Up", 24, {0xFF, 0xFF, 0x7F}, {0x01, 0x00, 0x00}, {0xFF, 0xFF, 0x7F}},
    {"Saturates24Down", 24, {0x00, 0x00, 0x80}, {0xFF, 0xFF, 0xFF}, {0x00, 0x00, 0x80}},
    {"AddsNegative24", 24, {0x10, 0x00, 0x00}, {0xF0, 0xFF, 0xFF}, {0x00, 0x00, 0x00}},
    {"Saturates32Up", 32, {0xFF, 0xFF, 0xFF, 0x7F}, {0xFF, 0xFF, 0xFF, 0x7F}, {0xFF, 0xFF, 0xFF, 0x7F}},
    {"Saturates32Down", 32, {0x00, 0x00, 0x00, 0x80}, {0xFF, 0xFF, 0xFF, 0xFF}, {0x00, 0x00, 0x00, 0x80}},
    {"TwoSamples16", 16, {0x01, 0x00, 0xFE, 0xFF}, {0x01, 0x00, 0x01, 0x00}, {0x02, 0x00, 0xFF, 0xFF}},
};

void PrintTo(const MixCase& c, std::ostream* out) { *out << c.name; }

class MixSamplesCase : public ::testing::TestWithParam<MixCase> {};

TEST_P(MixSamplesCase, AddsWithSaturation)
{
    const MixCase& c = GetParam();
    const MixRoutine mix = MixRoutineForBits(c.bits);
    ASSERT_NE(mix, nullptr);
    Bytes destination = c.destination;
    mix(destination.data(), c.source.data(), ULONG(destination.size() * 8 / c.bits));
    EXPECT_EQ(destination, c.expected);
}

INSTANTIATE_TEST_SUITE_P(MixSamples, MixSamplesCase, ::testing::ValuesIn(kMixCases),
                         [](const ::testing::TestParamInfo<MixCase>& info) { return info.param.name; });

TEST(MixSamples, TheTableHasNoRoutineFor8BitsOrOtherWidths)
{
    EXPECT_EQ(MixRoutineForBits(8), nullptr);
    EXPECT_EQ(MixRoutineForBits(16), &MixSamples16);
    EXPECT_EQ(MixRoutineForBits(24), &MixSamples24);
    EXPECT_EQ(MixRoutineForBits(32), &MixSamples32);
    EXPECT_EQ(MixRoutineForBits(12), nullptr);
    EXPECT_EQ(MixRoutineForBits(0), nullptr);
    EXPECT_EQ(MixRoutineForBits(40), nullptr);
}

TEST(MixSamples, NativeDsdIsCopiedNotAdded)
{
    Bytes destination = {0x69, 0x69, 0x69, 0x69, 0x96, 0x96, 0x96, 0x96};
    const Bytes source = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    CopySamples32(destination.data(), source.data(), 2);
    EXPECT_EQ(destination, source);
}

}  // namespace
}  // namespace enginetest
