// Faults a test injects into one isochronous endpoint's traffic. Each fault applies to the next
// packets or transfers that reach the endpoint, in the order injected, and survives interface
// selection (it belongs to the endpoint address, not to a pipe handle). Control requests fail the
// way the device model answers them (a STALL), and a whole device leaves with
// HostController::Unplug.
#pragma once

#include <cstdint>
#include <deque>

#include "sim/api/usb_urb.h"

namespace sim::usb {

struct PipeFault {
    enum class Kind {
        PacketError,     // the packet is lost on the bus: its status is `status`, nothing moves
        ShortPacket,     // an IN packet carries at most `length` bytes
        Stall,           // the endpoint answers STALL and halts until the pipe is reset
        LateCompletion,  // the transfer's packets move on time but its completion comes `delayNs` late
    };
    Kind kind = Kind::PacketError;
    uint32_t count = 1;  // packets (PacketError, ShortPacket) or transfers (LateCompletion)
    USBD_STATUS status = USBD_STATUS_XACT_ERROR;
    uint32_t length = 0;
    int64_t delayNs = 0;

    static PipeFault PacketErrors(uint32_t packets, USBD_STATUS status = USBD_STATUS_XACT_ERROR)
    {
        return PipeFault{Kind::PacketError, packets, status, 0, 0};
    }
    // Packets the host controller never got to: not accessed by the hardware.
    static PipeFault MissingPackets(uint32_t packets)
    {
        return PipeFault{Kind::PacketError, packets, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW, 0, 0};
    }
    static PipeFault ShortPackets(uint32_t packets, uint32_t length)
    {
        return PipeFault{Kind::ShortPacket, packets, USBD_STATUS_SUCCESS, length, 0};
    }
    static PipeFault Stall() { return PipeFault{Kind::Stall, 1, USBD_STATUS_STALL_PID, 0, 0}; }
    static PipeFault LateCompletions(uint32_t transfers, int64_t delayNs)
    {
        return PipeFault{Kind::LateCompletion, transfers, USBD_STATUS_SUCCESS, 0, delayNs};
    }
};

// Per-endpoint record of what crossed the bus, for tests to read. Endpoint 0 counts the control
// transfers that reached the device.
struct EndpointCounters {
    uint64_t packets = 0;       // packets that moved without error
    uint64_t bytes = 0;
    uint64_t failedPackets = 0;
    uint64_t transfers = 0;     // transfers completed, whatever their status
};

// The faults waiting for one endpoint, consumed as traffic arrives: packet faults by packets,
// stalls and late completions by transfers, each kind in the order injected.
class FaultQueue {
public:
    void Add(const PipeFault& fault);

    // The packet fault that applies to the next packet (consumed by it), or null.
    const PipeFault* TakePacketFault();
    bool TakeStall();
    int64_t TakeCompletionDelay();

private:
    std::deque<PipeFault> packetFaults_;
    std::deque<PipeFault> completionDelays_;
    uint32_t stalls_ = 0;
    PipeFault taken_;
};

}  // namespace sim::usb
