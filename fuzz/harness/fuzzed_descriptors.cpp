#include "fuzz/harness/fuzzed_descriptors.h"

namespace fuzz {

namespace {
constexpr size_t kDeviceDescriptorBytes = 18;
constexpr uint8_t kDeviceDescriptorType = 0x01;
}  // namespace

sim::usb::DescriptorSet DescriptorSetFromInput(const uint8_t* data, size_t size, sim::usb::UsbSpeed speed)
{
    sim::usb::DescriptorSet set;
    size_t configurationStart = 0;
    if (size >= kDeviceDescriptorBytes && data[0] == kDeviceDescriptorBytes && data[1] == kDeviceDescriptorType) {
        set.device.assign(data, data + kDeviceDescriptorBytes);
        configurationStart = kDeviceDescriptorBytes;
    } else {
        sim::usb::DeviceFields fields{};
        fields.bcdUSB = speed == sim::usb::UsbSpeed::High ? 0x0200 : 0x0110;
        fields.bMaxPacketSize0 = 64;
        fields.bNumConfigurations = 1;
        set.device = sim::usb::Device(fields);
    }
    set.configuration.assign(data + configurationStart, data + size);
    set.languageIds = {0x0409};
    return set;
}

}  // namespace fuzz
