// The simulated device's Audio Class firmware answering requests directly: what the R9's
// descriptors allow is answered from the entity state, anything else is stalled; the crystal both
// R9 clocks share; the 1.0 endpoint rate; the PCM/DSD mode request; a real device's dump.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/devices/audio_class/audio_class_function.h"
#include "sim/devices/r9/r9_descriptors.h"
#include "sim/devices/r9/r9_device.h"

namespace {

using namespace sim::devices;
using sim::usb::Bytes;
using sim::usb::ControlReply;
using sim::usb::SetupPacket;

constexpr int64_t kMillisecond = 1000000;

ControlReply Ask(AudioClassFunction& function, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                 uint16_t length, const Bytes& data = {}, int64_t nowNs = 0)
{
    SetupPacket setup;
    setup.requestType = requestType;
    setup.request = request;
    setup.value = value;
    setup.index = index;
    setup.length = length;
    return function.Answer(setup, data.empty() ? nullptr : data.data(), data.size(), nowNs);
}

Bytes Dword(uint32_t value) { return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)}; }

// The R9 as the firmware sees it: its descriptors and its clock.
AudioClassFunction R9Function()
{
    AudioClassFunction function(R9Descriptors().configuration);
    function.SetClockRanges(R9ClockRanges());
    function.DriveClocksTogether({r9::kRenderClockSourceId, r9::kCaptureClockSourceId});
    function.SetStreamingModeAccepted(true);
    return function;
}

