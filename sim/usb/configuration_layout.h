// What the bus needs to know of a configuration descriptor set: its interfaces, their alternate
// settings and the endpoints of each. The bytes come from a device (or from a driver handing back
// the device's bytes) and are not trusted: the walk stops at the first descriptor whose length does
// not fit, as the USB stack's own parser does.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/usb/descriptors/descriptor_builder.h"

namespace sim::usb {

struct EndpointLayout {
    uint8_t address = 0;
    uint8_t attributes = 0;
    uint16_t maxPacketSize = 0;  // wMaxPacketSize as sent, high-bandwidth bits included
    uint8_t interval = 0;
    // bRefresh of the 9-byte endpoint descriptor of USB 1.x audio devices (0 in a 7-byte one):
    // a synch endpoint reports a new value every 2^bRefresh frames.
    uint8_t refresh = 0;

    uint8_t TransferType() const { return attributes & 0x03; }
    bool IsIn() const { return (address & 0x80) != 0; }
    // Bytes one (micro)frame may carry: the size field times the extra transactions of a
    // high-bandwidth high-speed endpoint.
    uint32_t BytesPerInterval() const;
};

struct AlternateLayout {
    uint8_t interfaceNumber = 0;
    uint8_t alternate = 0;
    uint8_t interfaceClass = 0;
    uint8_t subclass = 0;
    uint8_t protocol = 0;
    uint8_t declaredEndpoints = 0;  // bNumEndpoints
    std::vector<EndpointLayout> endpoints;
};

struct ConfigurationLayout {
    uint8_t configurationValue = 0;
    uint8_t declaredInterfaces = 0;  // bNumInterfaces
    std::vector<AlternateLayout> alternates;

    const AlternateLayout* Find(uint8_t interfaceNumber, uint8_t alternate) const;
};

// Nullopt when the bytes do not start with a configuration descriptor. Only the first
// min(size, wTotalLength) bytes are walked.
std::optional<ConfigurationLayout> ParseConfiguration(const uint8_t* bytes, size_t size);
inline std::optional<ConfigurationLayout> ParseConfiguration(const Bytes& bytes)
{
    return ParseConfiguration(bytes.data(), bytes.size());
}

}  // namespace sim::usb
