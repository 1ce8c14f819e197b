// The R9 (any of its variants) whose isochronous traffic departs from the honest device as a script
// says: each IN packet (capture data, explicit feedback) and each OUT packet's handshake takes the
// script's next step, which keeps it honest, resizes it (to any length, past the endpoint's maximum
// too: babble), fails it with a USBD status, overwrites some of its bytes, or empties it. Once the
// script is used up the device is honest again.
#pragma once

#include "fuzz/harness/byte_script.h"
#include "sim/devices/r9/r9_device.h"

namespace fuzz {

class FuzzedPacketsDevice : public sim::devices::R9Device {
public:
    FuzzedPacketsDevice(sim::devices::R9Variant variant, ByteScript script)
        : R9Device(variant), script_(script)
    {
    }

    USBD_STATUS IsoOut(const sim::usb::IsoSlot& slot, const uint8_t* data, uint32_t length) override;
    sim::usb::IsoInData IsoIn(const sim::usb::IsoSlot& slot, uint8_t* buffer, uint32_t capacity) override;

private:
    USBD_STATUS NextStatus();

    ByteScript script_;
};

}  // namespace fuzz
