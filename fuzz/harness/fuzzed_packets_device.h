// The R9 (any of its variants) whose isochronous traffic departs from the honest device as a script
// says: each IN packet (capture data, explicit feedback) and each OUT packet's handshake takes the
// script's next step, which keeps it honest, resizes it (to any length, past the endpoint's maximum
// too: babble), fails it with a USBD status, overwrites some of its bytes, or empties it. Once the
// script is used up the device is honest again.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/devices/r9/r9_device.h"

namespace fuzz {

class PacketScript {
public:
    PacketScript(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Next(uint8_t& byte);
    uint8_t NextOr(uint8_t otherwise);

private:
    const uint8_t* data_;
    size_t size_;
    size_t used_ = 0;
};

class FuzzedPacketsDevice : public sim::devices::R9Device {
public:
    FuzzedPacketsDevice(sim::devices::R9Variant variant, PacketScript script)
        : R9Device(variant), script_(script)
    {
    }

    USBD_STATUS IsoOut(const sim::usb::IsoSlot& slot, const uint8_t* data, uint32_t length) override;
    sim::usb::IsoInData IsoIn(const sim::usb::IsoSlot& slot, uint8_t* buffer, uint32_t capacity) override;

private:
    USBD_STATUS NextStatus();

    PacketScript script_;
};

}  // namespace fuzz
