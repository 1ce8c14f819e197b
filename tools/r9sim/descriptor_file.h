// Reading a device's descriptors from a file for `r9sim describe`: raw bytes or hex text, holding a
// configuration descriptor set, optionally preceded by the 18-byte device descriptor.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace r9sim {

struct DeviceDescriptors {
    std::vector<uint8_t> device;  // empty when the file did not start with one
    std::vector<uint8_t> configuration;
    std::vector<std::string> warnings;  // things the file gets wrong that still leave a device to describe
};

// Text made only of hex bytes ("12 01 00 02", "0x12,0x01", "120100"), whitespace, commas and
// '#' comments is read as hex; anything else as raw bytes. False with `error` set when the text is
// not hex or the bytes are no usable descriptor set.
bool ParseDescriptorFile(const std::vector<uint8_t>& file, DeviceDescriptors& descriptors, std::string& error);

bool LoadDescriptorFile(const std::string& path, DeviceDescriptors& descriptors, std::string& error);

}  // namespace r9sim
