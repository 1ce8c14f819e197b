// The TAVO R9 on the simulated bus: its descriptors (high speed, Audio Class 2.0, or the full-speed
// Audio Class 1.0 variant) and its isochronous endpoints. For now the endpoints run at a fixed
// 48 kHz: the render endpoint takes every packet, the capture endpoint sends silence of the size
// 48 kHz gives per (micro)frame, and the feedback endpoint reports exactly 48 sample frames per
// millisecond. The device's clock, sample-rate control and FIFOs belong to the audio-class model.
#pragma once

#include "sim/usb/device_model.h"

namespace sim::devices {

enum class R9Variant { HighSpeedUac2, FullSpeedUac1 };

class R9Device : public sim::usb::UsbDeviceModel {
public:
    explicit R9Device(R9Variant variant = R9Variant::HighSpeedUac2);

    sim::usb::IsoInData IsoIn(const sim::usb::IsoSlot& slot, uint8_t* buffer, uint32_t capacity) override;

private:
    uint32_t BytesPerSampleFrame(uint8_t alternate) const;

    R9Variant variant_;
};

}  // namespace sim::devices
