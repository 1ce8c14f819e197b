#include "sim/devices/r9/r9_device.h"

#include "sim/devices/r9/r9_descriptors.h"

namespace sim::devices {

namespace {

sim::usb::DescriptorSet DescriptorsOf(R9Variant variant)
{
    switch (variant) {
    case R9Variant::FullSpeedUac1: return R9FullSpeedUac1Descriptors();
    case R9Variant::SharedClock: return R9SharedClockDescriptors();
    case R9Variant::ImplicitFeedback: return R9ImplicitFeedbackDescriptors();
    case R9Variant::EveryOtherMicroframe: return R9EveryOtherMicroframeDescriptors();
    default: return R9Descriptors();
    }
}

// Each unit leaves the factory with its own serial number, which Windows makes its instance ID.
sim::usb::DescriptorSet WithSerialNumber(sim::usb::DescriptorSet set, const std::u16string& serialNumber)
{
    for (auto& [index, text] : set.strings) {
        if (index == r9::kSerialNumberString) {
            text = serialNumber;
        }
    }
    return set;
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

R9Device::R9Device(R9Variant variant) : R9Device(variant, u"R9-00000001") {}

R9Device::R9Device(R9Variant variant, const std::u16string& serialNumber)
    : AudioEngineDevice(WithSerialNumber(DescriptorsOf(variant), serialNumber),
                        variant == R9Variant::FullSpeedUac1 ? sim::usb::UsbSpeed::Full : sim::usb::UsbSpeed::High)
{
    Function().SetClockRanges(R9ClockRanges());
    Function().DriveClocksTogether({r9::kRenderClockSourceId, r9::kCaptureClockSourceId});
    Function().SetStreamingModeAccepted(true);
}

uint32_t R9Device::CurrentRate(uint8_t direction) const
{
    return Function().StreamRate(direction == 0 ? r9::kRenderInterface : r9::kCaptureInterface);
}

}  // namespace sim::devices