TEST(AudioClassFunction, AnswersWhatTheDescriptorsAllowAndStallsTheRest)
{
    AudioClassFunction function = R9Function();
    const uint16_t clock = uint16_t(r9::kRenderClockSourceId << 8);  // wIndex: entity, AC interface 0
    const uint16_t unit = uint16_t(r9::kRenderFeatureUnitId << 8);
    const uint16_t terminal = uint16_t(r9::kRenderInputTerminalId << 8);
    Bytes range = {8, 0};
    for (uint32_t rate : {44100u, 48000u, 88200u, 96000u, 176400u, 192000u, 352800u, 384000u}) {
        for (uint32_t value : {rate, rate, 0u}) {
            const Bytes bytes = Dword(value);
            range.insert(range.end(), bytes.begin(), bytes.end());
        }
    }
    const struct {
        const char* name;
        uint8_t requestType;
        uint8_t request;
        uint16_t value;
        uint16_t index;
        uint16_t length;
        Bytes data;
        bool stall;
        Bytes answer;
    } cases[] = {
        {"clock CUR", 0xA1, 0x01, 0x0100, clock, 4, {}, false, Dword(48000)},
        {"clock RANGE", 0xA1, 0x02, 0x0100, clock, 98, {}, false, range},
        {"clock validity", 0xA1, 0x01, 0x0200, clock, 1, {}, false, {1}},
        {"a rate the clock does not offer", 0x21, 0x01, 0x0100, clock, 4, Dword(12000), true, {}},
        {"a rate cut short", 0x21, 0x01, 0x0100, clock, 2, {0x80, 0xBB}, true, {}},
        {"validity is read-only", 0x21, 0x01, 0x0200, clock, 1, {1}, true, {}},
        {"a clock has no channels", 0xA1, 0x01, 0x0101, clock, 4, {}, true, {}},
        {"a RANGE cannot be set", 0x21, 0x02, 0x0100, clock, 4, Dword(48000), true, {}},
        {"a 1.0 request code", 0xA1, 0x82, 0x0100, clock, 4, {}, true, {}},
        {"mute of channel 4", 0xA1, 0x01, 0x0104, unit, 1, {}, false, {0}},
        {"no channel 5", 0xA1, 0x01, 0x0105, unit, 1, {}, true, {}},
        {"mute has no RANGE", 0xA1, 0x02, 0x0100, unit, 8, {}, true, {}},
        {"volume RANGE", 0xA1, 0x02, 0x0200, unit, 8, {}, false, {1, 0, 0x00, 0x9C, 0, 0, 0, 1}},
        {"a volume cut short", 0x21, 0x01, 0x0200, unit, 1, {0}, true, {}},
        {"no bass control", 0xA1, 0x01, 0x0300, unit, 1, {}, true, {}},
        {"no connector control", 0xA1, 0x01, 0x0200, terminal, 6, {}, true, {}},
        {"no such entity", 0xA1, 0x01, 0x0100, 0x7700, 4, {}, true, {}},
        {"entities live on the AC interface", 0xA1, 0x01, 0x0100, uint16_t(clock | 1), 4, {}, true, {}},
        {"no endpoint requests on 2.0", 0xA2, 0x81, 0x0100, 0x0001, 3, {}, true, {}},
        {"DSD mode", 0x41, 0x00, 1, 1, 0, {}, false, {}},
        {"no mode 2", 0x41, 0x00, 2, 1, 0, {}, true, {}},
        {"no mode on the AC interface", 0x41, 0x00, 1, 0, 0, {}, true, {}},
        {"no mode from device to host", 0xC1, 0x00, 1, 1, 0, {}, true, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ControlReply reply = Ask(function, c.requestType, c.request, c.value, c.index, c.length, c.data);
        EXPECT_EQ(reply.stall, c.stall);
        if (!c.stall) {
            EXPECT_EQ(reply.data, c.answer);
        }
    }
    EXPECT_EQ(function.StreamingMode(r9::kRenderInterface), 1);
    EXPECT_EQ(function.StreamingMode(r9::kCaptureInterface), 0);
    EXPECT_EQ(function.ClockRate(r9::kRenderClockSourceId), 48000u);
}

// The R9's two clock sources are one crystal: a rate set on either is the rate of both, and both
// relock together.
TEST(AudioClassFunction, ClocksOfOneCrystalMoveTogether)
{
    AudioClassFunction function = R9Function();
    function.SetLockTime(r9::kRenderClockSourceId, 50 * kMillisecond);
    const int64_t now = 7 * kMillisecond;
    const uint16_t captureClock = uint16_t(r9::kCaptureClockSourceId << 8);
    ASSERT_FALSE(Ask(function, 0x21, 0x01, 0x0100, captureClock, 4, Dword(176400), now).stall);
    EXPECT_EQ(function.ClockRate(r9::kRenderClockSourceId), 176400u);
    EXPECT_EQ(function.StreamRate(r9::kRenderInterface), 176400u);
    EXPECT_EQ(function.StreamRate(r9::kCaptureInterface), 176400u);
    for (uint8_t id : {r9::kRenderClockSourceId, r9::kCaptureClockSourceId}) {
        EXPECT_FALSE(function.ClockValid(id, now + 49 * kMillisecond)) << int(id);
        EXPECT_TRUE(function.ClockValid(id, now + 50 * kMillisecond)) << int(id);
    }
    const ControlReply validity = Ask(function, 0xA1, 0x01, 0x0200, captureClock, 1, {}, now + 10 * kMillisecond);
    EXPECT_EQ(validity.data, Bytes{0});
}

// 1.0: the rate lives in the streaming endpoint; it takes any rate an alternate through it lists.
TEST(AudioClassFunction, AudioClass10EndpointRate)
{
    AudioClassFunction function(R9FullSpeedUac1Descriptors().configuration);
    EXPECT_EQ(Ask(function, 0xA2, 0x81, 0x0100, r9::kRenderEndpoint, 3).data, (Bytes{0x80, 0xBB, 0x00}));
    // 96 kHz only the 16-bit alternate lists.
    EXPECT_FALSE(Ask(function, 0x22, 0x01, 0x0100, r9::kRenderEndpoint, 3, {0x00, 0x77, 0x01}).stall);
    EXPECT_EQ(function.EndpointRate(r9::kRenderEndpoint), 96000u);
    EXPECT_EQ(function.StreamRate(r9::kRenderInterface), 96000u);
    EXPECT_EQ(function.EndpointRate(r9::kCaptureEndpoint), 48000u);
    EXPECT_TRUE(Ask(function, 0x22, 0x01, 0x0100, r9::kRenderEndpoint, 3, {0x22, 0x56, 0x00}).stall);  // 22050
    EXPECT_TRUE(Ask(function, 0xA2, 0x81, 0x0100, r9::kFeedbackEndpoint, 3).stall);
    // Feature units answer the 1.0 codes; mute has no minimum, and 2.0 codes mean nothing here.
    const uint16_t unit = uint16_t(r9::kRenderFeatureUnitId << 8);
    EXPECT_EQ(Ask(function, 0xA1, 0x82, 0x0200, unit, 2).data, (Bytes{0x00, 0x9C}));
    EXPECT_TRUE(Ask(function, 0xA1, 0x82, 0x0100, unit, 1).stall);
    EXPECT_TRUE(Ask(function, 0xA1, 0x02, 0x0200, unit, 8).stall);
    // A device without native DSD refuses the mode request.
    EXPECT_TRUE(Ask(function, 0x41, 0x00, 1, r9::kRenderInterface, 0).stall);
}

// A real device's dump: the layout the firmware sees, every clock offering 44.1 to 192 kHz.
TEST(AudioClassFunction, RealDeviceDump)
{
    const auto file = sim::usb::ReadBinaryFile(std::string(R9_USB_FIXTURES_DIR) + "/arturia_audiofuse_16rig.bin");
    ASSERT_TRUE(file.has_value());
    AudioClassFunction function(sim::usb::DescriptorSetFromDump(*file).configuration);
    ASSERT_TRUE(function.AudioClass20());
    ASSERT_EQ(function.Layout().clockSelectors.size(), 1u);
    const ClockSelectorLayout& selector = function.Layout().clockSelectors[0];
    EXPECT_EQ(selector.id, 40);
    EXPECT_EQ(function.SelectorPosition(40), 1);
    EXPECT_EQ(function.ClockRate(40), 48000u);
    EXPECT_EQ(function.Layout().streamingInterfaces.size(), 2u);
    const ControlReply range = Ask(function, 0xA1, 0x02, 0x0100, uint16_t(selector.inputs[0] << 8), 0xFFFF);
    ASSERT_FALSE(range.stall);
    ASSERT_EQ(range.data.size(), 2u + 6 * 12);
    EXPECT_EQ(range.data[0], 6);
}

}  // namespace
