// An Audio Class device whose control transfers answer as a script says: each request (descriptor
// reads, class requests, the vendor mode request) takes its next step from the script, which keeps
// the honest answer, stalls, cuts it short, corrupts some of its bytes, stretches it or replaces it
// with the script's own bytes. Once the script is used up every answer is honest. The same request
// can so be answered one way when the driver checks it and another when it uses it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fuzz/harness/byte_script.h"
#include "sim/devices/audio_class/audio_class_device.h"

namespace fuzz {

class ReplyScript : ByteScript {
public:
    using ByteScript::ByteScript;

    // The answer the device gives for a request with this wLength, given the honest one.
    sim::usb::ControlReply Answer(sim::usb::ControlReply honest, uint16_t wLength);
};

class ScriptedDevice : public sim::devices::AudioClassDevice {
public:
    ScriptedDevice(sim::usb::DescriptorSet descriptors, sim::usb::UsbSpeed speed, ReplyScript script);

protected:
    sim::usb::Bytes Descriptor(uint8_t type, uint8_t index, uint16_t languageId) override;
    sim::usb::ControlReply ClassRequest(const sim::usb::SetupPacket& setup, const uint8_t* data,
                                        size_t length) override;
    sim::usb::ControlReply VendorRequest(const sim::usb::SetupPacket& setup, const uint8_t* data,
                                         size_t length) override;

private:
    ReplyScript script_;
};

}  // namespace fuzz
