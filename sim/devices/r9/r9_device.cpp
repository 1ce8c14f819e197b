#include "sim/devices/r9/r9_device.h"

#include <cstring>

#include "sim/devices/r9/r9_descriptors.h"

namespace sim::devices {

namespace {
constexpr uint32_t kNominalRate = 48000;
}  // namespace

R9Device::R9Device(R9Variant variant)
    : UsbDeviceModel(variant == R9Variant::HighSpeedUac2 ? R9Descriptors() : R9FullSpeedUac1Descriptors(),
                     variant == R9Variant::HighSpeedUac2 ? sim::usb::UsbSpeed::High : sim::usb::UsbSpeed::Full),
      variant_(variant)
{
}

uint32_t R9Device::BytesPerSampleFrame(uint8_t alternate) const
{
    const bool highSpeed = variant_ == R9Variant::HighSpeedUac2;
    const uint32_t sampleBytes = alternate == r9::kAlternate16Bit ? 2 : (highSpeed ? 4 : 3);
    return r9::kChannels * sampleBytes;
}

sim::usb::IsoInData R9Device::IsoIn(const sim::usb::IsoSlot& slot, uint8_t* buffer, uint32_t capacity)
{
    const bool highSpeed = variant_ == R9Variant::HighSpeedUac2;
    const uint32_t packetsPerSecond = highSpeed ? 8000 : 1000;
    sim::usb::IsoInData data;
    if (slot.endpoint == r9::kFeedbackEndpoint) {
        // 16.16 sample frames per microframe at high speed, 10.14 per frame at full speed.
        const uint32_t value = highSpeed ? (kNominalRate / packetsPerSecond) << 16 : (kNominalRate / 1000) << 14;
        data.length = highSpeed ? 4 : 3;
        std::memcpy(buffer, &value, data.length);
        return data;
    }
    if (slot.endpoint == r9::kCaptureEndpoint) {
        data.length = kNominalRate / packetsPerSecond * BytesPerSampleFrame(Alternate(r9::kCaptureInterface));
        if (data.length > capacity) {
            data.length = capacity;
        }
        std::memset(buffer, 0, data.length);
    }
    return data;
}

}  // namespace sim::devices
