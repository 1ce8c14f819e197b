// The host's test signal: every sample names its frame. A sample holds the frame's index in its
// high significant bits and the output channel's number + 1 in the low ones, so a frame that comes
// back on the inputs says which output frame it was (the round trip), and a lost, repeated or
// reordered frame or a crossed channel shows at once. No signal sample is zero, so silence never
// passes for signal. The index wraps after Wrap() frames.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "asio/asio_interface.h"

namespace asiohost {

// Where the signal sits in the buffers of one ASIO sample type.
struct SignalLayout {
    uint32_t frameBytes = 0;        // bytes of one signal frame in one channel's buffer
    uint32_t samplesPerFrame = 1;   // ASIO samples per signal frame: 32 for one-bit DSD
    uint32_t topBit = 0;            // the bit above the sample's most significant bit
    uint32_t bits = 0;              // significant bits the signal uses, from topBit down
};

// `convertedBits` is how many bits of a sample survive the trip through the device (a 24-bit
// converter keeps 24 of an Int32 sample). False for the types the signal is not written in:
// big-endian, floating point and one byte per DSD sample.
bool SignalLayoutFor(ASIOSampleType type, uint32_t convertedBits, SignalLayout& layout);
const char* SampleTypeName(ASIOSampleType type);

class FrameCounterSignal {
public:
    FrameCounterSignal() = default;
    // `channels` output channels are told apart; Usable() is false when the layout leaves fewer
    // than 8 index bits beside the channel number.
    FrameCounterSignal(const SignalLayout& layout, uint32_t channels);

    bool Usable() const { return indexBits_ >= 8; }
    const SignalLayout& Layout() const { return layout_; }
    uint64_t Wrap() const { return uint64_t(1) << indexBits_; }

    // Frames [firstFrame, firstFrame + frames) of output `channel` into its half buffer.
    void Write(void* half, uint32_t frames, uint64_t firstFrame, uint32_t channel) const;
    // What frame `frame` of a half names: its index (modulo Wrap) and the output channel it came
    // from. False when it is no signal sample.
    bool Read(const void* half, uint32_t frame, uint64_t& index, uint32_t& channel) const;

private:
    SignalLayout layout_;
    uint32_t channelBits_ = 0;
    uint32_t indexBits_ = 0;
};

// Follows the signal on the inputs, input n hearing output n (the device in loopback). Whatever
// comes before the signal arrives is not looked at; from its first frame on, every frame of every
// checked input must continue the count.
class SignalChecker {
public:
    SignalChecker() = default;
    // `channels` are the input channels to check, in the order their halves are given.
    SignalChecker(const FrameCounterSignal& signal, std::vector<uint32_t> channels);

    // One buffer half: halves[k] is channel k's buffer.
    void Check(const void* const* halves, uint32_t frames);

    bool Arrived() const { return roundTrip_ >= 0; }
    // Frames from a frame's place in the outputs to its place in the inputs; -1 before it came.
    int64_t RoundTripFrames() const { return roundTrip_; }
    uint64_t SignalFrames() const { return signalFrames_; }
    uint64_t Breaks() const { return breaks_; }  // frames that did not continue the count
    uint64_t LostFrames() const { return lost_; }
    bool Continuous() const { return Arrived() && breaks_ == 0; }
    // The first break as a sentence ("" when there was none, or before the signal arrived).
    const std::string& FirstBreak() const { return firstBreak_; }

private:
    void CheckFrame(const void* const* halves, uint32_t frame);
    void NoteBreak(const std::string& what);

    FrameCounterSignal signal_;
    std::vector<uint32_t> channels_;
    uint64_t position_ = 0;  // input frames seen
    uint64_t expected_ = 0;  // the index the next frame must carry
    int64_t roundTrip_ = -1;
    uint64_t signalFrames_ = 0;
    uint64_t breaks_ = 0;
    uint64_t lost_ = 0;
    std::string firstBreak_;
};

}  // namespace asiohost
