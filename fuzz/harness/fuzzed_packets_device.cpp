#include "fuzz/harness/fuzzed_packets_device.h"

#include <algorithm>

namespace fuzz {

namespace {

// What a host controller reports for a packet gone wrong.
constexpr USBD_STATUS kPacketStatuses[] = {
    USBD_STATUS_CRC,           USBD_STATUS_BTSTUFF,          USBD_STATUS_DATA_TOGGLE_MISMATCH,
    USBD_STATUS_STALL_PID,     USBD_STATUS_DEV_NOT_RESPONDING, USBD_STATUS_DATA_OVERRUN,
    USBD_STATUS_DATA_UNDERRUN, USBD_STATUS_BUFFER_OVERRUN,   USBD_STATUS_BUFFER_UNDERRUN,
    USBD_STATUS_XACT_ERROR,    USBD_STATUS_BABBLE_DETECTED,  USBD_STATUS_ISO_NOT_ACCESSED_BY_HW,
};

// A step byte below this keeps the packet honest, so that short scripts leave most traffic alone.
constexpr uint8_t kFirstFault = 0xA0;

enum Step : uint8_t { kResize, kResizeWords, kFail, kOverwrite, kEmpty };
constexpr uint8_t kSteps = 5;

}  // namespace

USBD_STATUS FuzzedPacketsDevice::NextStatus()
{
    return kPacketStatuses[script_.NextOr(0) % (sizeof kPacketStatuses / sizeof kPacketStatuses[0])];
}

USBD_STATUS FuzzedPacketsDevice::IsoOut(const sim::usb::IsoSlot& slot, const uint8_t* data, uint32_t length)
{
    const USBD_STATUS honest = R9Device::IsoOut(slot, data, length);
    uint8_t step = 0;
    if (!script_.Next(step) || step < kFirstFault) {
        return honest;
    }
    return NextStatus();
}

sim::usb::IsoInData FuzzedPacketsDevice::IsoIn(const sim::usb::IsoSlot& slot, uint8_t* buffer, uint32_t capacity)
{
    sim::usb::IsoInData packet = R9Device::IsoIn(slot, buffer, capacity);
    uint8_t step = 0;
    if (!script_.Next(step) || step < kFirstFault) {
        return packet;
    }
    switch ((step - kFirstFault) % kSteps) {
    case kResize:
        // Any length up to four times the endpoint's maximum: what lies beyond the buffer is the
        // bus's to refuse as babble; what lies beyond the honest packet is stale bytes.
        packet.length = uint32_t(script_.NextOr(0)) * (slot.maxBytes + 1) / 64;
        break;
    case kResizeWords:
        packet.length = std::min<uint32_t>(capacity, uint32_t(script_.NextOr(0)) * 4 + script_.NextOr(0) % 4);
        break;
    case kFail:
        packet.status = NextStatus();
        break;
    case kOverwrite: {
        const uint32_t count = script_.NextOr(0) % 16;
        const uint32_t length = std::min(packet.length, capacity);
        const uint32_t start = length == 0 ? 0 : script_.NextOr(0) % length;
        for (uint32_t i = start; i < length && i < start + count; ++i) {
            buffer[i] = script_.NextOr(buffer[i]);
        }
        break;
    }
    case kEmpty:
        packet.length = 0;
        break;
    }
    return packet;
}

}  // namespace fuzz
