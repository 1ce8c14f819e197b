#include "tests/engine/stand_in_wave_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace enginetest {

using sim::devices::audio::WriteSample;

namespace {

constexpr USHORT kPcmFormatTag = 1;

}  // namespace

StandInWaveStream::StandInWaveStream(UsbAudioAdapter& adapter) : adapter_(adapter), miniport_(adapter.EngineCallback())
{
    adapter_.SetEngineCallback(this);
}

StandInWaveStream::~StandInWaveStream()
{
    Stop(kDirectionOut);
    Stop(kDirectionIn);
}

NTSTATUS StandInWaveStream::QueryInterface(REFIID id, PVOID* object)
{
    if (IsEqualGUID(id, IID_IUnknown) || IsEqualGUID(id, IID_IEngineCallback)) {
        *object = static_cast<IEngineCallback*>(this);
        return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS StandInWaveStream::Open(StreamDirection direction, const StreamFormat& format, ULONG rate, ULONG bufferMs)
{
    Side& side = side_[direction];
    side.format = format;
    side.buffer.assign(size_t(rate) * bufferMs / 1000 * format.FrameBytes(), 0);
    side.offset = 0;
    if (direction == kDirectionOut) {
        pattern_ = std::make_unique<FrameCounterPattern>(format.channels, format.validBits);
        renderFrame_ = 0;
    } else {
        captured_ = std::make_unique<ContinuityAnalyser>(format.channels, format.validBits);
        capturedFrames_ = 0;
    }
    return adapter_.SetDirectionFormat(direction, kPcmFormatTag, format.channels, format.subslotBytes * 8, rate);
}

void StandInWaveStream::Run(StreamDirection direction)
{
    Side& side = side_[direction];
    if (direction == kDirectionIn) {
        side.offset = 0;
        QueueSpan(kDirectionIn, 0, ULONG(side.buffer.size()), false);
    }
    side.running = true;
}

void StandInWaveStream::Stop(StreamDirection direction)
{
    Side& side = side_[direction];
    side.running = false;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(side.lock);
            if (side.counts.held == 0) {
                return;
            }
        }
        std::this_thread::yield();
    }
}

StreamCounts StandInWaveStream::Counts(StreamDirection direction) const
{
    std::lock_guard<std::mutex> guard(side_[direction].lock);
    return side_[direction].counts;
}

void StandInWaveStream::NotifyPort(StreamDirection direction)
{
    std::lock_guard<std::mutex> guard(side_[direction].lock);
    ++side_[direction].counts.notifications;
}

void StandInWaveStream::SilenceRegion(StreamDirection direction, PVOID buffer, ULONG bytes)
{
    Side& side = side_[direction];
    auto* start = static_cast<uint8_t*>(buffer);
    EXPECT_TRUE(start >= side.buffer.data() && start + bytes <= side.buffer.data() + side.buffer.size())
        << "silenced outside the buffer";
    std::fill(start, start + bytes, uint8_t(0));
    std::lock_guard<std::mutex> guard(side.lock);
    side.counts.silenced += bytes;
}

void StandInWaveStream::AdvanceClock(StreamDirection direction, ULONG bytes, ULONG)
{
    Side& side = side_[direction];
    if (direction == kDirectionIn) {
        // The bytes just captured sit at the capture offset, in the order they arrived.
        const ULONG frameBytes = side.format.FrameBytes();
        ULONG left = bytes;
        while (left != 0) {
            const ULONG span = std::min<ULONG>(left, ULONG(side.buffer.size()) - side.offset);
            captured_->FeedBytes(side.buffer.data() + side.offset, span / frameBytes, side.format);
            capturedFrames_ += span / frameBytes;
            QueueSpan(kDirectionIn, side.offset, span, false);
            side.offset = (side.offset + span) % ULONG(side.buffer.size());
            left -= span;
        }
    }
    std::lock_guard<std::mutex> guard(side.lock);
    ++side.counts.advances;
    side.counts.advancedBytes += bytes;
}

BOOLEAN StandInWaveStream::AcquireStream(StreamDirection direction)
{
    Side& side = side_[direction];
    std::lock_guard<std::mutex> guard(side.lock);
    if (!side.running) {
        return FALSE;
    }
    ++side.counts.held;
    return TRUE;
}

void StandInWaveStream::ReleaseStream(StreamDirection direction)
{
    std::lock_guard<std::mutex> guard(side_[direction].lock);
    EXPECT_GT(side_[direction].counts.held, 0) << "a stream released that was not acquired";
    --side_[direction].counts.held;
}

void StandInWaveStream::ReportRenderBytes(StreamDirection direction, ULONG bytes, ULONG)
{
    Side& side = side_[direction];
    if (direction == kDirectionOut && side.running) {
        QueueRender(bytes);
    }
    std::lock_guard<std::mutex> guard(side.lock);
    ++side.counts.reports;
    side.counts.reportedBytes += bytes;
}

// Writes the next frames of the pattern at the render offset and queues them.
void StandInWaveStream::QueueRender(ULONG bytes)
{
    Side& side = side_[kDirectionOut];
    const ULONG frameBytes = side.format.FrameBytes();
    const ULONG size = ULONG(side.buffer.size());
    for (ULONG frame = 0; frame < bytes / frameBytes; ++frame) {
        uint8_t* out = side.buffer.data() + (side.offset + frame * frameBytes) % size;
        for (uint32_t channel = 0; channel < side.format.channels; ++channel) {
            WriteSample(useConstant_ ? constant_ : pattern_->Sample(renderFrame_, channel),
                        out + channel * side.format.subslotBytes, side.format);
        }
        ++renderFrame_;
    }
    const ULONG queued = bytes / frameBytes * frameBytes;
    const ULONG first = std::min(queued, size - side.offset);
    QueueSpan(kDirectionOut, side.offset, first, false);
    if (queued > first) {
        QueueSpan(kDirectionOut, 0, queued - first, false);
    }
    side.offset = (side.offset + queued) % size;
}

void StandInWaveStream::RequeueCapture(StreamDirection direction)
{
    Side& side = side_[direction];
    side.offset = 0;
    QueueSpan(direction, 0, ULONG(side.buffer.size()), true);
    std::lock_guard<std::mutex> guard(side.lock);
    ++side.counts.requeues;
}

NTSTATUS StandInWaveStream::UnregisterSubdevice(PDEVICE_OBJECT deviceObject)
{
    const NTSTATUS status = miniport_ != nullptr ? miniport_->UnregisterSubdevice(deviceObject) : STATUS_SUCCESS;
    if (onUnregister_) {
        onUnregister_();
    }
    return status;
}

void StandInWaveStream::QueueSpan(StreamDirection direction, ULONG offset, ULONG bytes, bool lockHeld)
{
    uint8_t* start = side_[direction].buffer.data() + offset;
    if (direction == kDirectionOut) {
        adapter_.QueueRenderRegion(start, bytes);
    } else {
        adapter_.QueueCaptureRegion(start, bytes, lockHeld ? TRUE : FALSE);
    }
}

}  // namespace enginetest
