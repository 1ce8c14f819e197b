// The driver's transfers on the R9 model, below the stream engine: the R9 started under CUSBAudioCL
// with a format selected, and a render stream that stands in for the engine where a test needs
// transfers the engine would never send (sized at the nominal rate whatever the device's clock
// does), resubmitting each request from its completion as the engine's DPCs do.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/devices/audio_engine/sample_format.h"
#include "sim/devices/r9/r9_device.h"
#include "tests/transfers/transfer_test_support.h"

namespace transfertest {

using sim::devices::audio::FrameCounterPattern;
using sim::devices::audio::StreamFormat;

constexpr int64_t kMillisecondNs = 1000000;
constexpr int64_t kSecondNs = 1000 * kMillisecondNs;

// A PCM format the driver selected on all four channels: the USB layout (channels, container,
// the valid bits asked for) and the most bytes one request period may carry.
struct SelectedFormat {
    StreamFormat format;
    ULONG maxBytesPerPeriod = 0;
};

class R9StreamTest : public TransferTest {
protected:
    // Plugs the R9 variant and starts the driver on it.
    CUSBAudioCL& StartR9(sim::devices::R9Variant variant);
    // `bits` valid bits at `rate` for requests of `periodMs`; the test fails when the driver refuses.
    SelectedFormat SelectPcm(ULONG direction, ULONG bits, ULONG rate, ULONG periodMs);
    sim::devices::R9Device& R9() { return *r9_; }

    sim::devices::R9Device* r9_ = nullptr;
};

// The transfers of a stream in flight, so that Stop can wait for the last to come back.
class StreamChains {
public:
    StreamChains();
    // IRQL: <= DISPATCH_LEVEL, under the owner's lock.
    void Add();
    void Retire();
    // Fails the test when a chain is still running after a second of bus time.
    void WaitIdle();

private:
    ULONG inFlight_ = 0;
    KEVENT idle_;
};

// Render at the nominal rate: `requestsInFlight` requests of `requestMs` each (the selection's
// period), sized by GetRenderBytes from the nominal feedback value and filled with the
// frame-counter pattern, from the start; no feedback is read.
class NominalRenderStream {
public:
    NominalRenderStream(CUSBAudioCL& driver, const SelectedFormat& selected, ULONG requestMs,
                        ULONG requestsInFlight = 4);
    // IRQL: PASSIVE_LEVEL.
    void Start();
    void Stop();

    // Refused submissions, failed transfers, and transfers that moved another byte count.
    uint64_t Failures() const { return failures_; }

private:
    struct Request {
        NominalRenderStream* owner = nullptr;
        std::vector<UCHAR> buffer;
        ULONG length = 0;
    };

    static void RenderDone(NTSTATUS status, ULONG bytes, ULONG startFrame, PVOID context, ULONG busFrames);
    // Under lock_.
    void SubmitLocked(Request& request);
    void Fill(Request& request);

    CUSBAudioCL& driver_;
    StreamFormat format_;
    FrameCounterPattern pattern_;
    ULONG requestMs_;
    ULONG nominal_;
    KSPIN_LOCK lock_ = 0;
    StreamChains chains_;
    bool stopping_ = false;
    uint64_t framesSent_ = 0;
    uint64_t failures_ = 0;
    std::vector<std::unique_ptr<Request>> requests_;
};

}  // namespace transfertest
