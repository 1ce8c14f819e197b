// Bounds-checked reading of a configuration descriptor set. Devices get lengths wrong: a bLength of
// 0 would make a naive walk spin forever and one that runs past wTotalLength would read beyond the
// buffer. Every walk here stops at the first descriptor that does not lie wholly inside the set, so
// everything after a malformed descriptor is invisible to the driver; every field read is checked
// against the descriptor's own bLength.
#pragma once

#include "platform/kernel.h"

namespace usbaudio {

constexpr UCHAR kCsInterface = 0x24;
constexpr UCHAR kCsEndpoint = 0x25;
constexpr UCHAR kInterfaceLength = 9;
constexpr UCHAR kEndpointLength = 7;
constexpr UCHAR kAudioEndpointLength = 9;  // Audio Class 1.0 endpoints add bRefresh and bSynchAddress
constexpr LONG kAnyValue = -1;

// The bytes of one configuration descriptor set. Positions handed to the functions below are
// always descriptor starts reached by walking from Begin.
struct DescriptorRange {
    const UCHAR* Begin;
    const UCHAR* End;
};

// True when a descriptor starts at `at`, its bLength is at least 2 and it ends inside the range.
bool IsWholeDescriptor(const DescriptorRange& range, const UCHAR* at);

// The descriptor after the whole descriptor at `at`, or null when there is none.
const UCHAR* NextDescriptor(const DescriptorRange& range, const UCHAR* at);

// The first descriptor of `type` from `from` (inclusive) that starts before `limit`; null when a
// malformed descriptor, the end of the range or `limit` comes first. A null limit means the end.
const UCHAR* FindDescriptor(const DescriptorRange& range, const UCHAR* from, UCHAR type, const UCHAR* limit = nullptr);

// The same for class-specific descriptors (CS_INTERFACE, CS_ENDPOINT) of one subtype.
const UCHAR* FindClassDescriptor(const DescriptorRange& range, const UCHAR* from, UCHAR type, UCHAR subtype,
                                 const UCHAR* limit = nullptr);

// The first interface descriptor of at least 9 bytes, searched from the start of the set, that
// matches every criterion other than kAnyValue.
const USB_INTERFACE_DESCRIPTOR* FindInterface(const DescriptorRange& range, LONG interfaceNumber, LONG alternateSetting,
                                              LONG interfaceClass, LONG interfaceSubClass);

// Where the descriptors of the interface descriptor at `at` end: the next interface descriptor, or
// the end of what can be walked.
const UCHAR* InterfaceExtentEnd(const DescriptorRange& range, const UCHAR* at);

// Endpoint descriptors shorter than 7 bytes are not endpoints the driver can use.
const USB_ENDPOINT_DESCRIPTOR* AsEndpoint(const UCHAR* descriptor);

// Field reads: 0 when the field does not lie wholly within the descriptor's bLength.
UCHAR DescriptorByte(const UCHAR* descriptor, ULONG offset);
USHORT DescriptorWord(const UCHAR* descriptor, ULONG offset);
ULONG DescriptorTribyte(const UCHAR* descriptor, ULONG offset);
ULONG DescriptorDword(const UCHAR* descriptor, ULONG offset);

inline UCHAR DescriptorLength(const UCHAR* descriptor) { return descriptor[0]; }
inline UCHAR DescriptorType(const UCHAR* descriptor) { return descriptor[1]; }
// bDescriptorSubtype of a class-specific descriptor; 0 for one too short to have it.
inline UCHAR DescriptorSubtype(const UCHAR* descriptor) { return DescriptorByte(descriptor, 2); }

}  // namespace usbaudio
