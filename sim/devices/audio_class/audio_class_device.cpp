#include "sim/devices/audio_class/audio_class_device.h"

#include "sim/kernel/machine.h"

namespace sim::devices {

namespace {

// Requests reach the device from the host controller's DPC, on the machine's clock.
int64_t MachineTime() { return sim::Machine::Exists() ? sim::Machine::Current().Now() : 0; }

}  // namespace

AudioClassDevice::AudioClassDevice(sim::usb::DescriptorSet descriptors, sim::usb::UsbSpeed speed)
    : UsbDeviceModel(std::move(descriptors), speed), function_(Descriptors().configuration)
{
}

sim::usb::ControlReply AudioClassDevice::ClassRequest(const sim::usb::SetupPacket& setup, const uint8_t* data,
                                                      size_t length)
{
    return function_.Answer(setup, data, length, MachineTime());
}

sim::usb::ControlReply AudioClassDevice::VendorRequest(const sim::usb::SetupPacket& setup, const uint8_t* data,
                                                       size_t length)
{
    return function_.Answer(setup, data, length, MachineTime());
}

}  // namespace sim::devices
