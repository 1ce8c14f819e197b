// The driver's transfers on the R9 model for minutes of virtual time. The tests stand in for the
// stream engine: they keep render requests, feedback reads and capture requests in flight through
// CUSBAudioCL and resubmit each from its completion, as the engine's DPCs do; the R9 plays and
// produces the audio on its own drifting clocks and counts what went wrong.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/devices/audio_engine/continuity_analyser.h"
#include "sim/devices/audio_engine/sample_format.h"
#include "sim/devices/r9/r9_device.h"
#include "tests/transfers/transfer_test_support.h"

namespace transfertest {

using sim::devices::audio::ContinuityAnalyser;
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

// Render with feedback pacing, as far as the transfers go: `requestsInFlight` requests of
// `requestMs` each (the selection's period), sized by GetRenderBytes from the latest accepted
// feedback value and filled with the frame-counter pattern; `feedbackReads` reads kept going. No
// request goes out before the first feedback arrives. A value below one frame, more than one frame
// from nominal, or 0 counts as nominal. Ignoring the feedback, every request is sized at the
// nominal value and no feedback is read.
class RenderStream {
public:
    struct Settings {
        ULONG requestMs = 8;
        ULONG requestsInFlight = 4;
        ULONG feedbackReads = 2;
        bool followFeedback = true;
    };

    RenderStream(CUSBAudioCL& driver, const SelectedFormat& selected, Settings settings);
    // IRQL: PASSIVE_LEVEL.
    void Start();
    void Stop();

    uint64_t FramesSent() const { return framesSent_; }
    uint64_t FeedbackAccepted() const { return feedbackAccepted_; }
    uint64_t FeedbackRefused() const { return feedbackRefused_; }
    // Refused submissions, failed transfers, and render transfers that moved another byte count.
    uint64_t Failures() const { return failures_; }

private:
    struct Request {
        RenderStream* owner = nullptr;
        std::vector<UCHAR> buffer;
        ULONG length = 0;
    };

    static void RenderDone(NTSTATUS status, ULONG bytes, ULONG startFrame, PVOID context, ULONG busFrames);
    static void FeedbackDone(NTSTATUS status, ULONG value, ULONG startFrame, PVOID context, ULONG busFrames);
    // Under lock_.
    void SubmitRenderLocked(Request& request);
    void SubmitFeedbackLocked(Request& read);
    void Fill(Request& request);

    CUSBAudioCL& driver_;
    StreamFormat format_;
    FrameCounterPattern pattern_;
    Settings settings_;
    ULONG nominal_;
    KSPIN_LOCK lock_ = 0;
    StreamChains chains_;
    bool stopping_ = false;
    bool released_ = false;
    ULONG latest_ = 0;
    uint64_t framesSent_ = 0;
    uint64_t feedbackAccepted_ = 0;
    uint64_t feedbackRefused_ = 0;
    uint64_t failures_ = 0;
    std::vector<std::unique_ptr<Request>> requests_;
    std::vector<std::unique_ptr<Request>> reads_;
};

// Capture: `requestsInFlight` requests of the selection's period each, resubmitted from their
// completions; what arrives goes, in completion order, through a continuity analyser for the
// frame-counter pattern.
class CaptureStream {
public:
    CaptureStream(CUSBAudioCL& driver, const SelectedFormat& selected, ULONG requestsInFlight);
    // IRQL: PASSIVE_LEVEL.
    void Start();
    void Stop();

    const ContinuityAnalyser& Received() const { return received_; }
    uint64_t FramesReceived() const { return framesReceived_; }
    // The bus frame the first completed request started at, and the one after the last.
    ULONG FirstFrame() const { return firstFrame_; }
    ULONG EndFrame() const { return endFrame_; }
    // Refused submissions, failed transfers, and byte counts that are not whole frames.
    uint64_t Failures() const { return failures_; }

private:
    struct Request {
        CaptureStream* owner = nullptr;
        std::vector<UCHAR> buffer;
    };

    static void Done(NTSTATUS status, ULONG bytes, ULONG startFrame, PVOID context, ULONG busFrames);
    void SubmitLocked(Request& request);

    CUSBAudioCL& driver_;
    StreamFormat format_;
    KSPIN_LOCK lock_ = 0;
    StreamChains chains_;
    bool stopping_ = false;
    bool started_ = false;
    ContinuityAnalyser received_;
    uint64_t framesReceived_ = 0;
    ULONG firstFrame_ = 0;
    ULONG endFrame_ = 0;
    uint64_t failures_ = 0;
    std::vector<std::unique_ptr<Request>> requests_;
};

}  // namespace transfertest
