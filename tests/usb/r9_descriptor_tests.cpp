// The R9's descriptor sets, read back the way the driver reads them: interfaces and alternates
// through the USBD parsing functions, entities and formats by their published offsets.
#include <gtest/gtest.h>

#include <string>

#include "sim/api/usb_types.h"
#include "sim/devices/r9/r9_descriptors.h"
#include "sim/usb/descriptors/audio_descriptors.h"
#include "tests/usb/descriptor_walk.h"

namespace {

using namespace sim::usb;
using namespace sim::devices::r9;
using usbtest::Dword;
using usbtest::Tribyte;
using usbtest::Word;

// Text of a string descriptor as the device sends it.
std::u16string Text(const Bytes& descriptor)
{
    std::u16string text;
    for (size_t i = 2; i + 1 < descriptor.size(); i += 2) {
        text.push_back(static_cast<char16_t>(descriptor[i] | descriptor[i + 1] << 8));
    }
    return text;
}

// The class-specific AC descriptors after the header, keyed by their ID byte.
std::vector<UCHAR*> Entities(PUSB_CONFIGURATION_DESCRIPTOR cfg)
{
    usbtest::Alternate ac = usbtest::FindAlternate(cfg, kAudioControlInterface, 0);
    std::vector<UCHAR*> all = ac.All(cfg, kCsInterface);
    if (!all.empty()) {
        all.erase(all.begin());  // the header
    }
    return all;
}

UCHAR* Entity(PUSB_CONFIGURATION_DESCRIPTOR cfg, UCHAR id)
{
    for (UCHAR* entity : Entities(cfg)) {
        if (entity[3] == id) {
            return entity;
        }
    }
    return nullptr;
}

class R9Set : public ::testing::TestWithParam<bool> {
protected:
    bool HighSpeed() const { return GetParam(); }
    DescriptorSet set_ = GetParam() ? sim::devices::R9Descriptors() : sim::devices::R9FullSpeedUac1Descriptors();
    PUSB_CONFIGURATION_DESCRIPTOR cfg_ = usbtest::AsConfiguration(set_.configuration);
};

TEST_P(R9Set, DeviceAndConfigurationDescriptors)
{
    ASSERT_EQ(set_.device.size(), sizeof(USB_DEVICE_DESCRIPTOR));
    auto* device = reinterpret_cast<const USB_DEVICE_DESCRIPTOR*>(set_.device.data());
    EXPECT_EQ(device->bLength, 18);
    EXPECT_EQ(USHORT(device->bcdUSB), HighSpeed() ? 0x0200 : 0x0110);
    EXPECT_EQ(USHORT(device->idVendor), 0x3A5C);
    EXPECT_EQ(USHORT(device->idProduct), 0x0009);
    EXPECT_EQ(USHORT(device->bcdDevice), 0x0100);
    EXPECT_EQ(device->bNumConfigurations, 1);
    EXPECT_EQ(Text(set_.StringDescriptor(device->iManufacturer)), u"TAVO");
    EXPECT_EQ(Text(set_.StringDescriptor(device->iProduct)), u"R9");
    EXPECT_FALSE(Text(set_.StringDescriptor(device->iSerialNumber)).empty());
    // The driver reads exactly 4 bytes of string descriptor 0: one language.
    EXPECT_EQ(set_.StringDescriptor(0), (Bytes{4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04}));

    EXPECT_EQ(cfg_->bLength, 9);
    EXPECT_EQ(USHORT(cfg_->wTotalLength), set_.configuration.size());
    EXPECT_EQ(cfg_->bNumInterfaces, 3);
    // Every byte belongs to a descriptor the walk can step over.
    size_t described = 0;
    for (LONG type = 0; type <= 0xFF; ++type) {
        for (PVOID at = cfg_; auto* d = USBD_ParseDescriptors(cfg_, cfg_->wTotalLength, at, type);
             at = reinterpret_cast<UCHAR*>(d) + d->bLength) {
            described += d->bLength;
        }
    }
    EXPECT_EQ(described, USHORT(cfg_->wTotalLength));

    auto* association =
        USBD_ParseDescriptors(cfg_, cfg_->wTotalLength, cfg_, USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE);
    if (HighSpeed()) {
        ASSERT_NE(association, nullptr);
        auto* iad = reinterpret_cast<PUSB_INTERFACE_ASSOCIATION_DESCRIPTOR>(association);
        EXPECT_EQ(iad->bFirstInterface, kAudioControlInterface);
        EXPECT_EQ(iad->bInterfaceCount, 3);
        EXPECT_EQ(iad->bFunctionProtocol, kAudioProtocolVersion2);
    } else {
        EXPECT_EQ(association, nullptr);
    }
}

TEST_P(R9Set, AudioControlHeaderAndEntityGraph)
{
    const LONG protocol = HighSpeed() ? kAudioProtocolVersion2 : 0;
    auto* control =
        USBD_ParseConfigurationDescriptorEx(cfg_, cfg_, -1, 0, kAudioClass, kAudioControlSubclass, protocol);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->bInterfaceNumber, kAudioControlInterface);
    auto* header = reinterpret_cast<UCHAR*>(control) + control->bLength;
    ASSERT_EQ(header[1], kCsInterface);
    ASSERT_EQ(header[2], kAcHeader);
    EXPECT_EQ(Word(header + 3), HighSpeed() ? 0x0200 : 0x0100);
    size_t classSpecific = header[0];
    for (UCHAR* entity : Entities(cfg_)) {
        classSpecific += entity[0];
    }
    EXPECT_EQ(Word(header + (HighSpeed() ? 6 : 5)), classSpecific);
    if (!HighSpeed()) {
        EXPECT_EQ(header[7], 2);  // bInCollection
        EXPECT_EQ(header[8], kRenderInterface);
        EXPECT_EQ(header[9], kCaptureInterface);
    }

