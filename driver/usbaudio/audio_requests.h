// The control requests the driver sends to an Audio Class function: request types, request codes
// and control selectors of the class releases 1.0 and 2.0, and the driver's own streaming-mode
// request.
#pragma once

#include "platform/kernel.h"

namespace usbaudio {

// bmRequestType: class requests to an interface (the AC entities) or an endpoint, and the vendor
// request to a streaming interface.
constexpr UCHAR kGetFromInterface = 0xA1;
constexpr UCHAR kSetToInterface = 0x21;
constexpr UCHAR kGetFromEndpoint = 0xA2;
constexpr UCHAR kSetToEndpoint = 0x22;
constexpr UCHAR kVendorToInterface = 0x41;

// bRequest on 2.0.
constexpr UCHAR kRequestCur = 0x01;
constexpr UCHAR kRequestRange = 0x02;
// bRequest on 1.0.
constexpr UCHAR kSetCur = 0x01;
constexpr UCHAR kGetCur = 0x81;
constexpr UCHAR kGetMin = 0x82;
constexpr UCHAR kGetMax = 0x83;
constexpr UCHAR kGetRes = 0x84;
// bRequest of the streaming-mode request; wValue carries the mode.
constexpr UCHAR kStreamingModeRequest = 0x00;

// Control selectors.
constexpr UCHAR kMuteSelector = 0x01;               // feature unit
constexpr UCHAR kVolumeSelector = 0x02;             // feature unit
constexpr UCHAR kSamplingFrequencySelector = 0x01;  // clock source
constexpr UCHAR kClockValiditySelector = 0x02;      // clock source
constexpr UCHAR kClockSelectorSelector = 0x01;      // clock selector
constexpr UCHAR kConnectorSelector = 0x02;          // terminal
// wValue of the 1.0 endpoint sampling-frequency request (selector 1, no channel).
constexpr USHORT kEndpointSamplingFrequency = 0x0100;

// Streaming modes of the streaming-mode request.
constexpr USHORT kStreamingModePcm = 0;
constexpr USHORT kStreamingModeDsdNative = 1;

// What IsConnected answers when the connector state cannot be read.
constexpr ULONG kConnectorUnknown = 0xFFFFFFFF;

inline ULONG LittleEndianDword(const UCHAR* bytes)
{
    return ULONG(bytes[0]) | ULONG(bytes[1]) << 8 | ULONG(bytes[2]) << 16 | ULONG(bytes[3]) << 24;
}

inline void PutLittleEndianDword(UCHAR* bytes, ULONG value)
{
    bytes[0] = UCHAR(value);
    bytes[1] = UCHAR(value >> 8);
    bytes[2] = UCHAR(value >> 16);
    bytes[3] = UCHAR(value >> 24);
}

}  // namespace usbaudio
