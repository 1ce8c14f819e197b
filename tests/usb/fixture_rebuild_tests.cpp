// The descriptor builder, written from the class tables, must reproduce real devices' bytes
// exactly when given the field values their dumps print.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <string>

#include "sim/usb/descriptors/audio_descriptors.h"
#include "tests/usb/fixture_files.h"

namespace {

using namespace sim::usb;

// Offset of the first differing byte, or -1 when equal.
long FirstDifference(const Bytes& a, const Bytes& b)
{
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (a[i] != b[i]) {
            return static_cast<long>(i);
        }
    }
    return a.size() == b.size() ? -1 : static_cast<long>(std::min(a.size(), b.size()));
}

// Full-speed Audio Class 1.0 soundbar: its class-specific endpoint descriptor precedes the endpoint.
DescriptorSet TeufelCinebarOne()
{
    DescriptorSet set;
    set.device = Device({0x0200, 0, 0, 0, 64, 0x2cc2, 0x0005, 0x1084, 0, 2, 3, 1});
    set.configuration =
        ConfigurationBuilder(1, 0, 0xC0, 250)
            .Add(Interface(0, 0, 0, kAudioClass, kAudioControlSubclass, 0))
            .Add(uac1::AudioControl(0x0100, {1},
                                    {
                                        uac1::InputTerminal(1, kTerminalUsbStreaming, 0, 2, 0x0003, 0, 0),
                                        uac1::FeatureUnit(2, 1, 2, {0x0001, 0x0002, 0x0002}, 0),
                                        uac1::OutputTerminal(3, kTerminalSpeaker, 0, 2, 0),
                                    }))
            .Add(Interface(1, 0, 0, kAudioClass, kAudioStreamingSubclass, 0))
            .Add(Interface(1, 1, 1, kAudioClass, kAudioStreamingSubclass, 0))
            .Add(uac1::AsGeneral(1, 0, 0x0001))
            .Add(uac1::FormatTypeI(2, 2, 16, {48000, 44100, 32000, 22050, 16000, 8000}))
            .Add(uac1::IsoEndpoint(0x81, 2, 0))
            .Add(AudioEndpoint(0x03, 0x01, 192, 1, 0, 0))
            .Build();
    return set;
}

// High-speed Audio Class 2.0 interface: clock source behind a one-pin selector, explicit feedback,
// and a vendor interface numbered 5 after the audio function.
DescriptorSet BehringerUmc202hd()
{
    const std::vector<uint32_t> muteAndVolume(3, 0x0000000F);
    DescriptorSet set;
    set.device = Device({0x0200, 0xEF, 0x02, 0x01, 64, 0x1397, 0x0507, 0x0100, 1, 2, 3, 1});
    set.configuration =
        ConfigurationBuilder(1, 0, 0x80, 250)
            .Add(InterfaceAssociation(0, 3, kAudioClass, 0, kAudioProtocolVersion2, 0))
            .Add(Interface(0, 0, 1, kAudioClass, kAudioControlSubclass, kAudioProtocolVersion2))
            .Add(uac2::AudioControl(0x0200, 0x08, 0x01,
                                    {
                                        uac2::ClockSource(41, 0x03, 0x07, 0, 10),
                                        uac2::ClockSelector(40, {41}, 0x03, 0),
                                        uac2::InputTerminal(2, kTerminalUsbStreaming, 0, 40, 2, 0, 192, 0, 0),
                                        uac2::FeatureUnit(10, 2, muteAndVolume, 0),
                                        uac2::OutputTerminal(20, kTerminalSpeaker, 0, 10, 40, 0, 0),
                                        uac2::InputTerminal(1, kTerminalMicrophone, 0, 40, 2, 0, 128, 0, 0),
                                        uac2::FeatureUnit(11, 1, muteAndVolume, 0),
                                        uac2::OutputTerminal(22, kTerminalUsbStreaming, 0, 11, 40, 0, 0),
                                    }))
            .Add(Endpoint(0x81, 0x03, 6, 8))
            .Add(Interface(1, 0, 0, kAudioClass, kAudioStreamingSubclass, kAudioProtocolVersion2))
            .Add(Interface(1, 1, 2, kAudioClass, kAudioStreamingSubclass, kAudioProtocolVersion2))
            .Add(uac2::AsGeneral(2, 0, kFormatTypeI, 0x00000001, 2, 0, 192))
            .Add(uac2::FormatTypeI(4, 24))
            .Add(Endpoint(0x08, 0x05, 400, 1))
            .Add(uac2::IsoEndpoint(0, 0, 2, 8))
            .Add(Endpoint(0x84, 0x11, 4, 4))
            .Add(Interface(2, 0, 0, kAudioClass, kAudioStreamingSubclass, kAudioProtocolVersion2))
            .Add(Interface(2, 1, 1, kAudioClass, kAudioStreamingSubclass, kAudioProtocolVersion2))
            .Add(uac2::AsGeneral(22, 0, kFormatTypeI, 0x00000001, 2, 0, 128))
            .Add(uac2::FormatTypeI(4, 24))
            .Add(Endpoint(0x88, 0x25, 400, 1))
            .Add(uac2::IsoEndpoint(0, 0, 2, 8))
            .Add(Interface(5, 0, 1, 0xFF, 0x01, 0x10))
            .Add(Endpoint(0x85, 0x03, 8, 8))
            .Build();
    return set;
}