    // Offsets of the IDs each entity names: terminals' source (OT) and clock, units' source.
    const size_t itClock = 7, otSource = 7, otClock = 8, fuSource = 4;
    // Render runs from one clock and capture from another, so that render is paced by the
    // feedback endpoint rather than by the capture stream.
    const struct {
        UCHAR id;
        UCHAR subtype;
        UCHAR source;
        uint16_t terminalType;
        UCHAR channelNames;
        UCHAR clock;
    } chain[] = {
        {kRenderInputTerminalId, kAcInputTerminal, 0, kTerminalUsbStreaming, kOutputNamesString, kRenderClockSourceId},
        {kRenderFeatureUnitId, kAcFeatureUnit, kRenderInputTerminalId, 0, 0, 0},
        {kRenderOutputTerminalId, kAcOutputTerminal, kRenderFeatureUnitId, kTerminalLineConnector, 0,
         kRenderClockSourceId},
        {kCaptureInputTerminalId, kAcInputTerminal, 0, kTerminalLineConnector, kInputNamesString,
         kCaptureClockSourceId},
        {kCaptureFeatureUnitId, kAcFeatureUnit, kCaptureInputTerminalId, 0, 0, 0},
        {kCaptureOutputTerminalId, kAcOutputTerminal, kCaptureFeatureUnitId, kTerminalUsbStreaming, 0,
         kCaptureClockSourceId},
    };
    for (const auto& link : chain) {
        SCOPED_TRACE("entity " + std::to_string(link.id));
        UCHAR* entity = Entity(cfg_, link.id);
        ASSERT_NE(entity, nullptr);
        ASSERT_EQ(entity[2], link.subtype);
        if (link.subtype == kAcFeatureUnit) {
            EXPECT_EQ(entity[fuSource], link.source);
            // Master plus four channels, each with mute and volume the host may set.
            if (HighSpeed()) {
                ASSERT_EQ(entity[0], 6 + 4 * (1 + kChannels));
                for (UCHAR c = 0; c <= kChannels; ++c) {
                    EXPECT_EQ(Dword(entity + 5 + 4 * c), 0x0000000Fu) << "channel " << int(c);
                }
            } else {
                ASSERT_EQ(entity[5], 1);  // bControlSize
                ASSERT_EQ(entity[0], 7 + (1 + kChannels));
                for (UCHAR c = 0; c <= kChannels; ++c) {
                    EXPECT_EQ(entity[6 + c], 0x03) << "channel " << int(c);
                }
            }
            continue;
        }
        EXPECT_EQ(Word(entity + 4), link.terminalType);
        if (link.subtype == kAcOutputTerminal) {
            EXPECT_EQ(entity[otSource], link.source);
            if (HighSpeed()) {
                EXPECT_EQ(entity[otClock], link.clock);
            }
        } else if (HighSpeed()) {
            EXPECT_EQ(entity[itClock], link.clock);
            EXPECT_EQ(entity[8], kChannels);
            EXPECT_EQ(Dword(entity + 9), 0u);  // no spatial positions: the channels are named
            EXPECT_EQ(entity[13], link.channelNames);
        } else {
            EXPECT_EQ(entity[7], kChannels);
            EXPECT_EQ(Word(entity + 8), 0);
            EXPECT_EQ(entity[10], link.channelNames);
        }
    }

