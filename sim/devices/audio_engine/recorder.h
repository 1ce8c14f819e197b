// What reached the render converter: every frame the FIFO handed over, in play order. Ten
// minutes of audio are too much to keep, so the recorder keeps the first frames up to a limit a
// test sets, counts all of them, runs the continuity analyser over all of them, and shows each
// to a watcher when one is set.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "sim/devices/audio_engine/continuity_analyser.h"
#include "sim/devices/audio_engine/sample_format.h"

namespace sim::devices::audio {

class Recorder {
public:
    // A new format starts a new recording; the same format goes on with the one there is.
    void UseFormat(const StreamFormat& format);
    // Forget everything recorded, keep the format and the retention limit.
    void Clear();
    // Keep up to `frames` frames from the next Clear (or from now, when nothing is kept yet).
    void RetainFrames(uint64_t frames) { retainLimit_ = frames; }
    // Shows every frame as it plays to a watcher of a test or a tool, which must be quick: it runs
    // under the bus's lock. An empty function stops it.
    void Watch(std::function<void(uint64_t tick, const int32_t* frame)> watcher) { watcher_ = std::move(watcher); }

    // One frame played at converter tick `tick` of the render clock.
    void Take(uint64_t tick, const int32_t* frame);

    uint64_t Frames() const { return frames_; }
    // The render clock's tick at which the first recorded frame played.
    uint64_t FirstTick() const { return firstTick_; }
    // Kept frames, interleaved 32-bit left-justified samples.
    const std::vector<int32_t>& Retained() const { return retained_; }
    uint64_t RetainedFrames() const { return format_.channels == 0 ? 0 : retained_.size() / format_.channels; }
    // Null until a format is in use.
    const ContinuityAnalyser* Continuity() const { return continuity_.get(); }
    const StreamFormat& Format() const { return format_; }

private:
    StreamFormat format_;
    uint64_t retainLimit_ = 0;
    uint64_t frames_ = 0;
    uint64_t firstTick_ = 0;
    std::vector<int32_t> retained_;
    std::unique_ptr<ContinuityAnalyser> continuity_;
    std::function<void(uint64_t, const int32_t*)> watcher_;
};

}  // namespace sim::devices::audio
