// Test-side views of a configuration descriptor set, found with the USBD parsing functions the
// driver uses, so that every structural check also exercises them.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/api/usb_types.h"
#include "sim/usb/descriptors/descriptor_builder.h"

namespace usbtest {

using sim::usb::Bytes;

PUSB_CONFIGURATION_DESCRIPTOR AsConfiguration(Bytes& bytes);

// One alternate setting: its interface descriptor and the bytes up to the next interface
// descriptor or the end of the set.
struct Alternate {
    PUSB_INTERFACE_DESCRIPTOR interface = nullptr;
    UCHAR* end = nullptr;

    explicit operator bool() const { return interface != nullptr; }
    // Descriptors of one type inside the alternate, in order.
    std::vector<UCHAR*> All(PUSB_CONFIGURATION_DESCRIPTOR configuration, LONG type) const;
    // The first class-specific descriptor (CS_INTERFACE or CS_ENDPOINT) with this subtype, or null.
    UCHAR* ClassSpecific(PUSB_CONFIGURATION_DESCRIPTOR configuration, LONG type, UCHAR subtype) const;
};

Alternate FindAlternate(PUSB_CONFIGURATION_DESCRIPTOR configuration, LONG interfaceNumber, LONG alternateSetting);

// Number of descriptors of every type in the set, found type by type with USBD_ParseDescriptors.
size_t CountDescriptors(PUSB_CONFIGURATION_DESCRIPTOR configuration, ULONG length);

uint16_t Word(const UCHAR* at);
uint32_t Tribyte(const UCHAR* at);
uint32_t Dword(const UCHAR* at);

}  // namespace usbtest
