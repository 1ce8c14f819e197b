#include "tests/usb/descriptor_walk.h"

namespace usbtest {

PUSB_CONFIGURATION_DESCRIPTOR AsConfiguration(Bytes& bytes)
{
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

std::vector<UCHAR*> Alternate::All(PUSB_CONFIGURATION_DESCRIPTOR configuration, LONG type) const
{
    std::vector<UCHAR*> found;
    const auto limit = static_cast<ULONG>(end - reinterpret_cast<UCHAR*>(configuration));
    PVOID at = interface;
    while (auto* descriptor = USBD_ParseDescriptors(configuration, limit, at, type)) {
        found.push_back(reinterpret_cast<UCHAR*>(descriptor));
        at = reinterpret_cast<UCHAR*>(descriptor) + descriptor->bLength;
    }
    return found;
}

UCHAR* Alternate::ClassSpecific(PUSB_CONFIGURATION_DESCRIPTOR configuration, LONG type, UCHAR subtype) const
{
    for (UCHAR* descriptor : All(configuration, type)) {
        if (descriptor[0] >= 3 && descriptor[2] == subtype) {
            return descriptor;
        }
    }
    return nullptr;
}

Alternate FindAlternate(PUSB_CONFIGURATION_DESCRIPTOR configuration, LONG interfaceNumber, LONG alternateSetting)
{
    Alternate alternate;
    alternate.interface = USBD_ParseConfigurationDescriptorEx(configuration, configuration, interfaceNumber,
                                                              alternateSetting, -1, -1, -1);
    if (alternate.interface == nullptr) {
        return alternate;
    }
    auto* next = USBD_ParseConfigurationDescriptorEx(
        configuration, reinterpret_cast<UCHAR*>(alternate.interface) + alternate.interface->bLength, -1, -1, -1, -1,
        -1);
    alternate.end = next != nullptr ? reinterpret_cast<UCHAR*>(next)
                                    : reinterpret_cast<UCHAR*>(configuration) + configuration->wTotalLength;
    return alternate;
}

size_t CountDescriptors(PUSB_CONFIGURATION_DESCRIPTOR configuration, ULONG length)
{
    size_t count = 0;
    for (LONG type = 0; type <= 0xFF; ++type) {
        PVOID at = configuration;
        while (auto* descriptor = USBD_ParseDescriptors(configuration, length, at, type)) {
            ++count;
            at = reinterpret_cast<UCHAR*>(descriptor) + descriptor->bLength;
        }
    }
    return count;
}

uint16_t Word(const UCHAR* at)
{
    return static_cast<uint16_t>(at[0] | at[1] << 8);
}

uint32_t Tribyte(const UCHAR* at)
{
    return static_cast<uint32_t>(at[0] | at[1] << 8 | at[2] << 16);
}

uint32_t Dword(const UCHAR* at)
{
    return Word(at) | static_cast<uint32_t>(Word(at + 2)) << 16;
}

}  // namespace usbtest
