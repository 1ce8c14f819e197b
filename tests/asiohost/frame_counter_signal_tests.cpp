// The host's signal through a stand-in loopback: each output's samples come back on the input of
// the same number some frames later. A clean loopback measures its delay exactly in every sample
// type the signal is written in; every kind of damage is caught.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "tools/asiohost/frame_counter_signal.h"

namespace asiohost {
namespace {

constexpr uint32_t kChannels = 4;

// What the inputs hear: `delay` frames of silence, then the outputs' signal from frame 0 on,
// handed to the checker half by half. `damage` may spoil the input stream before it is checked.
struct Loopback {
    SignalLayout layout;
    uint32_t frames;  // signal frames per half
    std::vector<std::vector<uint8_t>> inputs = std::vector<std::vector<uint8_t>>(kChannels);

    Loopback(ASIOSampleType type, uint32_t convertedBits, uint32_t halfFrames) : frames(halfFrames)
    {
        EXPECT_TRUE(SignalLayoutFor(type, convertedBits, layout));
    }

    SignalChecker Run(uint32_t delay, uint32_t halves, const std::function<void(Loopback&)>& damage = nullptr)
    {
        const FrameCounterSignal signal(layout, kChannels);
        EXPECT_TRUE(signal.Usable());
        const size_t total = size_t(frames) * halves;
        for (uint32_t channel = 0; channel < kChannels; ++channel) {
            std::vector<uint8_t> output(total * layout.frameBytes);
            signal.Write(output.data(), uint32_t(total), 0, channel);
            inputs[channel].assign(total * layout.frameBytes, 0);
            std::memcpy(inputs[channel].data() + size_t(delay) * layout.frameBytes, output.data(),
                        (total - delay) * layout.frameBytes);
        }
        if (damage) {
            damage(*this);
        }
        SignalChecker checker(signal, {0, 1, 2, 3});
        for (uint32_t half = 0; half < halves; ++half) {
            const void* pointers[kChannels];
            for (uint32_t channel = 0; channel < kChannels; ++channel) {
                pointers[channel] = inputs[channel].data() + size_t(half) * frames * layout.frameBytes;
            }
            checker.Check(pointers, frames);
        }
        return checker;
    }

