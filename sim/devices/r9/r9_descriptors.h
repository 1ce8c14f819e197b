// The TAVO R9's descriptors: high speed, Audio Class 2.0 (the device as shipped), and a full-speed
// Audio Class 1.0 variant of the same function for tests of the 1.0 rules.
#pragma once

#include <cstdint>

#include "sim/usb/descriptors/descriptor_set.h"

namespace sim::devices {

namespace r9 {

constexpr uint16_t kVendorId = 0x3A5C;
constexpr uint16_t kProductId = 0x0009;

constexpr uint8_t kAudioControlInterface = 0;
constexpr uint8_t kRenderInterface = 1;
constexpr uint8_t kCaptureInterface = 2;

// Alternates of both streaming interfaces; alternate 0 has no endpoints.
constexpr uint8_t kAlternate24Bit = 1;  // 24-bit samples (4-byte subslots on 2.0, 3-byte subframes on 1.0)
constexpr uint8_t kAlternate16Bit = 2;  // 16-bit samples in 2 bytes
constexpr uint8_t kChannels = 4;

constexpr uint8_t kRenderEndpoint = 0x01;
constexpr uint8_t kFeedbackEndpoint = 0x81;
constexpr uint8_t kCaptureEndpoint = 0x82;

// Entity IDs. Render: USB streaming -> feature unit -> analog out; capture: analog in -> feature
// unit -> USB streaming. The analog ends are line-level jacks. On the 2.0 device the render
// terminals run from one clock source and the capture terminals from another, both driven by the
// one crystal: two clocks tell the host that render is paced by the feedback endpoint, not by the
// capture stream. The shared-clock variant gives every terminal the render clock.
constexpr uint8_t kRenderClockSourceId = 0x29;
constexpr uint8_t kCaptureClockSourceId = 0x2A;
constexpr uint8_t kRenderInputTerminalId = 0x01;
constexpr uint8_t kRenderFeatureUnitId = 0x02;
constexpr uint8_t kRenderOutputTerminalId = 0x03;
constexpr uint8_t kCaptureInputTerminalId = 0x04;
constexpr uint8_t kCaptureFeatureUnitId = 0x05;
constexpr uint8_t kCaptureOutputTerminalId = 0x06;

// String indexes. Channel names are consecutive: iChannelNames names the first channel.
constexpr uint8_t kManufacturerString = 1;
constexpr uint8_t kProductString = 2;
constexpr uint8_t kSerialNumberString = 3;
constexpr uint8_t kClockSourceString = 4;
constexpr uint8_t kOutputNamesString = 5;  // "Output1" .. "Output4(REAMP)"
constexpr uint8_t kInputNamesString = 9;   // "Input1" .. "Input4(DRY)"

constexpr uint16_t kEnglishUnitedStates = 0x0409;

}  // namespace r9

// High speed, Audio Class 2.0, PCM up to 384 kHz on 4 channels each way.
sim::usb::DescriptorSet R9Descriptors();

// The same with one clock source for render and capture.
sim::usb::DescriptorSet R9SharedClockDescriptors();

// The high-speed R9 whose capture endpoint is render's implicit feedback: no feedback endpoint.
sim::usb::DescriptorSet R9ImplicitFeedbackDescriptors();

// The high-speed R9 with a data packet every second microframe (its packets then hold rates up to
// 192 kHz); the feedback endpoint still reports frames per microframe.
sim::usb::DescriptorSet R9EveryOtherMicroframeDescriptors();

// Full speed (bcdUSB 1.10), Audio Class 1.0, discrete rates. A full-speed isochronous packet holds
// at most 1023 bytes, so the 24-bit alternate stops at 48 kHz (49 frames x 12 bytes = 588) while
// the 16-bit alternate reaches 96 kHz (97 frames x 8 bytes = 776).
sim::usb::DescriptorSet R9FullSpeedUac1Descriptors();

}  // namespace sim::devices
