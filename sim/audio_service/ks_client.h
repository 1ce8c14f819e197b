// The audio service's requests to a kernel-streaming filter and its pins, as a user-mode client
// sends them through its handles: the filter opened on its device interface, a pin created relative
// to it with a connect record and a data format, properties (of the filter, a node or a pin) and
// stream packets. Every request goes through the I/O manager as the caller's (user-mode) request;
// the handles are opened for overlapped I/O, so packets and properties may be in flight together.
//
// IRQL: PASSIVE_LEVEL, on a thread of the machine.
#pragma once

#include <functional>
#include <string>

#include "sim/api/kernel.h"
#include "sim/api/ks_streaming.h"

namespace sim::io {
class UserFile;
}

namespace sim::audio {

class KsHandle {
public:
    KsHandle() = default;
    ~KsHandle() { Close(); }
    KsHandle(const KsHandle&) = delete;
    KsHandle& operator=(const KsHandle&) = delete;

    // The filter behind `pdo`'s device interface with `referenceString`.
    NTSTATUS OpenFilter(PDEVICE_OBJECT pdo, const std::u16string& referenceString);
    // A pin of pin factory `pinId` of an open filter, in `format`.
    NTSTATUS CreatePin(KsHandle& filter, ULONG pinId, const WAVEFORMATEXTENSIBLE& format);
    // The handle closed (cleanup cancels what is in flight) and the file object let go.
    void Close();
    bool IsOpen() const { return file_ != nullptr; }
    PFILE_OBJECT File() const;

    // A property request; `returned` receives the byte count the reply reports.
    NTSTATUS Property(const GUID& set, ULONG id, ULONG verb, const void* instance, ULONG instanceSize, void* value,
                      ULONG valueSize, ULONG* returned = nullptr);
    NTSTATUS NodeProperty(ULONG node, const GUID& set, ULONG id, ULONG verb, const void* instance,
                          ULONG instanceSize, void* value, ULONG valueSize, ULONG* returned = nullptr);
    NTSTATUS SetState(KSSTATE state);
    NTSTATUS Position(KSAUDIO_POSITION& position);

    // A write (render) or read (capture) packet; `done` runs once when it completes, possibly at
    // DISPATCH_LEVEL on another thread, and never for a packet refused at once (an error status
    // returned here).
    NTSTATUS SendPacket(bool write, KSSTREAM_HEADER* header, std::function<void(NTSTATUS)> done);

private:
    NTSTATUS Control(ULONG code, void* input, ULONG inputLength, void* output, ULONG outputLength,
                     ULONG_PTR* information);
    NTSTATUS SendProperty(const void* header, ULONG headerSize, const void* instance, ULONG instanceSize, void* value,
                          ULONG valueSize, ULONG* returned);

    io::UserFile* file_ = nullptr;
};

}  // namespace sim::audio
