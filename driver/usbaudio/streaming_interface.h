// One Audio Streaming interface and its alternate settings, as the descriptors describe them. All
// descriptor references point into the configuration descriptor set; any of them may be empty.
#pragma once

#include "platform/kernel.h"
#include "platform/kernel_new.h"

class CUSBAudioEntity;

namespace usbaudio {

// Direction of a streaming interface: bit 7 of its first data endpoint's address.
constexpr UCHAR kDirectionOut = 0;  // render
constexpr UCHAR kDirectionIn = 1;   // capture

// bDescriptorSubtype values inside a streaming interface.
constexpr UCHAR kAsGeneral = 0x01;
constexpr UCHAR kAsFormatType = 0x02;
constexpr UCHAR kEndpointGeneral = 0x01;

}  // namespace usbaudio

struct AlternateSetting {
    const USB_INTERFACE_DESCRIPTOR* Interface;
    const USB_ENDPOINT_DESCRIPTOR* DataEndpoint;
    const UCHAR* AsGeneral;      // CS_INTERFACE AS_GENERAL
    const UCHAR* FormatType;     // CS_INTERFACE FORMAT_TYPE
    const UCHAR* ClassEndpoint;  // CS_ENDPOINT EP_GENERAL after the data endpoint
    const USB_ENDPOINT_DESCRIPTOR* FeedbackEndpoint;
};

// Allocated zero-filled; owns its alternates array.
struct StreamingInterface : public PoolAllocated {
    ~StreamingInterface();

    StreamingInterface* Next;
    UCHAR InterfaceNumber;
    UCHAR Direction;
    ULONG AlternateCount;
    ULONG CurrentAlternate;
    AlternateSetting* Alternates;
    CUSBAudioEntity* Terminal;  // named by bTerminalLink of alternate 1
};
