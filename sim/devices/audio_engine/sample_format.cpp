#include "sim/devices/audio_engine/sample_format.h"

#include <stdexcept>

namespace sim::devices::audio {

void StreamFormat::Check() const
{
    if (channels == 0 || channels > 255) {
        throw std::invalid_argument("a stream carries 1 to 255 channels");
    }
    if (subslotBytes == 0 || subslotBytes > 4) {
        throw std::invalid_argument("a subslot is 1 to 4 bytes");
    }
    if (validBits < 8 || validBits > subslotBytes * 8) {
        throw std::invalid_argument("valid bits must fill at least a byte and fit the subslot");
    }
}

bool operator==(const StreamFormat& left, const StreamFormat& right)
{
    return left.channels == right.channels && left.subslotBytes == right.subslotBytes &&
           left.validBits == right.validBits;
}

int32_t ReadSample(const uint8_t* subslot, const StreamFormat& format)
{
    uint32_t word = 0;
    for (uint32_t i = 0; i < format.subslotBytes; ++i) {
        word |= uint32_t(subslot[i]) << (8 * i);
    }
    word <<= 32 - 8 * format.subslotBytes;
    return int32_t(word & ~((uint32_t(1) << (32 - format.validBits)) - 1));
}

void WriteSample(int32_t sample, uint8_t* subslot, const StreamFormat& format)
{
    uint32_t word = uint32_t(sample) & ~((uint32_t(1) << (32 - format.validBits)) - 1);
    word >>= 32 - 8 * format.subslotBytes;
    for (uint32_t i = 0; i < format.subslotBytes; ++i) {
        subslot[i] = uint8_t(word >> (8 * i));
    }
}

namespace {

// Bits for the numbers 1..channels.
uint32_t ChannelBits(uint32_t channels)
{
    uint32_t bits = 0;
    while (bits < 31 && (uint32_t(1) << bits) <= channels) {
        ++bits;
    }
    return bits;
}

}  // namespace

bool FrameCounterPattern::Fits(uint32_t channels, uint32_t validBits)
{
    return channels != 0 && channels <= 255 && validBits <= 32 && ChannelBits(channels) + 8 <= validBits;
}

FrameCounterPattern::FrameCounterPattern(uint32_t channels, uint32_t validBits)
    : validBits_(validBits), channelBits_(ChannelBits(channels))
{
    if (!Fits(channels, validBits)) {
        throw std::invalid_argument("the pattern needs 1 to 255 channels and 8 index bits beside the channel number");
    }
    indexBits_ = validBits - channelBits_;
}

int32_t FrameCounterPattern::Sample(uint64_t frameIndex, uint32_t channel) const
{
    const uint32_t code = (uint32_t(frameIndex % Wrap()) << channelBits_) | (channel + 1);
    return int32_t(uint32_t(uint64_t(code) << (32 - validBits_)));
}

bool FrameCounterPattern::Decode(int32_t sample, uint32_t channel, uint64_t& frameIndex) const
{
    const uint32_t word = uint32_t(sample);
    if (validBits_ < 32 && (word & ((uint32_t(1) << (32 - validBits_)) - 1)) != 0) {
        return false;
    }
    const uint32_t code = uint32_t(uint64_t(word) >> (32 - validBits_));
    if ((code & ((uint32_t(1) << channelBits_) - 1)) != channel + 1) {
        return false;
    }
    frameIndex = code >> channelBits_;
    return true;
}

}  // namespace sim::devices::audio
