// Where an isochronous packet's bytes lie in its transfer buffer.
#pragma once

#include <cstdint>

#include "sim/api/usb_urb.h"

namespace sim::usb {

struct PacketSpan {
    uint32_t offset = 0;
    uint32_t length = 0;
};

// From the packet's Offset to the next packet's (the last to the end of the buffer); offsets past
// the end of the buffer carry nothing.
inline PacketSpan SpanOfPacket(const struct _URB_ISOCH_TRANSFER& transfer, uint32_t packet, uint32_t bufferLength)
{
    uint32_t end = packet + 1 < transfer.NumberOfPackets ? transfer.IsoPacket[packet + 1].Offset : bufferLength;
    if (end > bufferLength) {
        end = bufferLength;
    }
    const uint32_t begin = transfer.IsoPacket[packet].Offset;
    return begin >= end ? PacketSpan{begin, 0} : PacketSpan{begin, end - begin};
}

}  // namespace sim::usb
