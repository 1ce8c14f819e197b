// Real devices' descriptor sets parsed with the USBD functions, checked against facts read from
// each dump's facts.json (copied here by hand).
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "sim/api/usb_types.h"
#include "sim/usb/descriptors/audio_descriptors.h"
#include "tests/usb/descriptor_walk.h"
#include "tests/usb/fixture_files.h"

namespace {

using namespace sim::usb;
using usbtest::Dword;
using usbtest::Tribyte;
using usbtest::Word;

struct EndpointFact {
    UCHAR address;  // 0 = none
    UCHAR attributes;
    USHORT maxPacket;
    UCHAR interval;
};

struct AlternateFact {
    UCHAR interface;
    UCHAR alternate;
    UCHAR endpoints;
    UCHAR channels;
    UCHAR subslotBytes;  // bSubslotSize on 2.0, bSubframeSize on 1.0
    UCHAR bits;
    EndpointFact data;
    EndpointFact feedback;
    std::vector<uint32_t> rates;  // 1.0 discrete rates in descriptor order
};

struct FixtureFacts {
    std::string name;
    USHORT vendor;
    USHORT product;
    USHORT totalLength;
    UCHAR numInterfaces;
    size_t descriptorCount;  // the device descriptor included
    std::vector<UCHAR> interfaceNumbers;
    USHORT bcdADC;
    USHORT acHeaderTotalLength;
    size_t acClassSpecificBytes;
    std::vector<AlternateFact> alternates;
};

const FixtureFacts kFixtures[] = {
    {"behringer_umc202hd_192k",
     0x1397,
     0x0507,
     285,
     4,
     29,
     {0, 1, 2, 5},
     0x0200,
     119,
     119,
     {
         {1, 0, 0, 0, 0, 0, {}, {}, {}},
         {1, 1, 2, 2, 4, 24, {0x08, 5, 400, 1}, {0x84, 17, 4, 4}, {}},
         {2, 0, 0, 0, 0, 0, {}, {}, {}},
         {2, 1, 1, 2, 4, 24, {0x88, 37, 400, 1}, {}, {}},
     }},
    {"arturia_audiofuse_16rig",
     0x1c75,
     0xaf20,
     738,
     4,
     50,
     {0, 1, 2, 3},
     0x0200,
     400,
     393,
     {
         {1, 1, 1, 34, 4, 24, {0x01, 5, 952, 1}, {}, {}},
         {1, 2, 1, 18, 4, 24, {0x01, 5, 936, 1}, {}, {}},
         {1, 3, 1, 10, 4, 24, {0x01, 5, 1000, 1}, {}, {}},
         {2, 1, 1, 34, 4, 24, {0x81, 37, 952, 1}, {}, {}},
         {2, 2, 1, 18, 4, 24, {0x81, 37, 936, 1}, {}, {}},
         {2, 3, 1, 10, 4, 24, {0x81, 37, 1000, 1}, {}, {}},
     }},
    {"plantronics_headset_c024",
     0x047f,
     0xc024,
     288,
     4,
     29,
     {0, 1, 2, 3},
     0x0100,
     114,
     114,
     {
         {1, 1, 1, 2, 2, 16, {0x81, 5, 200, 1}, {}, {8000, 16000, 32000, 44100, 48000}},
         {2, 1, 1, 2, 2, 16, {0x01, 9, 192, 1}, {}, {8000, 16000, 24000, 32000, 44100, 48000}},
     }},
    {"teufel_cinebar_one",
     0x2cc2,
     0x0005,
     128,
     2,
     13,
     {0, 1},
     0x0100,
     43,
     43,
     {
         {1, 0, 0, 0, 0, 0, {}, {}, {}},
         {1, 1, 1, 2, 2, 16, {0x03, 1, 192, 1}, {}, {48000, 44100, 32000, 22050, 16000, 8000}},
     }},
};

void PrintTo(const FixtureFacts& facts, std::ostream* out)
{
    *out << facts.name;
}

class FixtureParse : public ::testing::TestWithParam<FixtureFacts> {};

TEST_P(FixtureParse, DeviceAndConfigurationHeadersMatchTheDump)
{
    const FixtureFacts& facts = GetParam();
    DescriptorSet set = usbtest::LoadFixture(facts.name);
    ASSERT_EQ(set.device.size(), 18u) << usbtest::FixturePath(facts.name);
    auto* device = reinterpret_cast<const USB_DEVICE_DESCRIPTOR*>(set.device.data());
    EXPECT_EQ(device->bDescriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(USHORT(device->idVendor), facts.vendor);
    EXPECT_EQ(USHORT(device->idProduct), facts.product);
    EXPECT_EQ(USHORT(device->bcdUSB), 0x0200);

    ASSERT_EQ(set.configuration.size(), facts.totalLength);
    auto* cfg = usbtest::AsConfiguration(set.configuration);
    EXPECT_EQ(USHORT(cfg->wTotalLength), facts.totalLength);
    EXPECT_EQ(cfg->bNumInterfaces, facts.numInterfaces);
    EXPECT_EQ(usbtest::CountDescriptors(cfg, cfg->wTotalLength) + 1, facts.descriptorCount);

    std::vector<UCHAR> numbers;
    for (auto* i = USBD_ParseConfigurationDescriptorEx(cfg, cfg, -1, 0, -1, -1, -1); i != nullptr;
         i = USBD_ParseConfigurationDescriptorEx(cfg, reinterpret_cast<UCHAR*>(i) + i->bLength, -1, 0, -1, -1, -1)) {
        numbers.push_back(i->bInterfaceNumber);
    }
    EXPECT_EQ(numbers, facts.interfaceNumbers);
}

TEST_P(FixtureParse, AudioControlHeaderFollowsTheControlInterface)
{
    const FixtureFacts& facts = GetParam();
    DescriptorSet set = usbtest::LoadFixture(facts.name);
    ASSERT_FALSE(set.configuration.empty());
    auto* cfg = usbtest::AsConfiguration(set.configuration);

    auto* control = USBD_ParseConfigurationDescriptorEx(cfg, cfg, -1, 0, kAudioClass, kAudioControlSubclass, -1);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->bInterfaceNumber, 0);
    auto* header = reinterpret_cast<UCHAR*>(control) + control->bLength;
    ASSERT_EQ(header[1], kCsInterface);
    ASSERT_EQ(header[2], kAcHeader);
    EXPECT_EQ(Word(header + 3), facts.bcdADC);
    EXPECT_EQ(Word(header + (facts.bcdADC == 0x0200 ? 6 : 5)), facts.acHeaderTotalLength);

    usbtest::Alternate ac = usbtest::FindAlternate(cfg, control->bInterfaceNumber, 0);
    size_t classSpecificBytes = 0;
    for (UCHAR* descriptor : ac.All(cfg, kCsInterface)) {
        classSpecificBytes += descriptor[0];
    }
    EXPECT_EQ(classSpecificBytes, facts.acClassSpecificBytes);
}

TEST_P(FixtureParse, StreamingAlternatesCarryTheirFormatsAndEndpoints)
{
    const FixtureFacts& facts = GetParam();
    DescriptorSet set = usbtest::LoadFixture(facts.name);
    ASSERT_FALSE(set.configuration.empty());
    auto* cfg = usbtest::AsConfiguration(set.configuration);
    const bool uac2 = facts.bcdADC == 0x0200;

    for (const AlternateFact& fact : facts.alternates) {
        SCOPED_TRACE("interface " + std::to_string(fact.interface) + " alternate " + std::to_string(fact.alternate));
        usbtest::Alternate alt = usbtest::FindAlternate(cfg, fact.interface, fact.alternate);
        ASSERT_TRUE(alt);
        EXPECT_EQ(alt.interface->bInterfaceClass, kAudioClass);
        EXPECT_EQ(alt.interface->bInterfaceSubClass, kAudioStreamingSubclass);
        EXPECT_EQ(alt.interface->bInterfaceProtocol, uac2 ? kAudioProtocolVersion2 : 0);
        ASSERT_EQ(alt.interface->bNumEndpoints, fact.endpoints);
        std::vector<UCHAR*> endpoints = alt.All(cfg, USB_ENDPOINT_DESCRIPTOR_TYPE);
        ASSERT_EQ(endpoints.size(), fact.endpoints);
        if (fact.endpoints == 0) {
            EXPECT_EQ(alt.ClassSpecific(cfg, kCsInterface, kAsGeneral), nullptr);
            continue;
        }

        UCHAR* general = alt.ClassSpecific(cfg, kCsInterface, kAsGeneral);
        UCHAR* format = alt.ClassSpecific(cfg, kCsInterface, kAsFormatType);
        ASSERT_NE(general, nullptr);
        ASSERT_NE(format, nullptr);
        if (uac2) {
            EXPECT_EQ(general[5], kFormatTypeI);
            EXPECT_EQ(Dword(general + 6), 1u);  // PCM
            EXPECT_EQ(general[10], fact.channels);
            EXPECT_EQ(format[4], fact.subslotBytes);
            EXPECT_EQ(format[5], fact.bits);
        } else {
            EXPECT_EQ(Word(general + 5), 0x0001);  // PCM
            EXPECT_EQ(format[3], kFormatTypeI);
            EXPECT_EQ(format[4], fact.channels);
            EXPECT_EQ(format[5], fact.subslotBytes);
            EXPECT_EQ(format[6], fact.bits);
            std::vector<uint32_t> rates;
            for (UCHAR i = 0; i < format[7]; ++i) {
                rates.push_back(Tribyte(format + 8 + 3 * i));
            }
            EXPECT_EQ(rates, fact.rates);
        }

        auto* data = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(endpoints[0]);
        EXPECT_EQ(data->bLength, uac2 ? 7 : 9);
        EXPECT_EQ(data->bEndpointAddress, fact.data.address);
        EXPECT_EQ(data->bmAttributes, fact.data.attributes);
        EXPECT_EQ(USHORT(data->wMaxPacketSize), fact.data.maxPacket);
        EXPECT_EQ(data->bInterval, fact.data.interval);
        EXPECT_NE(alt.ClassSpecific(cfg, kCsEndpoint, kEndpointGeneral), nullptr);
        if (fact.feedback.address != 0) {
            ASSERT_EQ(endpoints.size(), 2u);
            auto* feedback = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(endpoints[1]);
            EXPECT_EQ(feedback->bEndpointAddress, fact.feedback.address);
            EXPECT_EQ(feedback->bmAttributes, fact.feedback.attributes);
            EXPECT_EQ(USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE(feedback->bmAttributes),
                      USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_FEEDBACK_ENDPOINT);
            EXPECT_EQ(USHORT(feedback->wMaxPacketSize), fact.feedback.maxPacket);
            EXPECT_EQ(feedback->bInterval, fact.feedback.interval);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(RealDevices, FixtureParse, ::testing::ValuesIn(kFixtures),
                         [](const ::testing::TestParamInfo<FixtureFacts>& info) { return info.param.name; });

// The Teufel bar puts the class-specific endpoint descriptor before its endpoint: a search for the
// first endpoint must still find the endpoint, and one for CS_ENDPOINT the descriptor before it.
TEST(FixtureParse, ClassSpecificEndpointBeforeItsEndpointIsStillFound)
{
    DescriptorSet set = usbtest::LoadFixture("teufel_cinebar_one");
    ASSERT_FALSE(set.configuration.empty());
    auto* cfg = usbtest::AsConfiguration(set.configuration);
    usbtest::Alternate alt = usbtest::FindAlternate(cfg, 1, 1);
    ASSERT_TRUE(alt);
    UCHAR* classEndpoint = alt.ClassSpecific(cfg, kCsEndpoint, kEndpointGeneral);
    std::vector<UCHAR*> endpoints = alt.All(cfg, USB_ENDPOINT_DESCRIPTOR_TYPE);
    ASSERT_NE(classEndpoint, nullptr);
    ASSERT_EQ(endpoints.size(), 1u);
    EXPECT_LT(classEndpoint, endpoints[0]);
    EXPECT_EQ(classEndpoint[3], 0x81);  // sampling frequency control, MaxPacketsOnly
}

}  // namespace
