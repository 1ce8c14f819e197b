#include "tests/transfers/r9_stream_support.h"

namespace transfertest {

using sim::devices::audio::WriteSample;
using usbaudio::kDirectionOut;

namespace {

constexpr USHORT kPcmFormatTag = 1;
constexpr ULONG kR9Channels = 4;

class SpinLockGuard {
public:
    explicit SpinLockGuard(KSPIN_LOCK& lock) : lock_(lock) { KeAcquireSpinLock(&lock_, &irql_); }
    ~SpinLockGuard() { KeReleaseSpinLock(&lock_, irql_); }
    SpinLockGuard(const SpinLockGuard&) = delete;
    SpinLockGuard& operator=(const SpinLockGuard&) = delete;

private:
    KSPIN_LOCK& lock_;
    KIRQL irql_;
};

}  // namespace

CUSBAudioCL& R9StreamTest::StartR9(sim::devices::R9Variant variant)
{
    auto device = std::make_unique<sim::devices::R9Device>(variant);
    sim::devices::R9Device* r9 = device.get();
    CUSBAudioCL& driver = StartOn(std::move(device));
    r9_ = r9;
    return driver;
}

SelectedFormat R9StreamTest::SelectPcm(ULONG direction, ULONG bits, ULONG rate, ULONG periodMs)
{
    ULONG channels = 0;
    ULONG containerBits = 0;
    SelectedFormat selected;
    EXPECT_EQ(driver_->SelectStreamingFormat(direction, kPcmFormatTag, kR9Channels, bits, rate, periodMs, &channels,
                                             &containerBits, &selected.maxBytesPerPeriod),
              STATUS_SUCCESS);
    selected.format = StreamFormat{channels, containerBits / 8, bits};
    return selected;
}

StreamChains::StreamChains() { KeInitializeEvent(&idle_, NotificationEvent, TRUE); }

void StreamChains::Add()
{
    if (inFlight_++ == 0) {
        KeClearEvent(&idle_);
    }
}

void StreamChains::Retire()
{
    if (--inFlight_ == 0) {
        KeSetEvent(&idle_, IO_NO_INCREMENT, FALSE);
    }
}

void StreamChains::WaitIdle()
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000000;
    if (KeWaitForSingleObject(&idle_, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        ADD_FAILURE() << inFlight_ << " transfers did not come back";
    }
    // A completion routine may still be returning its IRP when its callback has reported.
    KeFlushQueuedDpcs();
}

// ---- Render at the nominal rate. ----

NominalRenderStream::NominalRenderStream(CUSBAudioCL& driver, const SelectedFormat& selected, ULONG requestMs,
                                         ULONG requestsInFlight)
    : driver_(driver),
      format_(selected.format),
      pattern_(selected.format.channels, selected.format.validBits),
      requestMs_(requestMs),
      nominal_(driver.GetNominalFeedback(kDirectionOut))
{
    KeInitializeSpinLock(&lock_);
    for (ULONG i = 0; i < requestsInFlight; ++i) {
        requests_.push_back(std::make_unique<Request>());
        requests_.back()->owner = this;
        requests_.back()->buffer.resize(selected.maxBytesPerPeriod);
    }
}

void NominalRenderStream::Start()
{
    SpinLockGuard guard(lock_);
    for (auto& request : requests_) {
        SubmitLocked(*request);
    }
}

void NominalRenderStream::Stop()
{
    {
        SpinLockGuard guard(lock_);
        stopping_ = true;
    }
    chains_.WaitIdle();
}

void NominalRenderStream::Fill(Request& request)
{
    const ULONG frameBytes = format_.FrameBytes();
    const ULONG frames = request.length / frameBytes;
    for (ULONG i = 0; i < frames; ++i) {
        UCHAR* frame = &request.buffer[size_t(i) * frameBytes];
        for (ULONG channel = 0; channel < format_.channels; ++channel) {
            WriteSample(pattern_.Sample(framesSent_ + i, channel), frame + channel * format_.subslotBytes, format_);
        }
    }
    framesSent_ += frames;
}

// The packet layout reads the feedback value again under the render interface's lock: it must
// find the value the length was computed from.
void NominalRenderStream::SubmitLocked(Request& request)
{
    StreamingInterface* render = driver_.GetStreamingInterface(kDirectionOut);
    KIRQL irql;
    KeAcquireSpinLock(&render->FeedbackLock, &irql);
    render->FeedbackValue = nominal_;
    KeReleaseSpinLock(&render->FeedbackLock, irql);
    request.length = driver_.GetRenderBytes(requestMs_, nominal_);
    if (request.length == 0 || request.length > request.buffer.size()) {
        ++failures_;
        return;
    }
    Fill(request);
    const NTSTATUS status = driver_.SubmitRenderTransfer(request.buffer.data(), nullptr, request.length, requestMs_,
                                                         &NominalRenderStream::RenderDone, &request);
    if (!NT_SUCCESS(status)) {
        ++failures_;
        return;
    }
    chains_.Add();
}

void NominalRenderStream::RenderDone(NTSTATUS status, ULONG bytes, ULONG, PVOID context, ULONG)
{
    auto* request = static_cast<Request*>(context);
    NominalRenderStream& self = *request->owner;
    SpinLockGuard guard(self.lock_);
    if (!NT_SUCCESS(status) || bytes != request->length) {
        ++self.failures_;
    } else if (!self.stopping_) {
        self.SubmitLocked(*request);
    }
    self.chains_.Retire();
}

}  // namespace transfertest
