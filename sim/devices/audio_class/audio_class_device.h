// A USB device that is an Audio Class function and nothing more: built from any descriptor set (a
// test's own, a dump of a real device), it answers the class requests through its
// AudioClassFunction, every clock offering 44.1 to 192 kHz. Its isochronous endpoints take every
// packet and send nothing; AudioEngineDevice is one whose endpoints move audio on its clocks, and
// the R9 is one of those with its own rates.
#pragma once

#include "sim/devices/audio_class/audio_class_function.h"
#include "sim/usb/device_model.h"

namespace sim::devices {

class AudioClassDevice : public sim::usb::UsbDeviceModel {
public:
    AudioClassDevice(sim::usb::DescriptorSet descriptors, sim::usb::UsbSpeed speed);

    AudioClassFunction& Function() { return function_; }
    const AudioClassFunction& Function() const { return function_; }

protected:
    sim::usb::ControlReply ClassRequest(const sim::usb::SetupPacket& setup, const uint8_t* data,
                                        size_t length) override;
    sim::usb::ControlReply VendorRequest(const sim::usb::SetupPacket& setup, const uint8_t* data,
                                         size_t length) override;
    void OnBusReset() override { function_.BusReset(); }

private:
    AudioClassFunction function_;
};

}  // namespace sim::devices