    for (UCHAR id : {kRenderClockSourceId, kCaptureClockSourceId}) {
        SCOPED_TRACE("clock " + std::to_string(id));
        UCHAR* clock = Entity(cfg_, id);
        if (HighSpeed()) {
            ASSERT_NE(clock, nullptr);
            EXPECT_EQ(clock[2], kAc2ClockSource);
            EXPECT_EQ(clock[4] & 0x03, 0x03);  // internal programmable
            EXPECT_EQ(clock[5], 0x07);         // frequency read/write, validity readable
            EXPECT_EQ(Text(set_.StringDescriptor(clock[7])), u"Internal Clock");
        } else {
            EXPECT_EQ(clock, nullptr);
        }
    }
    EXPECT_EQ(Entities(cfg_).size(), HighSpeed() ? 8u : 6u);
}

// The variant for tests of a device whose render follows capture: every terminal names the render
// clock, and the capture clock does not exist.
TEST(R9SharedClockSet, EveryTerminalNamesTheOneClock)
{
    DescriptorSet set = sim::devices::R9SharedClockDescriptors();
    PUSB_CONFIGURATION_DESCRIPTOR cfg = usbtest::AsConfiguration(set.configuration);
    EXPECT_EQ(Entity(cfg, kCaptureClockSourceId), nullptr);
    ASSERT_NE(Entity(cfg, kRenderClockSourceId), nullptr);
    const struct {
        UCHAR terminal;
        size_t clockOffset;
    } terminals[] = {{kRenderInputTerminalId, 7},
                     {kCaptureInputTerminalId, 7},
                     {kRenderOutputTerminalId, 8},
                     {kCaptureOutputTerminalId, 8}};
    for (const auto& t : terminals) {
        UCHAR* terminal = Entity(cfg, t.terminal);
        ASSERT_NE(terminal, nullptr);
        EXPECT_EQ(terminal[t.clockOffset], kRenderClockSourceId) << "terminal " << int(t.terminal);
    }
    EXPECT_EQ(Entities(cfg).size(), 7u);
    // It lacks only the capture clock source's 8 bytes.
    EXPECT_EQ(set.configuration.size() + 8, sim::devices::R9Descriptors().configuration.size());
}

