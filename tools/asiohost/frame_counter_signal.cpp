#include "tools/asiohost/frame_counter_signal.h"

#include <algorithm>

namespace asiohost {

namespace {

struct TypeFacts {
    ASIOSampleType type;
    const char* name;
    uint32_t frameBytes;  // 0: the signal is not written in this type
    uint32_t samplesPerFrame;
    uint32_t topBit;
};

// The little-endian integer types, right-justified where the name says so (Int32LSB20 keeps its
// 20 bits at the bottom of the word); one-bit DSD as the 32-bit words that carry 32 samples.
const TypeFacts kTypes[] = {
    {ASIOSTInt16MSB, "Int16MSB", 0, 1, 0},      {ASIOSTInt24MSB, "Int24MSB", 0, 1, 0},
    {ASIOSTInt32MSB, "Int32MSB", 0, 1, 0},      {ASIOSTFloat32MSB, "Float32MSB", 0, 1, 0},
    {ASIOSTFloat64MSB, "Float64MSB", 0, 1, 0},  {ASIOSTInt32MSB16, "Int32MSB16", 0, 1, 0},
    {ASIOSTInt32MSB18, "Int32MSB18", 0, 1, 0},  {ASIOSTInt32MSB20, "Int32MSB20", 0, 1, 0},
    {ASIOSTInt32MSB24, "Int32MSB24", 0, 1, 0},  {ASIOSTInt16LSB, "Int16LSB", 2, 1, 16},
    {ASIOSTInt24LSB, "Int24LSB", 3, 1, 24},     {ASIOSTInt32LSB, "Int32LSB", 4, 1, 32},
    {ASIOSTFloat32LSB, "Float32LSB", 0, 1, 0},  {ASIOSTFloat64LSB, "Float64LSB", 0, 1, 0},
    {ASIOSTInt32LSB16, "Int32LSB16", 4, 1, 16}, {ASIOSTInt32LSB18, "Int32LSB18", 4, 1, 18},
    {ASIOSTInt32LSB20, "Int32LSB20", 4, 1, 20}, {ASIOSTInt32LSB24, "Int32LSB24", 4, 1, 24},
    {ASIOSTDSDInt8LSB1, "DSDInt8LSB1", 4, 32, 32}, {ASIOSTDSDInt8MSB1, "DSDInt8MSB1", 4, 32, 32},
    {ASIOSTDSDInt8NER8, "DSDInt8NER8", 0, 1, 0},
};

const TypeFacts* FactsOf(ASIOSampleType type)
{
    for (const TypeFacts& facts : kTypes) {
        if (facts.type == type) {
            return &facts;
        }
    }
    return nullptr;
}

uint32_t BitsFor(uint32_t values)
{
    uint32_t bits = 0;
    while ((uint64_t(1) << bits) < values) {
        ++bits;
    }
    return bits;
}

}  // namespace

const char* SampleTypeName(ASIOSampleType type)
{
    const TypeFacts* facts = FactsOf(type);
    return facts != nullptr ? facts->name : "unknown";
}

bool SignalLayoutFor(ASIOSampleType type, uint32_t convertedBits, SignalLayout& layout)
{
    const TypeFacts* facts = FactsOf(type);
    if (facts == nullptr || facts->frameBytes == 0 || convertedBits == 0) {
        return false;
    }
    layout.frameBytes = facts->frameBytes;
    layout.samplesPerFrame = facts->samplesPerFrame;
    layout.topBit = facts->topBit;
    layout.bits = std::min(facts->topBit, convertedBits);
    return true;
}

FrameCounterSignal::FrameCounterSignal(const SignalLayout& layout, uint32_t channels)
    : layout_(layout), channelBits_(BitsFor(channels + 1))
{
    indexBits_ = layout.bits > channelBits_ ? layout.bits - channelBits_ : 0;
}

void FrameCounterSignal::Write(void* half, uint32_t frames, uint64_t firstFrame, uint32_t channel) const
{
    auto* bytes = static_cast<uint8_t*>(half);
    const uint32_t shift = layout_.topBit - layout_.bits;
    for (uint32_t frame = 0; frame < frames; ++frame) {
        const uint64_t code = ((firstFrame + frame) % Wrap()) << channelBits_ | (channel + 1);
        const uint64_t word = code << shift;
        for (uint32_t b = 0; b < layout_.frameBytes; ++b) {
            bytes[size_t(frame) * layout_.frameBytes + b] = uint8_t(word >> (8 * b));
        }
    }
}

bool FrameCounterSignal::Read(const void* half, uint32_t frame, uint64_t& index, uint32_t& channel) const
{
    const auto* bytes = static_cast<const uint8_t*>(half) + size_t(frame) * layout_.frameBytes;
    uint64_t word = 0;
    for (uint32_t b = 0; b < layout_.frameBytes; ++b) {
        word |= uint64_t(bytes[b]) << (8 * b);
    }
    const uint32_t shift = layout_.topBit - layout_.bits;
    // Bits below the signal and above the sample must be clear: anything else is not the signal.
    const uint64_t signalMask = ((uint64_t(1) << layout_.bits) - 1) << shift;
    if ((word & ~signalMask) != 0) {
        return false;
    }
    const uint64_t code = word >> shift;
    const uint64_t tag = code & ((uint64_t(1) << channelBits_) - 1);
    if (tag == 0) {
        return false;
    }
    channel = uint32_t(tag - 1);
    index = code >> channelBits_;
    return true;
}

SignalChecker::SignalChecker(const FrameCounterSignal& signal, std::vector<uint32_t> channels)
    : signal_(signal), channels_(std::move(channels))
{
}

void SignalChecker::NoteBreak(const std::string& what)
{
    ++breaks_;
    if (firstBreak_.empty()) {
        firstBreak_ = "input frame " + std::to_string(position_) + ": " + what;
    }
}

void SignalChecker::Check(const void* const* halves, uint32_t frames)
{
    if (channels_.empty() || !signal_.Usable()) {
        position_ += frames;
        return;
    }
    for (uint32_t frame = 0; frame < frames; ++frame, ++position_) {
        CheckFrame(halves, frame);
    }
}

void SignalChecker::CheckFrame(const void* const* halves, uint32_t frame)
{
    const uint64_t wrap = signal_.Wrap();
    if (!Arrived()) {
        for (size_t k = 0; k < channels_.size(); ++k) {
            uint64_t index = 0;
            uint32_t channel = 0;
            if (signal_.Read(halves[k], frame, index, channel) && channel == channels_[k]) {
                roundTrip_ = int64_t((position_ % wrap + wrap - index) % wrap);
                expected_ = index;
                break;
            }
        }
        if (!Arrived()) {
            return;
        }
    }
    bool continued = true;
    uint64_t heard = expected_;
    for (size_t k = 0; k < channels_.size() && continued; ++k) {
        uint64_t index = 0;
        uint32_t channel = 0;
        const std::string input = "input " + std::to_string(channels_[k]);
        if (!signal_.Read(halves[k], frame, index, channel)) {
            NoteBreak(input + " lost the signal");
            continued = false;
        } else if (channel != channels_[k]) {
            NoteBreak(input + " hears output " + std::to_string(channel));
            continued = false;
        } else if (index != expected_) {
            const uint64_t ahead = (index + wrap - expected_) % wrap;
            // Less than half the wrap ahead reads as frames lost; more as the count going back.
            if (ahead < wrap / 2) {
                lost_ += ahead;
            }
            NoteBreak(input + " expected frame " + std::to_string(expected_) + ", got " + std::to_string(index));
            heard = index;
            continued = false;
        }
    }
    if (continued) {
        ++signalFrames_;
    }
    expected_ = (heard + 1) % wrap;
}

}  // namespace asiohost
