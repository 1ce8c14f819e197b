// One Audio Streaming interface and its alternate settings, as the descriptors describe them. All
// descriptor references point into the configuration descriptor set; any of them may be empty.
#pragma once

#include "driver/stream_direction.h"
#include "platform/kernel.h"
#include "platform/kernel_new.h"

class CUSBAudioEntity;

namespace usbaudio {

using ::kDirectionIn;
using ::kDirectionOut;

// bDescriptorSubtype values inside a streaming interface.
constexpr UCHAR kAsGeneral = 0x01;
constexpr UCHAR kAsFormatType = 0x02;
constexpr UCHAR kEndpointGeneral = 0x01;
// The longest high-speed isochronous interval the driver serves: 2^(4-1) microframes, one packet
// per millisecond.
constexpr ULONG kHighSpeedLongestInterval = 4;

}  // namespace usbaudio

struct AlternateSetting {
    const USB_INTERFACE_DESCRIPTOR* Interface;
    const USB_ENDPOINT_DESCRIPTOR* DataEndpoint;
    const UCHAR* AsGeneral;      // CS_INTERFACE AS_GENERAL
    const UCHAR* FormatType;     // CS_INTERFACE FORMAT_TYPE
    const UCHAR* ClassEndpoint;  // CS_ENDPOINT EP_GENERAL after the data endpoint
    const USB_ENDPOINT_DESCRIPTOR* FeedbackEndpoint;
};

// Allocated zero-filled; owns its alternates array. The descriptor part is fixed after device
// start; format selection fills in the pipes and packet figures of the current alternate.
struct StreamingInterface : public PoolAllocated {
    ~StreamingInterface();

    StreamingInterface* Next;
    UCHAR InterfaceNumber;
    UCHAR Direction;
    ULONG AlternateCount;
    ULONG CurrentAlternate;
    AlternateSetting* Alternates;
    CUSBAudioEntity* Terminal;  // named by bTerminalLink of alternate 1

    // The current alternate's pipes, in CUSBCL's interface table: valid until the next alternate
    // selection of this interface, after which RefreshPipes looks them up again.
    PUSBD_PIPE_INFORMATION DataPipe;
    ULONG BytesPerSampleFrame;  // channels x container bytes
    ULONG NominalPacketBytes;
    ULONG MinimumPacketBytes;
    ULONG MaximumPacketBytes;
    UCHAR WholeFrames;  // the nominal packet may shrink by a whole sample frame
    PUSBD_PIPE_INFORMATION FeedbackPipe;
    // 16.16 sample frames per bus interval; FeedbackLock guards these two.
    ULONG FeedbackValue;
    ULONG NominalFeedbackValue;
    KSPIN_LOCK FeedbackLock;
    ULONG LastFeedbackValue;
    ULONG FractionAccumulator;  // low 16 bits: sample-frame fraction carried between transfers
    // The pin's data ranges, built by CUSBAudioCL::BuildDataRanges: one owned block of references
    // followed by the KSDATARANGE_AUDIO records they point to.
    ULONG DataRangeCount;
    PKSDATARANGE* DataRanges;
    ULONG Rate;                 // of the last format selection
    USHORT StreamingMode;       // last accepted by the device's streaming-mode request
};
