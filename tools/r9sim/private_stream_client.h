// An ASIO host's use of the driver's private interface, from a simulated process, as the ASIO
// driver's streaming thread does it (r9sim asio runs it, and the kernel ASIO tests): claim the device, open and start a stream, keep two reads of
// one buffer half outstanding, and for every read that completes write one half of output. The
// output carries the frame-counter pattern; the input is checked for it (the R9 in loopback hears
// the output), and the round trip in frames is measured from it: how many frames after its write a
// frame comes back in a read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/user.h"
#include "sim/devices/audio_engine/continuity_analyser.h"
#include "sim/devices/audio_engine/sample_format.h"

namespace r9sim {

using sim::devices::audio::ContinuityAnalyser;
using sim::devices::audio::FrameCounterPattern;
using sim::devices::audio::StreamFormat;

struct StreamRequest {
    ULONG bufferFrames = 256;
    bool input = true;
    bool output = true;
    ULONG percent = 0;
    USHORT mode = 0;
};

class PrivateStreamClient {
public:
    // Opens the control path for overlapped I/O, as the ASIO driver does.
    explicit PrivateStreamClient(const std::u16string& controlPath);
    ~PrivateStreamClient();

    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    // A device control, waited for; the Win32 error (0 on success).
    DWORD Control(DWORD code, const void* input = nullptr, DWORD inputSize = 0, void* output = nullptr,
                  DWORD outputSize = 0);
    DWORD Claim();
    // Opens the stream at the device's current rate in its formats (asked for with 0x222004).
    DWORD Open(const StreamRequest& request);
    DWORD Start();
    // Stops the stream and waits for the outstanding requests, which end cancelled.
    DWORD Stop();
    DWORD CloseStream();

    // `halves` buffer switches: each waits for the oldest read, checks it and writes the next half
    // of output. Output-only streams write with two writes outstanding. False on any failed or
    // short request, or when a request does not complete within a second (Error() says which).
    // The two requests stay outstanding between calls; Stop ends them.
    bool Stream(uint64_t halves);
    const std::string& Error() const { return error_; }

    const ContinuityAnalyser& Input() const { return *input_; }
    // Frames from a frame's write to its return in a read; -1 until a pattern frame came back.
    int64_t RoundTripFrames() const { return roundTrip_; }
    uint64_t HalvesDone() const { return halves_; }
    const StreamFormat& OutputFormat() const { return outputFormat_; }
    const StreamFormat& InputFormat() const { return inputFormat_; }
    HANDLE Handle() const { return handle_; }
    // Output as the stream writes it: the pattern from frame 0, or a constant 32-bit word.
    void WriteConstant(uint32_t word) { constant_ = word; useConstant_ = true; }

private:
    bool StreamDuplex(uint64_t halves);
    bool StreamOutputOnly(uint64_t halves);
    bool Issue(int slot);
    void FillOutput(std::vector<UCHAR>& half);
    void CheckInput(const std::vector<UCHAR>& half);
    bool Wait(OVERLAPPED& overlapped, DWORD expected);
    void Fail(const char* what, DWORD bytes, DWORD expected);

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    StreamRequest request_;
    StreamFormat inputFormat_;
    StreamFormat outputFormat_;
    std::unique_ptr<FrameCounterPattern> pattern_;
    std::unique_ptr<ContinuityAnalyser> input_;
    uint64_t written_ = 0;        // output frames written
    uint64_t read_ = 0;           // input frames read
    int64_t roundTrip_ = -1;
    uint64_t halves_ = 0;
    bool useConstant_ = false;
    uint32_t constant_ = 0;
    // The two requests kept outstanding: reads, or writes of an output-only stream.
    std::vector<UCHAR> buffers_[2];
    OVERLAPPED slots_[2] = {};
    bool outstanding_[2] = {};
    std::vector<UCHAR> output_;
    OVERLAPPED write_ = {};
    std::string error_;
};

}  // namespace r9sim
