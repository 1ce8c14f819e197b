// Checks a stream of frames that should carry the frame-counter pattern: every frame must name
// the index after the previous one, on every channel. All-zero frames count as silence and leave
// the expectation alone (a host may play silence before its pattern starts); anything else that
// is not a pattern frame is malformed. Used by the device's recorder on what reached its converter
// and by tests on what the driver captured.
#pragma once

#include <cstdint>
#include <string>

#include "sim/devices/audio_engine/sample_format.h"

namespace sim::devices::audio {

class ContinuityAnalyser {
public:
    ContinuityAnalyser(uint32_t channels, uint32_t validBits);

    // One frame of `channels` 32-bit left-justified samples.
    void Feed(const int32_t* frame);
    // Whole packets in the stream's USB layout.
    void FeedBytes(const uint8_t* data, uint32_t frames, const StreamFormat& format);

    uint64_t PatternFrames() const { return patternFrames_; }
    uint64_t SilentFrames() const { return silentFrames_; }
    uint64_t Malformed() const { return malformed_; }
    uint64_t Gaps() const { return gaps_; }            // jumps forward: frames went missing
    uint64_t MissingFrames() const { return missing_; }
    uint64_t Repeats() const { return repeats_; }      // jumps back (or stands): frames came again
    // The index (modulo the pattern's wrap) of the first and latest pattern frame.
    uint64_t FirstIndex() const { return firstIndex_; }
    uint64_t LastIndex() const { return lastIndex_; }

    // Pattern frames arrived and nothing broke the count.
    bool Continuous() const { return patternFrames_ > 0 && gaps_ == 0 && repeats_ == 0 && malformed_ == 0; }
    // The first break, for a test's failure message ("" when there was none).
    const std::string& FirstBreak() const { return firstBreak_; }

private:
    void NoteBreak(const std::string& what);

    uint32_t channels_;
    FrameCounterPattern pattern_;
    uint64_t framesSeen_ = 0;
    uint64_t patternFrames_ = 0;
    uint64_t silentFrames_ = 0;
    uint64_t malformed_ = 0;
    uint64_t gaps_ = 0;
    uint64_t missing_ = 0;
    uint64_t repeats_ = 0;
    uint64_t firstIndex_ = 0;
    uint64_t lastIndex_ = 0;
    std::string firstBreak_;
};

}  // namespace sim::devices::audio
