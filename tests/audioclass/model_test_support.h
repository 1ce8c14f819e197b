// Building the driver's Audio Class model from descriptor bytes in tests: small devices written
// with the descriptor builder, parsed on a simulated machine whose pool reports any leak.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "driver/usbaudio/usb_audio_model.h"
#include "sim/kernel/machine.h"
#include "sim/usb/descriptors/audio_descriptors.h"

namespace audioclasstest {

using sim::usb::Bytes;

// The model over its own copy of the bytes. The copy is exactly as long as the set, so that
// AddressSanitizer reports any read past its end.
struct ParsedDevice {
    Bytes configuration;
    Bytes device;
    CUSBAudioModel model;
    NTSTATUS status = STATUS_UNSUCCESSFUL;

    StreamingInterface* Interface(UCHAR number) const;
    CUSBAudioEntity* Entity(ULONG id) const { return model.FindEntity(id); }
};

std::unique_ptr<ParsedDevice> Parse(const Bytes& configuration, bool highSpeed, const Bytes& device = {});

// A device descriptor with these IDs (for the quirk table).
Bytes DeviceWithIds(uint16_t vendor, uint16_t product, uint16_t bcdUSB = 0x0200);

// A configuration holding the given descriptors in order.
Bytes Configuration(std::initializer_list<Bytes> parts);

// Standard interface descriptors of the audio function.
Bytes ControlInterface(uint8_t number, uint8_t interfaceClass = sim::usb::kAudioClass);
Bytes StreamingAlternate(uint8_t number, uint8_t alternate, uint8_t endpoints,
                         uint8_t interfaceClass = sim::usb::kAudioClass);

// A 2.0 streaming interface: alternate 0, then alternate 1 with a stereo 24-bit PCM format and a
// data endpoint at `endpoint`, bInterval 1, followed by its class endpoint.
Bytes Streaming20(uint8_t number, uint8_t terminalLink, uint8_t endpoint);
// A 1.0 streaming interface: alternate 0, then alternate 1 with stereo 16-bit PCM at 44.1 and
// 48 kHz and a 9-byte data endpoint at `endpoint`.
Bytes Streaming10(uint8_t number, uint8_t terminalLink, uint8_t endpoint);

// The 2.0 format and AS general descriptors Streaming20 uses, for tests that lay out their own
// alternates.
Bytes AsGeneral20(uint8_t terminalLink);
Bytes Format20();
Bytes AsGeneral10(uint8_t terminalLink);
Bytes Format10();

// Machine and leak check shared by the Audio Class suites.
class ModelTest : public ::testing::Test {
protected:
    void TearDown() override;

    sim::Machine machine_;
};

}  // namespace audioclasstest
