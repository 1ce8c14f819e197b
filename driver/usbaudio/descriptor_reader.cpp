// IRQL: any; these functions only read memory the caller owns.
#include "driver/usbaudio/descriptor_reader.h"

namespace usbaudio {

bool IsWholeDescriptor(const DescriptorRange& range, const UCHAR* at)
{
    if (at == nullptr || at < range.Begin || at >= range.End) {
        return false;
    }
    const SIZE_T remaining = SIZE_T(range.End - at);
    if (remaining < 2) {
        return false;
    }
    const UCHAR length = at[0];
    return length >= 2 && length <= remaining;
}

const UCHAR* NextDescriptor(const DescriptorRange& range, const UCHAR* at)
{
    if (!IsWholeDescriptor(range, at)) {
        return nullptr;
    }
    const UCHAR* next = at + at[0];
    return IsWholeDescriptor(range, next) ? next : nullptr;
}

const UCHAR* FindDescriptor(const DescriptorRange& range, const UCHAR* from, UCHAR type, const UCHAR* limit)
{
    for (const UCHAR* at = from; IsWholeDescriptor(range, at); at += at[0]) {
        if (limit != nullptr && at >= limit) {
            return nullptr;
        }
        if (DescriptorType(at) == type) {
            return at;
        }
    }
    return nullptr;
}

const UCHAR* FindClassDescriptor(const DescriptorRange& range, const UCHAR* from, UCHAR type, UCHAR subtype,
                                 const UCHAR* limit)
{
    for (const UCHAR* at = FindDescriptor(range, from, type, limit); at != nullptr;
         at = FindDescriptor(range, at + at[0], type, limit)) {
        if (DescriptorLength(at) >= 3 && DescriptorSubtype(at) == subtype) {
            return at;
        }
    }
    return nullptr;
}

const USB_INTERFACE_DESCRIPTOR* FindInterface(const DescriptorRange& range, LONG interfaceNumber, LONG alternateSetting,
                                              LONG interfaceClass, LONG interfaceSubClass)
{
    for (const UCHAR* at = FindDescriptor(range, range.Begin, USB_INTERFACE_DESCRIPTOR_TYPE); at != nullptr;
         at = FindDescriptor(range, at + at[0], USB_INTERFACE_DESCRIPTOR_TYPE)) {
        if (DescriptorLength(at) < kInterfaceLength) {
            continue;
        }
        const auto* candidate = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(at);
        if ((interfaceNumber == kAnyValue || candidate->bInterfaceNumber == interfaceNumber) &&
            (alternateSetting == kAnyValue || candidate->bAlternateSetting == alternateSetting) &&
            (interfaceClass == kAnyValue || candidate->bInterfaceClass == interfaceClass) &&
            (interfaceSubClass == kAnyValue || candidate->bInterfaceSubClass == interfaceSubClass)) {
            return candidate;
        }
    }
    return nullptr;
}

const UCHAR* InterfaceExtentEnd(const DescriptorRange& range, const UCHAR* at)
{
    const UCHAR* walked = at;
    for (const UCHAR* next = NextDescriptor(range, at); next != nullptr; next = NextDescriptor(range, next)) {
        if (DescriptorType(next) == USB_INTERFACE_DESCRIPTOR_TYPE) {
            return next;
        }
        walked = next;
    }
    // No interface follows: the extent runs to the end of the last whole descriptor.
    return IsWholeDescriptor(range, walked) ? walked + walked[0] : range.End;
}

const USB_ENDPOINT_DESCRIPTOR* AsEndpoint(const UCHAR* descriptor)
{
    if (descriptor == nullptr || DescriptorType(descriptor) != USB_ENDPOINT_DESCRIPTOR_TYPE ||
        DescriptorLength(descriptor) < kEndpointLength) {
        return nullptr;
    }
    return reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(descriptor);
}

namespace {

// Little-endian value of `width` bytes at `offset`, or 0 when they do not all lie within bLength.
ULONG ReadField(const UCHAR* descriptor, ULONG offset, ULONG width)
{
    if (descriptor == nullptr || offset + width > DescriptorLength(descriptor)) {
        return 0;
    }
    ULONG value = 0;
    for (ULONG i = 0; i < width; ++i) {
        value |= ULONG(descriptor[offset + i]) << (8 * i);
    }
    return value;
}

}  // namespace

UCHAR DescriptorByte(const UCHAR* descriptor, ULONG offset) { return UCHAR(ReadField(descriptor, offset, 1)); }
USHORT DescriptorWord(const UCHAR* descriptor, ULONG offset) { return USHORT(ReadField(descriptor, offset, 2)); }
ULONG DescriptorTribyte(const UCHAR* descriptor, ULONG offset) { return ReadField(descriptor, offset, 3); }
ULONG DescriptorDword(const UCHAR* descriptor, ULONG offset) { return ReadField(descriptor, offset, 4); }

}  // namespace usbaudio
