#include "sim/devices/audio_engine/continuity_analyser.h"

#include <stdexcept>
#include <vector>

namespace sim::devices::audio {

ContinuityAnalyser::ContinuityAnalyser(uint32_t channels, uint32_t validBits)
    : channels_(channels), pattern_(channels, validBits)
{
}

void ContinuityAnalyser::NoteBreak(const std::string& what)
{
    if (firstBreak_.empty()) {
        firstBreak_ = "frame " + std::to_string(framesSeen_) + ": " + what;
    }
}

void ContinuityAnalyser::Feed(const int32_t* frame)
{
    bool silent = true;
    for (uint32_t channel = 0; channel < channels_; ++channel) {
        silent = silent && frame[channel] == 0;
    }
    if (silent) {
        ++silentFrames_;
        ++framesSeen_;
        return;
    }

    uint64_t index = 0;
    bool valid = pattern_.Decode(frame[0], 0, index);
    for (uint32_t channel = 1; valid && channel < channels_; ++channel) {
        uint64_t other = 0;
        valid = pattern_.Decode(frame[channel], channel, other) && other == index;
    }
    if (!valid) {
        ++malformed_;
        NoteBreak("not a pattern frame");
        ++framesSeen_;
        return;
    }

    if (patternFrames_ == 0) {
        firstIndex_ = index;
    } else {
        const uint64_t wrap = pattern_.Wrap();
        const uint64_t expected = (lastIndex_ + 1) % wrap;
        const uint64_t ahead = (index + wrap - expected) % wrap;
        if (ahead != 0) {
            // Less than half the wrap ahead reads as lost frames; more reads as the count going back.
            if (ahead < wrap / 2) {
                ++gaps_;
                missing_ += ahead;
            } else {
                ++repeats_;
            }
            NoteBreak("expected index " + std::to_string(expected) + ", got " + std::to_string(index));
        }
    }
    lastIndex_ = index;
    ++patternFrames_;
    ++framesSeen_;
}

void ContinuityAnalyser::FeedBytes(const uint8_t* data, uint32_t frames, const StreamFormat& format)
{
    if (format.channels != channels_) {
        throw std::invalid_argument("the analyser was made for another channel count");
    }
    std::vector<int32_t> frame(format.channels);
    for (uint32_t i = 0; i < frames; ++i) {
        for (uint32_t channel = 0; channel < format.channels; ++channel) {
            frame[channel] = ReadSample(data + (size_t(i) * format.channels + channel) * format.subslotBytes, format);
        }
        Feed(frame.data());
    }
}

}  // namespace sim::devices::audio