    uint8_t* Frame(uint32_t channel, size_t frame) { return inputs[channel].data() + frame * layout.frameBytes; }
};

TEST(FrameCounterSignal, CleanLoopbackIsContinuousAndMeasuredInEveryType)
{
    struct Case {
        ASIOSampleType type;
        uint32_t convertedBits;
        uint32_t delay;
    } const cases[] = {
        {ASIOSTInt16LSB, 16, 300},     {ASIOSTInt24LSB, 24, 1234},       {ASIOSTInt32LSB, 24, 4567},
        {ASIOSTInt32LSB, 32, 77},      {ASIOSTInt32LSB20, 24, 513},      {ASIOSTDSDInt8MSB1, 24, 2104},
        {ASIOSTInt32LSB16, 16, 1},
    };
    for (const Case& c : cases) {
        Loopback loopback(c.type, c.convertedBits, 256);
        const SignalChecker checker = loopback.Run(c.delay, 40);
        EXPECT_TRUE(checker.Continuous()) << SampleTypeName(c.type) << ": " << checker.FirstBreak();
        EXPECT_EQ(checker.RoundTripFrames(), int64_t(c.delay)) << SampleTypeName(c.type);
        EXPECT_EQ(checker.SignalFrames(), 40u * 256 - c.delay) << SampleTypeName(c.type);
    }
}

TEST(FrameCounterSignal, EveryKindOfDamageBreaksTheCount)
{
    constexpr uint32_t kDelay = 100;
    constexpr size_t kDamaged = 2000;  // an input frame well after the signal arrived
    const auto dropFrame = [](Loopback& l) {
        for (uint32_t channel = 0; channel < kChannels; ++channel) {
            auto& input = l.inputs[channel];
            input.erase(input.begin() + long(kDamaged * l.layout.frameBytes),
                        input.begin() + long((kDamaged + 1) * l.layout.frameBytes));
            input.insert(input.end(), l.layout.frameBytes, 0);
        }
    };
    const auto repeatFrame = [](Loopback& l) {
        for (uint32_t channel = 0; channel < kChannels; ++channel) {
            std::memcpy(l.Frame(channel, kDamaged), l.Frame(channel, kDamaged - 1), l.layout.frameBytes);
        }
    };
    const auto crossChannels = [](Loopback& l) {
        std::vector<uint8_t> first(l.Frame(1, kDamaged), l.Frame(1, kDamaged) + l.layout.frameBytes);
        std::memcpy(l.Frame(1, kDamaged), l.Frame(2, kDamaged), l.layout.frameBytes);
        std::memcpy(l.Frame(2, kDamaged), first.data(), first.size());
    };
    const auto silence = [](Loopback& l) {
        for (uint32_t channel = 0; channel < kChannels; ++channel) {
            std::memset(l.Frame(channel, kDamaged), 0, l.layout.frameBytes * 10);
        }
    };
    const auto noise = [](Loopback& l) { l.Frame(3, kDamaged)[0] ^= 0x01; };  // a bit below the signal's
    const auto oneChannelLate = [](Loopback& l) {
        auto& input = l.inputs[2];
        input.insert(input.begin() + long(kDamaged * l.layout.frameBytes), l.layout.frameBytes, 0);
        input.resize(input.size() - l.layout.frameBytes);
    };
    struct Case {
        const char* what;
        std::function<void(Loopback&)> damage;
        const char* firstBreak;
    } const cases[] = {
        {"a frame lost", dropFrame, "expected frame 1900, got 1901"},
        {"a frame twice", repeatFrame, "expected frame 1900, got 1899"},
        {"two channels crossed", crossChannels, "input 1 hears output 2"},
        {"ten frames of silence", silence, "input 0 lost the signal"},
        {"noise in the low bits", noise, "input 3 lost the signal"},
        {"one channel a frame late", oneChannelLate, "input 2 lost the signal"},
    };
    for (const Case& c : cases) {
        Loopback loopback(ASIOSTInt32LSB, 24, 512);
        const SignalChecker checker = loopback.Run(kDelay, 8, c.damage);
        EXPECT_TRUE(checker.Arrived()) << c.what;
        EXPECT_FALSE(checker.Continuous()) << c.what;
        EXPECT_NE(checker.FirstBreak().find("input frame 2000: "), std::string::npos)
            << c.what << ": " << checker.FirstBreak();
        EXPECT_NE(checker.FirstBreak().find(c.firstBreak), std::string::npos) << c.what << ": " << checker.FirstBreak();
    }
}

TEST(FrameCounterSignal, OnlyLittleEndianIntegersAndOneBitDsdCarryIt)
{
    SignalLayout layout;
    const ASIOSampleType refused[] = {ASIOSTInt32MSB, ASIOSTFloat32LSB, ASIOSTFloat64LSB, ASIOSTDSDInt8NER8, 77};
    for (ASIOSampleType type : refused) {
        EXPECT_FALSE(SignalLayoutFor(type, 24, layout)) << SampleTypeName(type);
    }
    ASSERT_TRUE(SignalLayoutFor(ASIOSTDSDInt8MSB1, 24, layout));
    EXPECT_EQ(layout.samplesPerFrame, 32u) << "one 32-bit word of one-bit samples per signal frame";
    // Eight bits leave too few index bits beside four channels' numbers.
    ASSERT_TRUE(SignalLayoutFor(ASIOSTInt32LSB, 8, layout));
    EXPECT_FALSE(FrameCounterSignal(layout, 4).Usable());
}

TEST(FrameCounterSignal, NothingBeforeTheSignalCounts)
{
    Loopback loopback(ASIOSTDSDInt8MSB1, 24, 128);
    // The DSD idle pattern before the signal arrives is not the signal, and no break either.
    const SignalChecker checker = loopback.Run(300, 6, [](Loopback& l) {
        for (uint32_t channel = 0; channel < kChannels; ++channel) {
            std::memset(l.inputs[channel].data(), 0x96, 300 * l.layout.frameBytes);
        }
    });
    EXPECT_TRUE(checker.Continuous()) << checker.FirstBreak();
    EXPECT_EQ(checker.RoundTripFrames(), 300);
}

}  // namespace
}  // namespace asiohost
