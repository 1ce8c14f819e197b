// Everything a USB device answers to GET_DESCRIPTOR, as bytes: the device descriptor, one
// configuration descriptor set, and the string descriptors. Simulated devices are built from one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/usb/descriptors/descriptor_builder.h"

namespace sim::usb {

struct DescriptorSet {
    Bytes device;
    Bytes configuration;
    std::vector<uint16_t> languageIds;
    std::vector<std::pair<uint8_t, std::u16string>> strings;  // index (1..255) and text

    // String descriptor `index` as the device sends it (0 = the language ID table); empty when
    // the device has no such string, which a real device answers with a STALL.
    Bytes StringDescriptor(uint8_t index) const;
};

// A dump in the fixture format: the 18-byte device descriptor followed by one configuration
// descriptor set. Nothing is checked beyond the split; no strings.
DescriptorSet DescriptorSetFromDump(const Bytes& dump);

// The whole file's bytes; nullopt when it cannot be read.
std::optional<Bytes> ReadBinaryFile(const std::string& path);

}  // namespace sim::usb
