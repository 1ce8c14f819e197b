// A pin of a WaveCyclic filter, as the port keeps it: the miniport's stream with its DMA channel
// and service group, the pin's KS state, the stream packets (IOCTL_KS_WRITE_STREAM and
// IOCTL_KS_READ_STREAM) queued on it, and the port's copy engine, which moves their data into the
// cyclic buffer ahead of the play position (render) or out of it behind the record position
// (capture). The engine runs at DISPATCH_LEVEL whenever the miniport notifies the stream's service
// group, on the port's own 10 ms timer while the pin runs, and when a packet arrives.
//
// Positions: the miniport reports an offset in its cyclic buffer; the copy engine follows it into a
// count of bytes since the pin last stopped, and reports to the verifier an offset at or past the
// buffer end, or one that goes back by less than half the buffer (a larger drop is the wrap). The
// audio position the pin reports (KSAUDIO_POSITION) is relative to the stream of packets: the
// play offset counts the packet bytes the position has passed, the write offset the packet bytes
// received.
//
// Render: the engine copies packet data at its write offset, at most the buffer size less one
// notification interval ahead of the play position (the miniport may still read what lies just
// behind its position). When the play position passes the write offset (the packets did not come
// in time) the port has starved: it counts that, and writes on from the play position, which it
// rounds up to a whole frame. Capture: the engine copies what lies behind the record position into
// the read packets, each completed when full; data nobody asked for stays in the buffer until the
// miniport's position has moved a whole buffer past it, and is then lost (an overrun, counted).
#pragma once

#include <cstdint>

#include "sim/api/kernel.h"
#include "sim/api/ks_streaming.h"
#include "platform/kernel_new.h"
#include "sim/portcls/kernel_unknown.h"

namespace sim::portcls {

class WaveCyclicPort;

struct PinCounters {
    uint64_t services = 0;     // copy-engine runs
    uint64_t packets = 0;      // stream packets completed with their data
    uint64_t bytesCopied = 0;  // into (render) or out of (capture) the cyclic buffer
    uint64_t starvations = 0;  // render: the play position passed the data written
    uint64_t bytesMissed = 0;  // render: what the position passed with nothing written
    uint64_t overruns = 0;     // capture: data lost before it was read
};

class WaveCyclicPin final : public IServiceSink, public KernelReferences, public PoolAllocated {
public:
    WaveCyclicPin(ULONG pinId, bool capture);

    // IRQL: PASSIVE_LEVEL. The miniport's NewStream and the stream's set-up; the pin is released on failure.
    NTSTATUS Initialize(PMINIPORTWAVECYCLIC miniport, const KSDATAFORMAT& format);
    // IRQL: PASSIVE_LEVEL. Back to stop, packets cancelled, stream released.
    void Close();

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID interfaceId, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override { return AddReference(); }
    STDMETHODIMP_(ULONG) Release() override { return DropReference(); }
    // The service group's call, at DISPATCH_LEVEL.
    STDMETHODIMP_(void) RequestService() override;

    ULONG PinId() const { return pinId_; }
    bool Capture() const { return capture_; }
    PMINIPORTWAVECYCLICSTREAM Stream() const { return stream_; }

    // IRQL: PASSIVE_LEVEL. The connection state, taken one step at a time.
    NTSTATUS SetState(KSSTATE state);
    KSSTATE State() const { return state_; }
    NTSTATUS Position(KSAUDIO_POSITION& position);
    // IRQL: PASSIVE_LEVEL. A write (render) or read (capture) packet: pended, or failed at once.
    NTSTATUS QueueStreamIrp(PIRP irp);
    // Every queued packet completed as cancelled (cleanup of the pin's file object).
    void CancelPackets();
    PinCounters Counters();

private:
    struct Packet {
        LIST_ENTRY links;
        PIRP irp;
        KSSTREAM_HEADER header;  // the caller's header, captured when the packet arrived
        ULONG done;              // bytes copied so far
    };

    ~WaveCyclicPin() override;

    // The copy engine (pin_copy_engine.cpp), with the pin's lock held.
    void ServiceLocked(LIST_ENTRY& finished);
    void FollowPositionLocked();
    void RenderLocked(LIST_ENTRY& finished);
    void CaptureLocked(LIST_ENTRY& finished);
    bool TakeFinishedLocked(Packet* packet, LIST_ENTRY& finished);
    void ResetPositionsLocked();
    static void CompletePackets(LIST_ENTRY& finished, NTSTATUS status);
    void Service();

    void StartTimer();
    void StopTimer();
    static KDEFERRED_ROUTINE TimerRoutine;
    static DRIVER_CANCEL CancelRoutine;

    ULONG pinId_;
    bool capture_;
    bool closed_ = false;
    KSSTATE state_ = KSSTATE_STOP;
    PMINIPORTWAVECYCLICSTREAM stream_ = nullptr;
    PDMACHANNEL dma_ = nullptr;
    PSERVICEGROUP serviceGroup_ = nullptr;
    bool member_ = false;
    ULONG blockAlign_ = 0;
    ULONG notificationBytes_ = 0;

    KSPIN_LOCK lock_;
    LIST_ENTRY packets_;
    ULONG packetCount_ = 0;
    KEVENT noPackets_;
    KTIMER timer_;
    KDPC timerDpc_;

    // Byte counts since the last stop; see the header comment.
    ULONG lastPosition_ = 0;
    ULONGLONG played_ = 0;
    ULONGLONG written_ = 0;  // render: written into the buffer; capture: read out of it
    ULONGLONG skipped_ = 0;  // buffer bytes that carried no packet data
    ULONGLONG received_ = 0; // packet bytes the pin was given (render) or asked for (capture)
    PinCounters counters_;
};

}  // namespace sim::portcls