TEST_P(R9Set, ChannelNamesAreConsecutiveStrings)
{
    const char16_t* outputs[] = {u"Output1", u"Output2", u"Output3(REAMP)", u"Output4(REAMP)"};
    const char16_t* inputs[] = {u"Input1", u"Input2", u"Input3(DRY)", u"Input4(DRY)"};
    for (UCHAR c = 0; c < kChannels; ++c) {
        EXPECT_EQ(Text(set_.StringDescriptor(kOutputNamesString + c)), outputs[c]);
        EXPECT_EQ(Text(set_.StringDescriptor(kInputNamesString + c)), inputs[c]);
    }
    EXPECT_TRUE(set_.StringDescriptor(kInputNamesString + kChannels).empty());
}

TEST_P(R9Set, StreamingAlternatesAndEndpoints)
{
    const bool hs = HighSpeed();
    const UCHAR protocol = hs ? kAudioProtocolVersion2 : 0;
    // High speed: one packet per microframe, sized for 384 kHz plus one frame. Full speed: one
    // packet per frame, sized for the alternate's top rate plus one frame.
    const struct {
        UCHAR interface;
        UCHAR alternate;
        UCHAR terminal;
        UCHAR dataEndpoint;
        bool feedback;
        UCHAR bytes;
        UCHAR bits;
        USHORT maxPacket;
        std::vector<uint32_t> fullSpeedRates;
    } cases[] = {
        {kRenderInterface,
         kAlternate24Bit,
         kRenderInputTerminalId,
         kRenderEndpoint,
         true,
         hs ? UCHAR(4) : UCHAR(3),
         24,
         USHORT(hs ? 49 * 4 * 4 : 49 * 4 * 3),
         {44100, 48000}},
        {kRenderInterface,
         kAlternate16Bit,
         kRenderInputTerminalId,
         kRenderEndpoint,
         true,
         2,
         16,
         USHORT(hs ? 49 * 4 * 2 : 97 * 4 * 2),
         {44100, 48000, 88200, 96000}},
        {kCaptureInterface,
         kAlternate24Bit,
         kCaptureOutputTerminalId,
         kCaptureEndpoint,
         false,
         hs ? UCHAR(4) : UCHAR(3),
         24,
         USHORT(hs ? 49 * 4 * 4 : 49 * 4 * 3),
         {44100, 48000}},
        {kCaptureInterface,
         kAlternate16Bit,
         kCaptureOutputTerminalId,
         kCaptureEndpoint,
         false,
         2,
         16,
         USHORT(hs ? 49 * 4 * 2 : 97 * 4 * 2),
         {44100, 48000, 88200, 96000}},
    };
    for (UCHAR number : {kRenderInterface, kCaptureInterface}) {
        usbtest::Alternate zero = usbtest::FindAlternate(cfg_, number, 0);
        ASSERT_TRUE(zero);
        EXPECT_EQ(zero.interface->bNumEndpoints, 0);
        EXPECT_TRUE(zero.All(cfg_, USB_ENDPOINT_DESCRIPTOR_TYPE).empty());
        EXPECT_FALSE(usbtest::FindAlternate(cfg_, number, 3));
    }
    for (const auto& c : cases) {
        SCOPED_TRACE("interface " + std::to_string(c.interface) + " alternate " + std::to_string(c.alternate));
        usbtest::Alternate alt = usbtest::FindAlternate(cfg_, c.interface, c.alternate);
        ASSERT_TRUE(alt);
        EXPECT_EQ(alt.interface->bInterfaceClass, kAudioClass);
        EXPECT_EQ(alt.interface->bInterfaceSubClass, kAudioStreamingSubclass);
        EXPECT_EQ(alt.interface->bInterfaceProtocol, protocol);
        const UCHAR endpointCount = c.feedback ? 2 : 1;
        EXPECT_EQ(alt.interface->bNumEndpoints, endpointCount);
        std::vector<UCHAR*> endpoints = alt.All(cfg_, USB_ENDPOINT_DESCRIPTOR_TYPE);
        ASSERT_EQ(endpoints.size(), endpointCount);

        UCHAR* general = alt.ClassSpecific(cfg_, kCsInterface, kAsGeneral);
        UCHAR* format = alt.ClassSpecific(cfg_, kCsInterface, kAsFormatType);
        ASSERT_NE(general, nullptr);
        ASSERT_NE(format, nullptr);
        EXPECT_EQ(general[3], c.terminal);
        if (hs) {
            EXPECT_EQ(general[5], kFormatTypeI);
            EXPECT_EQ(Dword(general + 6), 1u);  // PCM
            EXPECT_EQ(general[10], kChannels);
            EXPECT_EQ(format[3], kFormatTypeI);
            EXPECT_EQ(format[4], c.bytes);
            EXPECT_EQ(format[5], c.bits);
        } else {
            EXPECT_EQ(Word(general + 5), 0x0001);  // PCM
            EXPECT_EQ(format[3], kFormatTypeI);
            EXPECT_EQ(format[4], kChannels);
            EXPECT_EQ(format[5], c.bytes);
            EXPECT_EQ(format[6], c.bits);
            ASSERT_EQ(format[7], c.fullSpeedRates.size());
            for (size_t r = 0; r < c.fullSpeedRates.size(); ++r) {
                EXPECT_EQ(Tribyte(format + 8 + 3 * r), c.fullSpeedRates[r]);
            }
        }

        auto* data = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(endpoints[0]);
        EXPECT_EQ(data->bEndpointAddress, c.dataEndpoint);
        EXPECT_EQ(data->bmAttributes & USB_ENDPOINT_TYPE_MASK, USB_ENDPOINT_TYPE_ISOCHRONOUS);
        EXPECT_EQ(USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION(data->bmAttributes),
                  USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_ASYNCHRONOUS);
        EXPECT_EQ(USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE(data->bmAttributes), 0);
        EXPECT_EQ(USHORT(data->wMaxPacketSize), c.maxPacket);
        EXPECT_LE(USHORT(data->wMaxPacketSize), hs ? 1024 : 1023);
        EXPECT_EQ(data->bInterval, 1);
        UCHAR* classEndpoint = alt.ClassSpecific(cfg_, kCsEndpoint, kEndpointGeneral);
        ASSERT_NE(classEndpoint, nullptr);
        EXPECT_EQ(classEndpoint, endpoints[0] + data->bLength);

        if (hs) {
            EXPECT_EQ(data->bLength, 7);
        } else {
            ASSERT_EQ(data->bLength, 9);
            EXPECT_EQ(endpoints[0][7], 0);  // bRefresh of a data endpoint
            EXPECT_EQ(endpoints[0][8], c.feedback ? kFeedbackEndpoint : 0);
            EXPECT_EQ(classEndpoint[3] & 0x01, 0x01);  // sampling frequency control
        }
        if (!c.feedback) {
            continue;
        }
        auto* feedback = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(endpoints[1]);
        EXPECT_EQ(feedback->bEndpointAddress, kFeedbackEndpoint);
        EXPECT_EQ(feedback->bmAttributes & USB_ENDPOINT_TYPE_MASK, USB_ENDPOINT_TYPE_ISOCHRONOUS);
        EXPECT_EQ(USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION(feedback->bmAttributes), 0);
        if (hs) {
            EXPECT_EQ(USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE(feedback->bmAttributes),
                      USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_FEEDBACK_ENDPOINT);
            EXPECT_EQ(USHORT(feedback->wMaxPacketSize), 4);  // 16.16
            EXPECT_EQ(feedback->bInterval, 4);
        } else {
            ASSERT_EQ(feedback->bLength, 9);
            EXPECT_EQ(USHORT(feedback->wMaxPacketSize), 3);  // 10.14
            EXPECT_EQ(feedback->bInterval, 1);
            EXPECT_EQ(endpoints[1][7], 2);  // bRefresh: every 4 ms
            EXPECT_EQ(endpoints[1][8], 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Speeds, R9Set, ::testing::Values(true, false), [](const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "HighSpeedAudioClass2" : "FullSpeedAudioClass1";
});

}  // namespace
