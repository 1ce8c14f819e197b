// Descriptor dumps of real devices (tests/fixtures/usb, with their provenance in its README).
#pragma once

#include <string>

#include "sim/usb/descriptors/descriptor_set.h"

namespace usbtest {

inline std::string FixturePath(const std::string& name)
{
    return std::string(R9_USB_FIXTURES_DIR) + "/" + name + ".bin";
}

// The fixture's device and configuration bytes; an empty set when the file cannot be read.
inline sim::usb::DescriptorSet LoadFixture(const std::string& name)
{
    auto bytes = sim::usb::ReadBinaryFile(FixturePath(name));
    return bytes ? sim::usb::DescriptorSetFromDump(*bytes) : sim::usb::DescriptorSet{};
}

}  // namespace usbtest
