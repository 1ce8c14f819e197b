// The TAVO R9 on the simulated bus: its descriptors (high speed, Audio Class 2.0; a variant whose
// terminals share one clock; or the full-speed Audio Class 1.0 variant), its Audio Class function
// with the R9's rates and its PCM/DSD mode request, and its isochronous endpoints.
//
// Both 2.0 clock sources are driven by the R9's one crystal, so a rate set on either is the rate of
// both (AudioClassFunction::DriveClocksTogether); the 1.0 variant sets its rate per endpoint.
//
// For now the endpoints run at a fixed 48 kHz: the render endpoint takes every packet, the capture
// endpoint sends silence of the size 48 kHz gives per (micro)frame, and the feedback endpoint
// reports exactly 48 sample frames per millisecond.
#pragma once

#include <cstdint>

#include "sim/devices/audio_class/audio_class_device.h"

namespace sim::devices {

enum class R9Variant { HighSpeedUac2, FullSpeedUac1, SharedClock };

class R9Device : public AudioClassDevice {
public:
    explicit R9Device(R9Variant variant = R9Variant::HighSpeedUac2);

    // The rate the device now runs render (direction 0) or capture (1) at, as its clocks or its
    // 1.0 endpoints were set.
    uint32_t CurrentRate(uint8_t direction) const;

    sim::usb::IsoInData IsoIn(const sim::usb::IsoSlot& slot, uint8_t* buffer, uint32_t capacity) override;

private:
    uint32_t BytesPerSampleFrame(uint8_t alternate) const;

    R9Variant variant_;
};

// The R9's clock: 44.1 to 384 kHz; the DSD bit rates run at 88.2, 176.4 and 352.8 kHz.
std::vector<SampleRateSubrange> R9ClockRanges();

}  // namespace sim::devices
