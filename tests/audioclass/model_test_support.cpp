#include "tests/audioclass/model_test_support.h"

namespace audioclasstest {

using namespace sim::usb;

namespace {
constexpr uint8_t kIsochronousAsynchronous = 0x05;
constexpr uint32_t kPcm = 0x00000001;
}  // namespace

StreamingInterface* ParsedDevice::Interface(UCHAR number) const
{
    for (StreamingInterface* record = model.GetFirstStreamingInterface(); record != nullptr; record = record->Next) {
        if (record->InterfaceNumber == number) {
            return record;
        }
    }
    return nullptr;
}

std::unique_ptr<ParsedDevice> Parse(const Bytes& configuration, bool highSpeed, const Bytes& device)
{
    auto parsed = std::make_unique<ParsedDevice>();
    parsed->configuration = configuration;
    parsed->configuration.shrink_to_fit();
    parsed->device = device;
    const auto* deviceDescriptor = device.size() == sizeof(USB_DEVICE_DESCRIPTOR)
                                       ? reinterpret_cast<const USB_DEVICE_DESCRIPTOR*>(parsed->device.data())
                                       : nullptr;
    parsed->status = parsed->model.ParseDescriptors(
        reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(parsed->configuration.data()),
        ULONG(parsed->configuration.size()), deviceDescriptor, highSpeed);
    return parsed;
}

Bytes DeviceWithIds(uint16_t vendor, uint16_t product, uint16_t bcdUSB)
{
    DeviceFields fields{};
    fields.bcdUSB = bcdUSB;
    fields.bMaxPacketSize0 = 64;
    fields.idVendor = vendor;
    fields.idProduct = product;
    fields.bNumConfigurations = 1;
    return Device(fields);
}

Bytes Configuration(std::initializer_list<Bytes> parts)
{
    ConfigurationBuilder builder(1, 0, 0x80, 50);
    for (const Bytes& part : parts) {
        builder.Add(part);
    }
    return builder.Build();
}

Bytes ControlInterface(uint8_t number, uint8_t interfaceClass)
{
    return sim::usb::Interface(number, 0, 0, interfaceClass, kAudioControlSubclass, 0);
}

Bytes StreamingAlternate(uint8_t number, uint8_t alternate, uint8_t endpoints, uint8_t interfaceClass)
{
    return sim::usb::Interface(number, alternate, endpoints, interfaceClass, kAudioStreamingSubclass, 0);
}

Bytes AsGeneral20(uint8_t terminalLink) { return uac2::AsGeneral(terminalLink, 0, kFormatTypeI, kPcm, 2, 0, 0); }
Bytes Format20() { return uac2::FormatTypeI(4, 24); }
Bytes AsGeneral10(uint8_t terminalLink) { return uac1::AsGeneral(terminalLink, 1, 0x0001); }
Bytes Format10() { return uac1::FormatTypeI(2, 2, 16, {44100, 48000}); }

Bytes Streaming20(uint8_t number, uint8_t terminalLink, uint8_t endpoint)
{
    return Concat({StreamingAlternate(number, 0, 0), StreamingAlternate(number, 1, 1), AsGeneral20(terminalLink),
                   Format20(), Endpoint(endpoint, kIsochronousAsynchronous, 392, 1), uac2::IsoEndpoint(0, 0, 0, 0)});
}

Bytes Streaming10(uint8_t number, uint8_t terminalLink, uint8_t endpoint)
{
    return Concat({StreamingAlternate(number, 0, 0), StreamingAlternate(number, 1, 1), AsGeneral10(terminalLink),
                   Format10(), AudioEndpoint(endpoint, kIsochronousAsynchronous, 196, 1, 0, 0),
                   uac1::IsoEndpoint(1, 0, 0)});
}

void ModelTest::TearDown() { EXPECT_TRUE(machine_.Pools().LiveAllocations().empty()) << machine_.Pools().LeakReport(); }

}  // namespace audioclasstest
