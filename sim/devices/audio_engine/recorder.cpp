#include "sim/devices/audio_engine/recorder.h"

namespace sim::devices::audio {

void Recorder::UseFormat(const StreamFormat& format)
{
    if (format == format_) {
        return;
    }
    format_ = format;
    Clear();
}

void Recorder::Clear()
{
    frames_ = 0;
    firstTick_ = 0;
    retained_.clear();
    continuity_.reset();
    if (FrameCounterPattern::Fits(format_.channels, format_.validBits)) {
        continuity_ = std::make_unique<ContinuityAnalyser>(format_.channels, format_.validBits);
    }
}

void Recorder::Take(uint64_t tick, const int32_t* frame)
{
    if (frames_ == 0) {
        firstTick_ = tick;
    }
    ++frames_;
    if (retained_.size() / format_.channels < retainLimit_) {
        retained_.insert(retained_.end(), frame, frame + format_.channels);
    }
    if (continuity_ != nullptr) {
        continuity_->Feed(frame);
    }
    if (watcher_) {
        watcher_(tick, frame);
    }
}

}  // namespace sim::devices::audio
