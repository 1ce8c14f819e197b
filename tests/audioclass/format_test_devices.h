// Devices for the format-selection suites, built from descriptor bytes: an Audio Class 2.0 device
// whose render interface has the alternates a test lists, and an Audio Class 1.0 device with
// discrete rates. Render runs from clock 10 with an explicit feedback endpoint 0x81; capture is a
// plain stereo interface.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/usb/descriptors/audio_descriptors.h"

namespace audioclasstest {

constexpr uint8_t kFormatClock = 10;
constexpr uint8_t kRenderInterface = 1;
constexpr uint8_t kCaptureInterface = 2;
constexpr uint8_t kRenderEndpoint = 0x01;
constexpr uint8_t kFeedbackEndpoint = 0x81;
constexpr uint8_t kCaptureEndpoint = 0x82;
constexpr uint32_t kPcm = 0x01;
constexpr uint32_t kPcm8 = 0x02;
constexpr uint32_t kIeeeFloat = 0x04;

struct RenderAlternate {
    uint8_t channels;
    uint8_t bits;
    uint8_t subslotBytes;
    uint32_t formats = kPcm;
};

// 2.0: clock 10; render IT 1 -> OT 3, capture IT 4 -> OT 6; render alternates as listed, each with
// the data endpoint (maxPacket, bInterval) and the feedback endpoint; capture stereo 24-bit.
// `after` follows the audio interfaces.
sim::usb::Bytes Device20(const std::vector<RenderAlternate>& render, bool highSpeed, uint16_t maxPacket = 392,
                         uint8_t interval = 1, const sim::usb::Bytes& after = {});

// 1.0: render IT 1 -> OT 3 with one alternate (its data endpoint naming synch endpoint 0x81 and
// carrying the sampling-frequency control), capture IT 4 -> OT 6 with the same format; whether the
// capture endpoint has the sampling-frequency control is the caller's.
sim::usb::Bytes Device10(const RenderAlternate& format, const std::vector<uint32_t>& rates, uint16_t maxPacket,
                         uint8_t interval, bool captureRateControl = true);

}  // namespace audioclasstest
