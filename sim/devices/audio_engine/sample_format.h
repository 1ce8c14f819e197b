// How one direction's audio sits in isochronous packets, and the test pattern that names frames.
//
// A packet holds whole interleaved frames; a frame holds one subslot per channel; a subslot is
// 1 to 4 little-endian bytes whose top `validBits` carry the sample (24-bit audio in a 4-byte
// subslot leaves the low byte zero). Inside the device every sample is a 32-bit left-justified
// word, the way a converter's serial port sees it whatever the USB width.
#pragma once

#include <cstdint>

namespace sim::devices::audio {

struct StreamFormat {
    uint32_t channels = 0;
    uint32_t subslotBytes = 0;
    uint32_t validBits = 0;

    uint32_t FrameBytes() const { return channels * subslotBytes; }
    // Throws std::invalid_argument for a format no alternate setting can describe.
    void Check() const;
};

bool operator==(const StreamFormat& left, const StreamFormat& right);
inline bool operator!=(const StreamFormat& left, const StreamFormat& right) { return !(left == right); }

// One subslot to and from the device's 32-bit word; writing keeps only the valid bits.
int32_t ReadSample(const uint8_t* subslot, const StreamFormat& format);
void WriteSample(int32_t sample, uint8_t* subslot, const StreamFormat& format);

// A test signal that names every frame: each sample holds the frame's index in its high valid
// bits and channel + 1 in its low valid bits. A lost, repeated or reordered frame, or a swapped
// channel, shows at once, and no pattern sample is zero, so silence never passes for pattern.
// The index wraps after Wrap() frames (8192 for four 16-bit channels).
class FrameCounterPattern {
public:
    FrameCounterPattern(uint32_t channels, uint32_t validBits);
    // Whether the sample width leaves at least 8 index bits beside the channel number.
    static bool Fits(uint32_t channels, uint32_t validBits);

    int32_t Sample(uint64_t frameIndex, uint32_t channel) const;
    // The frame index (modulo Wrap) a sample names for `channel`; false when the sample is not
    // this pattern's sample for that channel.
    bool Decode(int32_t sample, uint32_t channel, uint64_t& frameIndex) const;
    uint64_t Wrap() const { return uint64_t(1) << indexBits_; }

private:
    uint32_t validBits_;
    uint32_t channelBits_;
    uint32_t indexBits_;
};

}  // namespace sim::devices::audio
