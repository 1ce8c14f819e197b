// A device's descriptors from fuzz input, in the layout of the real dumps in tests/fixtures/usb: an
// optional 18-byte device descriptor, then one configuration descriptor set, taken as it is.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/usb/device_model.h"

namespace fuzz {

// Without a device descriptor in front, one without IDs for `speed` stands in for it; the device
// offers US English strings.
sim::usb::DescriptorSet DescriptorSetFromInput(const uint8_t* data, size_t size, sim::usb::UsbSpeed speed);

}  // namespace fuzz
