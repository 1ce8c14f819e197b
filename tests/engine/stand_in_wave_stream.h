// A stand-in for the wave miniport's streams, registered with the adapter as its engine callback,
// so the engine's scenarios run before (and without) the audio stack: it behaves as the wave
// stream does towards the engine. Render: each report of render bytes queues that many bytes of its
// cyclic buffer, freshly written with the frame-counter pattern, as render regions. Capture: the
// whole buffer is queued at the start; each clock step hands the bytes just captured to a
// continuity analyser and queues their part of the buffer again.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "driver/adapter/usb_audio_adapter.h"
#include "sim/devices/audio_engine/continuity_analyser.h"
#include "sim/devices/audio_engine/sample_format.h"

namespace enginetest {

using sim::devices::audio::ContinuityAnalyser;
using sim::devices::audio::FrameCounterPattern;
using sim::devices::audio::StreamFormat;

struct StreamCounts {
    uint64_t reports = 0;         // ReportRenderBytes
    uint64_t reportedBytes = 0;
    uint64_t advances = 0;        // AdvanceClock
    uint64_t advancedBytes = 0;
    uint64_t notifications = 0;   // NotifyPort
    uint64_t silenced = 0;        // bytes SilenceRegion cleared
    uint64_t requeues = 0;        // RequeueCapture
    int64_t held = 0;             // AcquireStream(TRUE) minus ReleaseStream
};

class StandInWaveStream final : public IEngineCallback {
public:
    explicit StandInWaveStream(UsbAudioAdapter& adapter);
    ~StandInWaveStream();

    // The client format of a direction, set on the adapter; the buffer holds `bufferMs` of it.
    NTSTATUS Open(StreamDirection direction, const StreamFormat& format, ULONG rate, ULONG bufferMs = 100);
    // The direction's stream runs (the engine may use its buffer) or stops doing so; Stop waits for
    // the engine to let go.
    void Run(StreamDirection direction);
    void Stop(StreamDirection direction);

    StreamCounts Counts(StreamDirection direction) const;
    // What capture delivered into the buffer, in order.
    const ContinuityAnalyser& Captured() const { return *captured_; }
    uint64_t CapturedFrames() const { return capturedFrames_; }
    // Render writes this sample on every channel instead of the pattern.
    void RenderConstant(int32_t sample) { constant_ = sample; useConstant_ = true; }
    // The direction's cyclic buffer, where the engine's regions point.
    uint8_t* Buffer(StreamDirection direction) { return side_[direction].buffer.data(); }
    // Render frames written into the buffer and queued.
    uint64_t QueuedRenderFrames() const { return renderFrame_; }

    // IUnknown: the adapter keeps a plain pointer; the test owns the object.
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP_(void) NotifyPort(StreamDirection direction) override;
    STDMETHODIMP_(void) SilenceRegion(StreamDirection direction, PVOID buffer, ULONG bytes) override;
    STDMETHODIMP_(void) AdvanceClock(StreamDirection direction, ULONG bytes, ULONG duration) override;
    STDMETHODIMP_(void) ResetRenderClock(ULONG) override {}
    STDMETHODIMP_(void) RestartClock(StreamDirection) override {}
    STDMETHODIMP_(BOOLEAN) AcquireStream(StreamDirection direction) override;
    STDMETHODIMP_(void) ReleaseStream(StreamDirection direction) override;
    STDMETHODIMP_(void) ReportRenderBytes(StreamDirection direction, ULONG bytes, ULONG duration) override;
    STDMETHODIMP_(void) RequeueCapture(StreamDirection direction) override;
    STDMETHODIMP_(NTSTATUS) UnregisterSubdevice(PDEVICE_OBJECT) override;
    // The miniport the stand-in replaced unregisters the filter (a rate change); `action` runs
    // then, between the adapter's two holds of the configuration mutex.
    void OnUnregister(std::function<void()> action) { onUnregister_ = std::move(action); }

private:
    struct Side {
        StreamFormat format;
        std::vector<uint8_t> buffer;
        ULONG offset = 0;
        std::atomic<bool> running{false};
        StreamCounts counts;
        mutable std::mutex lock;
    };

    void QueueRender(ULONG bytes);
    void QueueSpan(StreamDirection direction, ULONG offset, ULONG bytes, bool lockHeld);

    UsbAudioAdapter& adapter_;
    Side side_[kDirectionCount];
    std::unique_ptr<FrameCounterPattern> pattern_;
    uint64_t renderFrame_ = 0;
    bool useConstant_ = false;
    int32_t constant_ = 0;
    std::unique_ptr<ContinuityAnalyser> captured_;
    uint64_t capturedFrames_ = 0;
    IEngineCallback* miniport_;
    std::function<void()> onUnregister_;
};

}  // namespace enginetest
