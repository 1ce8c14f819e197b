// The audio service's endpoints for a started device: which directions get one, the default
// format taken from the filter's streaming pins, and a saved format surviving the device's return.
#include <cstring>

#include "sim/pnp/audio_endpoint_builder.h"
#include "sim/pnp/endpoint_store.h"
#include "sim/registry/machine_registry.h"
#include "tests/pnp/pnp_test_support.h"

namespace {

using namespace pnp_test;
using sim::pnp::EndpointFlow;

sim::registry::Store& Registry() { return sim::registry::MachineRegistry(); }

std::vector<uint8_t> FormatValue(EndpointFlow flow, const std::u16string& endpoint, const char16_t* property)
{
    sim::registry::Value value;
    EXPECT_TRUE(Registry().GetValue(sim::pnp::EndpointPropertiesPath(flow, endpoint), property, value));
    return value.data;
}

ULONG DeviceState(EndpointFlow flow, const std::u16string& endpoint)
{
    const std::u16string key = std::u16string(sim::pnp::kEndpointStorePath) +
                               (flow == EndpointFlow::Render ? u"\\Render\\" : u"\\Capture\\") + endpoint;
    sim::registry::Value value;
    ULONG state = 0;
    if (Registry().GetValue(key, u"DeviceState", value) && value.data.size() == sizeof state) {
        std::memcpy(&state, value.data.data(), sizeof state);
    }
    return state;
}

std::u16string FriendlyName(EndpointFlow flow, const std::u16string& endpoint)
{
    sim::registry::Value value;
    Registry().GetValue(sim::pnp::EndpointPropertiesPath(flow, endpoint), sim::pnp::kFriendlyNameProperty, value);
    std::u16string text(value.data.size() / 2, u'\0');
    std::memcpy(text.data(), value.data.data(), text.size() * 2);
    return text.substr(0, text.find(u'\0'));
}

KSDATARANGE_AUDIO AudioRange(const GUID& subFormat, ULONG channels, ULONG bits, ULONG lowRate, ULONG highRate)
{
    KSDATARANGE_AUDIO range{};
    range.DataRange.FormatSize = sizeof range;
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = subFormat;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = channels;
    range.MinimumBitsPerSample = bits;
    range.MaximumBitsPerSample = bits;
    range.MinimumSampleFrequency = lowRate;
    range.MaximumSampleFrequency = highRate;
    return range;
}

KSPIN_DESCRIPTOR PinWith(std::vector<PKSDATARANGE>& ranges, KSPIN_DATAFLOW flow, KSPIN_COMMUNICATION communication)
{
    KSPIN_DESCRIPTOR pin{};
    pin.DataRangesCount = ULONG(ranges.size());
    pin.DataRanges = ranges.data();
    pin.DataFlow = flow;
    pin.Communication = communication;
    return pin;
}

using AudioEndpoints = PlugAndPlayTest;

TEST_F(AudioEndpoints, StartedDeviceGetsARenderAndACaptureEndpointInTheFilterFormat)
{
    const sim::pnp::PlugResult r9 = PlugR9();
    ASSERT_EQ(r9.status, STATUS_SUCCESS);
    // The test driver's pins offer 2 channels of 24 bits at 44.1 kHz both ways.
    const std::vector<uint8_t> expected = sim::pnp::SerializeFormat(sim::pnp::MakePcmFormat(44100, 2, 24, 24));
    for (EndpointFlow flow : {EndpointFlow::Render, EndpointFlow::Capture}) {
        SCOPED_TRACE(flow == EndpointFlow::Render ? "render" : "capture");
        const std::u16string endpoint = sim::pnp::FindAudioEndpoint(flow, kR9InstancePath);
        ASSERT_FALSE(endpoint.empty());
        for (const char16_t* property : sim::pnp::kFormatProperties) {
            EXPECT_EQ(FormatValue(flow, endpoint, property), expected);
        }
        EXPECT_EQ(DeviceState(flow, endpoint), sim::pnp::kDeviceStateActive);
        EXPECT_EQ(FriendlyName(flow, endpoint), flow == EndpointFlow::Render ? u"Speakers (R9)" : u"Microphone (R9)");
    }
}

TEST_F(AudioEndpoints, ASavedFormatSurvivesTheDeviceGoingAndComingBack)
{
    const sim::pnp::PlugResult r9 = PlugR9();
    ASSERT_EQ(r9.status, STATUS_SUCCESS);
    const std::u16string render = sim::pnp::FindAudioEndpoint(EndpointFlow::Render, kR9InstancePath);
    const std::u16string capture = sim::pnp::FindAudioEndpoint(EndpointFlow::Capture, kR9InstancePath);
    ASSERT_FALSE(render.empty());
    const std::vector<uint8_t> saved = sim::pnp::SerializeFormat(sim::pnp::MakePcmFormat(96000, 2, 32, 24));
    for (const char16_t* property : sim::pnp::kFormatProperties) {
        Registry().SetValue(sim::pnp::EndpointPropertiesPath(EndpointFlow::Render, render), property, REG_BINARY,
                            saved);
    }

    ASSERT_EQ(Unplug(r9.device), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::FindAudioEndpoint(EndpointFlow::Render, kR9InstancePath), render) << "kept while away";
    EXPECT_EQ(DeviceState(EndpointFlow::Render, render), sim::pnp::kDeviceStateNotPresent);
    EXPECT_EQ(DeviceState(EndpointFlow::Capture, capture), sim::pnp::kDeviceStateNotPresent);

    const sim::pnp::PlugResult again = PlugR9();
    ASSERT_EQ(again.status, STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::FindAudioEndpoint(EndpointFlow::Render, kR9InstancePath), render);
    EXPECT_EQ(Registry().SubkeyNames(std::u16string(sim::pnp::kEndpointStorePath) + u"\\Render").size(), 1u)
        << "no second endpoint for the same device";
    for (const char16_t* property : sim::pnp::kFormatProperties) {
        EXPECT_EQ(FormatValue(EndpointFlow::Render, render, property), saved);
    }
    EXPECT_EQ(DeviceState(EndpointFlow::Render, render), sim::pnp::kDeviceStateActive);
    EXPECT_EQ(DeviceState(EndpointFlow::Capture, capture), sim::pnp::kDeviceStateActive);
}

TEST_F(AudioEndpoints, AStoppedAudioServiceLeavesTheStoreToTheTest)
{
    sim::pnp::SetAudioServiceRunning(false);
    const sim::pnp::PlugResult r9 = PlugR9();
    ASSERT_EQ(r9.status, STATUS_SUCCESS);
    EXPECT_TRUE(sim::pnp::FindAudioEndpoint(EndpointFlow::Render, kR9InstancePath).empty());
    EXPECT_TRUE(sim::pnp::FindAudioEndpoint(EndpointFlow::Capture, kR9InstancePath).empty());
    EXPECT_TRUE(Registry().SubkeyNames(std::u16string(sim::pnp::kEndpointStorePath) + u"\\Render").empty());
}

TEST_F(AudioEndpoints, OnlyTheDirectionsTheFilterStreamsGetAnEndpoint)
{
    const sim::pnp::PlugResult device = Plug(PlainDevice(0x0A12, 0x0002, u"RENDERONLY"));
    ASSERT_NE(device.node, nullptr);
    KSDATARANGE_AUDIO range = AudioRange(KSDATAFORMAT_SUBTYPE_PCM, 8, 16, 8000, 48000);
    std::vector<PKSDATARANGE> ranges = {&range.DataRange};
    // Render sink, and a capture-side bridge pin, which carries no stream of the audio stack.
    PCPIN_DESCRIPTOR pins[2] = {};
    pins[0].KsPinDescriptor = PinWith(ranges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK);
    pins[1].KsPinDescriptor = PinWith(ranges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE);
    PCFILTER_DESCRIPTOR filter{};
    filter.PinSize = sizeof(PCPIN_DESCRIPTOR);
    filter.PinCount = 2;
    filter.Pins = pins;

    sim::pnp::OnAudioFilterArrival(device.device.Pdo(), filter);
    const std::u16string render = sim::pnp::FindAudioEndpoint(EndpointFlow::Render, device.node->InstancePath());
    ASSERT_FALSE(render.empty());
    EXPECT_EQ(FormatValue(EndpointFlow::Render, render, sim::pnp::kFormatProperties[0]),
              sim::pnp::SerializeFormat(sim::pnp::MakePcmFormat(48000, 2, 16, 16)));
    EXPECT_EQ(FriendlyName(EndpointFlow::Render, render), u"Speakers (Plain Device)");
    EXPECT_TRUE(sim::pnp::FindAudioEndpoint(EndpointFlow::Capture, device.node->InstancePath()).empty());
}

TEST(EndpointFormat, ComesFromThePinsFirstSharedModeAudioRange)
{
    KSDATARANGE_AUDIO quad24 = AudioRange(KSDATAFORMAT_SUBTYPE_PCM, 4, 24, 44100, 192000);
    KSDATARANGE_AUDIO mono16 = AudioRange(KSDATAFORMAT_SUBTYPE_PCM, 1, 16, 48000, 48000);
    KSDATARANGE_AUDIO stereo20 = AudioRange(KSDATAFORMAT_SUBTYPE_PCM, 2, 20, 32000, 96000);
    KSDATARANGE_AUDIO float32 = AudioRange(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 2, 32, 44100, 44100);
    KSDATARANGE_AUDIO analog = AudioRange(KSDATAFORMAT_SUBTYPE_ANALOG, 2, 16, 44100, 44100);
    KSDATARANGE_AUDIO flaggedAnalog = analog;
    flaggedAnalog.DataRange.Flags = KSDATARANGE_ATTRIBUTES;
    KSDATARANGE bare{};
    bare.FormatSize = sizeof bare;
    bare.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    bare.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    bare.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;

    WAVEFORMATEXTENSIBLE floatFormat = sim::pnp::MakePcmFormat(44100, 2, 32, 32);
    floatFormat.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    const struct {
        const char* what;
        std::vector<PKSDATARANGE> ranges;
        std::optional<WAVEFORMATEXTENSIBLE> format;
    } cases[] = {
        {"more than two channels: stereo, highest rate",
         {&quad24.DataRange},
         sim::pnp::MakePcmFormat(192000, 2, 24, 24)},
        {"a mono range stays mono", {&mono16.DataRange}, sim::pnp::MakePcmFormat(48000, 1, 16, 16)},
        {"20 valid bits in a 24-bit container", {&stereo20.DataRange}, sim::pnp::MakePcmFormat(96000, 2, 24, 20)},
        {"float", {&float32.DataRange}, floatFormat},
        {"the first audio range wins",
         {&mono16.DataRange, &quad24.DataRange},
         sim::pnp::MakePcmFormat(48000, 1, 16, 16)},
        {"non-PCM and bare ranges are passed over",
         {&analog.DataRange, &bare, &stereo20.DataRange},
         sim::pnp::MakePcmFormat(96000, 2, 24, 20)},
        // The slot after a flagged range holds its attribute list: what it points to is never a range.
        {"an attribute list is no range",
         {&flaggedAnalog.DataRange, &quad24.DataRange, &mono16.DataRange},
         sim::pnp::MakePcmFormat(48000, 1, 16, 16)},
        {"no audio range", {&analog.DataRange, &bare}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<PKSDATARANGE> ranges = c.ranges;
        const std::optional<WAVEFORMATEXTENSIBLE> format =
            sim::pnp::EndpointFormatFor(PinWith(ranges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK));
        ASSERT_EQ(format.has_value(), c.format.has_value());
        if (format) {
            EXPECT_EQ(sim::pnp::SerializeFormat(*format), sim::pnp::SerializeFormat(*c.format));
        }
    }
}

}  // namespace
