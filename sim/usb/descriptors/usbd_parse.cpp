// The descriptor-parsing and configuration-request functions that usbd.sys exports on Windows.
// Descriptors come from the device and are not trusted: every walk checks that a descriptor's
// header and its whole bLength lie inside the buffer before looking at it, and stops at the first
// one that does not, so a zero or oversized bLength can neither overrun the buffer nor loop.
#include <cstdint>
#include <cstring>

#include "sim/api/usbdlib.h"
#include "sim/usb/descriptors/urb_memory.h"

namespace {

constexpr size_t kMaximumUrbLength = 0xFFFF;  // Hdr.Length is a USHORT

bool Matches(LONG wanted, UCHAR actual)
{
    return wanted == -1 || wanted == static_cast<LONG>(actual);
}

}  // namespace

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                                   LONG DescriptorType)
{
    if (DescriptorBuffer == nullptr || StartPosition == nullptr) {
        return nullptr;
    }
    const auto begin = reinterpret_cast<uintptr_t>(DescriptorBuffer);
    const auto start = reinterpret_cast<uintptr_t>(StartPosition);
    if (start < begin || start - begin >= TotalLength) {
        return nullptr;
    }
    const auto* bytes = static_cast<const UCHAR*>(DescriptorBuffer);
    for (size_t at = start - begin; TotalLength - at >= sizeof(USB_COMMON_DESCRIPTOR);) {
        const UCHAR length = bytes[at];
        if (length < sizeof(USB_COMMON_DESCRIPTOR) || length > TotalLength - at) {
            return nullptr;
        }
        if (static_cast<LONG>(bytes[at + 1]) == DescriptorType) {
            return reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<UCHAR*>(bytes + at));
        }
        at += length;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol)
{
    if (ConfigurationDescriptor == nullptr) {
        return nullptr;
    }
    const ULONG totalLength = ConfigurationDescriptor->wTotalLength;
    PVOID at = StartPosition;
    for (;;) {
        auto* found = USBD_ParseDescriptors(ConfigurationDescriptor, totalLength, at, USB_INTERFACE_DESCRIPTOR_TYPE);
        if (found == nullptr) {
            return nullptr;
        }
        auto* candidate = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
        if (found->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
            Matches(InterfaceNumber, candidate->bInterfaceNumber) &&
            Matches(AlternateSetting, candidate->bAlternateSetting) &&
            Matches(InterfaceClass, candidate->bInterfaceClass) &&
            Matches(InterfaceSubClass, candidate->bInterfaceSubClass) &&
            Matches(InterfaceProtocol, candidate->bInterfaceProtocol)) {
            return candidate;
        }
        at = reinterpret_cast<UCHAR*>(found) + found->bLength;
    }
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                                  UCHAR InterfaceNumber, UCHAR AlternateSetting)
{
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                               AlternateSetting, -1, -1, -1);
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList)
{
    if (InterfaceList == nullptr || InterfaceList[0].InterfaceDescriptor == nullptr) {
        return nullptr;
    }
    // The interfaces follow each other inside the URB, each sized for its own endpoints, in the
    // place of the one interface that _URB_SELECT_CONFIGURATION declares.
    size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    for (auto* entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
        if (size > kMaximumUrbLength) {
            return nullptr;
        }
    }
    auto* urb = static_cast<PURB>(sim::usb::AllocateUrbMemory(size));
    if (urb == nullptr) {
        return nullptr;
    }
    std::memset(urb, 0, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    auto* place = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    for (auto* entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
        const PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
        auto* information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(place);
        information->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints));
        information->InterfaceNumber = descriptor->bInterfaceNumber;
        information->AlternateSetting = descriptor->bAlternateSetting;
        information->NumberOfPipes = descriptor->bNumEndpoints;
        for (ULONG pipe = 0; pipe < information->NumberOfPipes; ++pipe) {
            information->Pipes[pipe].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        entry->Interface = information;
        place += information->Length;
    }
    return urb;
}