// Full-speed Audio Class 1.0 headset: mixer and selector units (sidetone), and a HID interface.
DescriptorSet PlantronicsHeadset()
{
    constexpr uint8_t kHidDescriptorType = 0x21;
    DescriptorSet set;
    set.device = Device({0x0200, 0, 0, 0, 64, 0x047f, 0xc024, 0x0128, 1, 2, 3, 1});
    set.configuration =
        ConfigurationBuilder(1, 0, 0xA0, 50)
            .Add(Interface(0, 0, 0, kAudioClass, kAudioControlSubclass, 0))
            .Add(uac1::AudioControl(0x0100, {1, 2},
                                    {
                                        uac1::InputTerminal(10, kTerminalMicrophone, 0, 2, 0x0003, 0, 6),
                                        uac1::FeatureUnit(11, 10, 1, {0x03, 0x00, 0x00}, 0),
                                        uac1::InputTerminal(1, kTerminalMicrophone, 0, 2, 0x0003, 0, 0),
                                        uac1::FeatureUnit(2, 1, 1, {0x03, 0x00, 0x00}, 0),
                                        uac1::SelectorUnit(8, {2}, 0),
                                        uac1::OutputTerminal(3, kTerminalUsbStreaming, 0, 8, 0),
                                        uac1::InputTerminal(4, kTerminalUsbStreaming, 0, 2, 0x0003, 0, 0),
                                        uac1::FeatureUnit(5, 12, 1, {0x01, 0x02, 0x02}, 0),
                                        uac1::OutputTerminal(6, kTerminalSpeaker, 0, 5, 0),
                                        uac1::MixerUnit(12, {4, 11}, 2, 0x0003, 0, {0x00}, 0),
                                    }))
            .Add(Interface(1, 0, 0, kAudioClass, kAudioStreamingSubclass, 0))
            .Add(Interface(1, 1, 1, kAudioClass, kAudioStreamingSubclass, 0))
            .Add(uac1::AsGeneral(3, 1, 0x0001))
            .Add(uac1::FormatTypeI(2, 2, 16, {8000, 16000, 32000, 44100, 48000}))
            .Add(AudioEndpoint(0x81, 0x05, 200, 1, 0, 0))
            .Add(uac1::IsoEndpoint(0x01, 0, 0))
            .Add(Interface(2, 0, 0, kAudioClass, kAudioStreamingSubclass, 0))
            .Add(Interface(2, 1, 1, kAudioClass, kAudioStreamingSubclass, 0))
            .Add(uac1::AsGeneral(4, 3, 0x0001))
            .Add(uac1::FormatTypeI(2, 2, 16, {8000, 16000, 24000, 32000, 44100, 48000}))
            .Add(AudioEndpoint(0x01, 0x09, 192, 1, 0, 0))
            .Add(uac1::IsoEndpoint(0x01, 1, 4))
            .Add(Interface(3, 0, 1, 0x03, 0, 0))
            .Add(Raw(kHidDescriptorType, {0x11, 0x01, 0x00, 0x01, 0x22, 0x61, 0x01}))
            .Add(Endpoint(0x84, 0x03, 37, 1))
            .Build();
    return set;
}

struct Rebuild {
    const char* fixture;
    std::function<DescriptorSet()> build;
};

void PrintTo(const Rebuild& rebuild, std::ostream* out)
{
    *out << rebuild.fixture;
}

class FixtureRebuild : public ::testing::TestWithParam<Rebuild> {};

TEST_P(FixtureRebuild, BuilderReproducesTheDumpByteForByte)
{
    DescriptorSet dump = usbtest::LoadFixture(GetParam().fixture);
    ASSERT_FALSE(dump.configuration.empty()) << usbtest::FixturePath(GetParam().fixture);
    DescriptorSet built = GetParam().build();
    EXPECT_EQ(FirstDifference(built.device, dump.device), -1);
    EXPECT_EQ(FirstDifference(built.configuration, dump.configuration), -1)
        << "built " << built.configuration.size() << " bytes, dump " << dump.configuration.size();
}

INSTANTIATE_TEST_SUITE_P(RealDevices, FixtureRebuild,
                         ::testing::Values(Rebuild{"teufel_cinebar_one", TeufelCinebarOne},
                                           Rebuild{"behringer_umc202hd_192k", BehringerUmc202hd},
                                           Rebuild{"plantronics_headset_c024", PlantronicsHeadset}),
                         [](const ::testing::TestParamInfo<Rebuild>& info) { return std::string(info.param.fixture); });

}  // namespace
