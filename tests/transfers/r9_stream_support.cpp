#include "tests/transfers/r9_stream_support.h"

namespace transfertest {

using sim::devices::audio::WriteSample;
using usbaudio::kDirectionOut;

namespace {

constexpr USHORT kPcmFormatTag = 1;
constexpr ULONG kR9Channels = 4;
constexpr ULONG kOneFrame = 0x10000;  // 16.16

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

// ---- Render. ----

RenderStream::RenderStream(CUSBAudioCL& driver, const SelectedFormat& selected, Settings settings)
    : driver_(driver),
      format_(selected.format),
      pattern_(selected.format.channels, selected.format.validBits),
      settings_(settings),
      nominal_(driver.GetNominalFeedback(kDirectionOut))
{
    KeInitializeSpinLock(&lock_);
    for (ULONG i = 0; i < settings.requestsInFlight; ++i) {
        requests_.push_back(std::make_unique<Request>());
        requests_.back()->owner = this;
        requests_.back()->buffer.resize(selected.maxBytesPerPeriod);
    }
    for (ULONG i = 0; settings.followFeedback && i < settings.feedbackReads; ++i) {
        reads_.push_back(std::make_unique<Request>());
        reads_.back()->owner = this;
        reads_.back()->buffer.resize(driver.GetFeedbackBufferSize());
    }
}

void RenderStream::Start()
{
    SpinLockGuard guard(lock_);
    if (!settings_.followFeedback) {
        latest_ = nominal_;
        released_ = true;
        for (auto& request : requests_) {
            SubmitRenderLocked(*request);
        }
        return;
    }
    for (auto& read : reads_) {
        SubmitFeedbackLocked(*read);
    }
}

void RenderStream::Stop()
{
    {
        SpinLockGuard guard(lock_);
        stopping_ = true;
    }
    chains_.WaitIdle();
}

void RenderStream::Fill(Request& request)
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
void RenderStream::SubmitRenderLocked(Request& request)
{
    StreamingInterface* render = driver_.GetStreamingInterface(kDirectionOut);
    KIRQL irql;
    KeAcquireSpinLock(&render->FeedbackLock, &irql);
    render->FeedbackValue = latest_;
    KeReleaseSpinLock(&render->FeedbackLock, irql);
    request.length = driver_.GetRenderBytes(settings_.requestMs, latest_);
    if (request.length == 0 || request.length > request.buffer.size()) {
        ++failures_;
        return;
    }
    Fill(request);
    const NTSTATUS status = driver_.SubmitRenderTransfer(request.buffer.data(), nullptr, request.length,
                                                         settings_.requestMs, &RenderStream::RenderDone, &request);
    if (!NT_SUCCESS(status)) {
        ++failures_;
        return;
    }
    chains_.Add();
}

void RenderStream::SubmitFeedbackLocked(Request& read)
{
    const NTSTATUS status = driver_.RecvFeedback(read.buffer.data(), ULONG(read.buffer.size()),
                                                 &RenderStream::FeedbackDone, &read);
    if (!NT_SUCCESS(status)) {
        ++failures_;
        return;
    }
    chains_.Add();
}

void RenderStream::RenderDone(NTSTATUS status, ULONG bytes, ULONG, PVOID context, ULONG)
{
    auto* request = static_cast<Request*>(context);
    RenderStream& self = *request->owner;
    SpinLockGuard guard(self.lock_);
    if (!NT_SUCCESS(status) || bytes != request->length) {
        ++self.failures_;
    } else if (!self.stopping_) {
        self.SubmitRenderLocked(*request);
    }
    self.chains_.Retire();
}

void RenderStream::FeedbackDone(NTSTATUS status, ULONG value, ULONG, PVOID context, ULONG)
{
    auto* read = static_cast<Request*>(context);
    RenderStream& self = *read->owner;
    SpinLockGuard guard(self.lock_);
    if (!NT_SUCCESS(status)) {
        ++self.failures_;
        self.chains_.Retire();
        return;
    }
    const ULONG nominal = self.nominal_;
    if (value >= kOneFrame && value + kOneFrame >= nominal && value <= nominal + kOneFrame) {
        self.latest_ = value;
        ++self.feedbackAccepted_;
    } else {
        self.latest_ = nominal;
        ++self.feedbackRefused_;
    }
    if (!self.released_ && !self.stopping_) {
        self.released_ = true;
        for (auto& request : self.requests_) {
            self.SubmitRenderLocked(*request);
        }
    }
    if (!self.stopping_) {
        self.SubmitFeedbackLocked(*read);
    }
    self.chains_.Retire();
}

// ---- Capture. ----

CaptureStream::CaptureStream(CUSBAudioCL& driver, const SelectedFormat& selected, ULONG requestsInFlight)
    : driver_(driver), format_(selected.format), received_(selected.format.channels, selected.format.validBits)
{
    KeInitializeSpinLock(&lock_);
    for (ULONG i = 0; i < requestsInFlight; ++i) {
        requests_.push_back(std::make_unique<Request>());
        requests_.back()->owner = this;
        requests_.back()->buffer.resize(selected.maxBytesPerPeriod);
    }
}

void CaptureStream::Start()
{
    SpinLockGuard guard(lock_);
    for (auto& request : requests_) {
        SubmitLocked(*request);
    }
}

void CaptureStream::Stop()
{
    {
        SpinLockGuard guard(lock_);
        stopping_ = true;
    }
    chains_.WaitIdle();
}

void CaptureStream::SubmitLocked(Request& request)
{
    const NTSTATUS status = driver_.SubmitCaptureTransfer(request.buffer.data(), ULONG(request.buffer.size()),
                                                          &CaptureStream::Done, &request, 0);
    if (!NT_SUCCESS(status)) {
        ++failures_;
        return;
    }
    chains_.Add();
}

void CaptureStream::Done(NTSTATUS status, ULONG bytes, ULONG startFrame, PVOID context, ULONG busFrames)
{
    auto* request = static_cast<Request*>(context);
    CaptureStream& self = *request->owner;
    SpinLockGuard guard(self.lock_);
    const ULONG frameBytes = self.format_.FrameBytes();
    if (!NT_SUCCESS(status) || bytes % frameBytes != 0) {
        ++self.failures_;
    } else {
        if (!self.started_) {
            self.started_ = true;
            self.firstFrame_ = startFrame;
        }
        self.endFrame_ = startFrame + busFrames;
        self.received_.FeedBytes(request->buffer.data(), bytes / frameBytes, self.format_);
        self.framesReceived_ += bytes / frameBytes;
        if (!self.stopping_) {
            self.SubmitLocked(*request);
        }
    }
    self.chains_.Retire();
}

}  // namespace transfertest
