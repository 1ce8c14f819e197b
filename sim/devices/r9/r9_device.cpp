#include "sim/devices/r9/r9_device.h"

#include <cstring>

#include "sim/devices/r9/r9_descriptors.h"

namespace sim::devices {

namespace {

constexpr uint32_t kNominalRate = 48000;

sim::usb::DescriptorSet DescriptorsOf(R9Variant variant)
{
    switch (variant) {
    case R9Variant::FullSpeedUac1: return R9FullSpeedUac1Descriptors();
    case R9Variant::SharedClock: return R9SharedClockDescriptors();
    default: return R9Descriptors();
    }
}

}  // namespace

std::vector<SampleRateSubrange> R9ClockRanges()
{
    std::vector<SampleRateSubrange> ranges;
    for (uint32_t rate : {44100u, 48000u, 88200u, 96000u, 176400u, 192000u, 352800u, 384000u}) {
        ranges.push_back({rate, rate, 0});
    }
    return ranges;
}

R9Device::R9Device(R9Variant variant)
    : AudioClassDevice(DescriptorsOf(variant), variant == R9Variant::FullSpeedUac1 ? sim::usb::UsbSpeed::Full
                                                                                    : sim::usb::UsbSpeed::High),
      variant_(variant)
{
    Function().SetClockRanges(R9ClockRanges());
    Function().DriveClocksTogether({r9::kRenderClockSourceId, r9::kCaptureClockSourceId});
    Function().SetStreamingModeAccepted(true);
}

uint32_t R9Device::CurrentRate(uint8_t direction) const
{
    return Function().StreamRate(direction == 0 ? r9::kRenderInterface : r9::kCaptureInterface);
}

uint32_t R9Device::BytesPerSampleFrame(uint8_t alternate) const
{
    const bool highSpeed = variant_ != R9Variant::FullSpeedUac1;
    const uint32_t sampleBytes = alternate == r9::kAlternate16Bit ? 2 : (highSpeed ? 4 : 3);
    return r9::kChannels * sampleBytes;
}

sim::usb::IsoInData R9Device::IsoIn(const sim::usb::IsoSlot& slot, uint8_t* buffer, uint32_t capacity)
{
    const bool highSpeed = variant_ != R9Variant::FullSpeedUac1;
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
