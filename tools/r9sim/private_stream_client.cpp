#include "tools/r9sim/private_stream_client.h"

#include <algorithm>
#include <cstring>
#include <sstream>

namespace r9sim {

using sim::devices::audio::ReadSample;
using sim::devices::audio::WriteSample;

namespace {

constexpr DWORD kRateFormats = 0x222004;
constexpr DWORD kRate = 0x222008;
constexpr DWORD kClaim = 0x222018;
constexpr DWORD kOpenStream = 0x22201C;
constexpr DWORD kStartStream = 0x222020;
constexpr DWORD kStopStream = 0x222024;
constexpr DWORD kCloseStream = 0x222028;
constexpr DWORD kRequestTimeoutMs = 1000;
constexpr USHORT kDsdNativeMode = 1;
constexpr uint32_t kDsdIdleWord = 0x96969696;

// DSD's silence is its idle pattern, not zero, in as many bits as the format carries.
bool IsDsdIdle(const std::vector<int32_t>& frame, const StreamFormat& format)
{
    const uint32_t mask = ~0u << (32 - format.validBits);
    return std::all_of(frame.begin(), frame.end(),
                       [mask](int32_t sample) { return (uint32_t(sample) & mask) == (kDsdIdleWord & mask); });
}

// The R9's endpoints resolve 24 bits of each 32-bit subslot, of DSD words as of PCM samples, so the
// signal lives in those bits to survive the loopback.
StreamFormat FormatOf(DWORD channels, DWORD bits)
{
    const uint32_t validBits = bits == 32 ? 24 : bits;
    return StreamFormat{channels, bits / 8, validBits};
}

}  // namespace

PrivateStreamClient::PrivateStreamClient(const std::u16string& controlPath)
{
    handle_ = CreateFileW(reinterpret_cast<LPCWSTR>(controlPath.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

DWORD PrivateStreamClient::Control(DWORD code, const void* input, DWORD inputSize, void* output, DWORD outputSize)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = 0;
    DWORD error = 0;
    if (!DeviceIoControl(handle_, code, const_cast<void*>(input), inputSize, output, outputSize, &bytes,
                         &overlapped)) {
        error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            error = GetOverlappedResult(handle_, &overlapped, &bytes, TRUE) ? 0 : GetLastError();
        }
    }
    CloseHandle(overlapped.hEvent);
    return error;
}

DWORD PrivateStreamClient::Claim() { return Control(kClaim); }

DWORD PrivateStreamClient::Open(const StreamRequest& request)
{
    request_ = request;
    DWORD rate = 0;
    DWORD error = Control(kRate, nullptr, 0, &rate, sizeof rate);
    DWORD formats[5] = {rate};
    if (error == 0) {
        error = Control(kRateFormats, formats, sizeof formats, formats, sizeof formats);
    }
    if (error != 0) {
        return error;
    }
    outputFormat_ = FormatOf(formats[1], formats[2]);
    inputFormat_ = FormatOf(formats[3], formats[4]);
    pattern_ = std::make_unique<FrameCounterPattern>(outputFormat_.channels, outputFormat_.validBits);
    input_ = std::make_unique<ContinuityAnalyser>(inputFormat_.channels, inputFormat_.validBits);
    UCHAR record[18] = {};
    const DWORD fields[4] = {request.bufferFrames, request.input ? 1u : 0u, request.output ? 1u : 0u, request.percent};
    std::memcpy(record, fields, sizeof fields);
    std::memcpy(record + sizeof fields, &request.mode, sizeof request.mode);
    return Control(kOpenStream, record, sizeof record);
}

DWORD PrivateStreamClient::Start() { return Control(kStartStream); }
DWORD PrivateStreamClient::CloseStream() { return Control(kCloseStream); }

void PrivateStreamClient::Fail(const char* what, DWORD bytes, DWORD expected)
{
    if (!error_.empty()) {
        return;
    }
    std::ostringstream text;
    text << what << " (error " << GetLastError() << ", " << bytes << " of " << expected << " bytes) after " << halves_
         << " buffer halves";
    error_ = text.str();
}

bool PrivateStreamClient::Wait(OVERLAPPED& overlapped, DWORD expected)
{
    if (WaitForSingleObject(overlapped.hEvent, kRequestTimeoutMs) != WAIT_OBJECT_0) {
        Fail("a request did not complete within a second", 0, expected);
        return false;
    }
    DWORD bytes = 0;
    if (!GetOverlappedResult(handle_, &overlapped, &bytes, FALSE) || bytes != expected) {
        Fail("a request failed or came back short", bytes, expected);
        return false;
    }
    return true;
}

void PrivateStreamClient::FillOutput(std::vector<UCHAR>& half)
{
    const uint32_t frameBytes = outputFormat_.FrameBytes();
    for (size_t offset = 0; offset + frameBytes <= half.size(); offset += frameBytes, ++written_) {
        for (uint32_t channel = 0; channel < outputFormat_.channels; ++channel) {
            UCHAR* subslot = half.data() + offset + channel * outputFormat_.subslotBytes;
            if (useConstant_) {
                std::memcpy(subslot, &constant_, outputFormat_.subslotBytes);
            } else {
                WriteSample(pattern_->Sample(written_, channel), subslot, outputFormat_);
            }
        }
    }
}

// The first pattern frame names the output frame it was; its place in the input is its return.
void PrivateStreamClient::CheckInput(const std::vector<UCHAR>& half)
{
    const uint32_t frameBytes = inputFormat_.FrameBytes();
    std::vector<int32_t> frame(inputFormat_.channels);
    for (size_t offset = 0; offset + frameBytes <= half.size(); offset += frameBytes, ++read_) {
        for (uint32_t channel = 0; channel < inputFormat_.channels; ++channel) {
            frame[channel] = ReadSample(half.data() + offset + channel * inputFormat_.subslotBytes, inputFormat_);
        }
        const uint64_t before = input_->PatternFrames();
        if (before == 0 && request_.mode == kDsdNativeMode && IsDsdIdle(frame, inputFormat_)) {
            continue;  // the loopback hears the output's silence before its signal
        }
        input_->Feed(frame.data());
        if (before == 0 && input_->PatternFrames() == 1) {
            roundTrip_ = int64_t(read_) - int64_t(input_->FirstIndex());
        }
    }
}

bool PrivateStreamClient::Stream(uint64_t halves)
{
    return request_.input ? StreamDuplex(halves) : StreamOutputOnly(halves);
}

// A read of one input half, or a write of one output half on an output-only stream.
bool PrivateStreamClient::Issue(int slot)
{
    OVERLAPPED& overlapped = slots_[slot];
    if (overlapped.hEvent == nullptr) {
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ResetEvent(overlapped.hEvent);
    std::vector<UCHAR>& buffer = buffers_[slot];
    BOOL done;
    if (request_.input) {
        buffer.resize(size_t(request_.bufferFrames) * inputFormat_.FrameBytes());
        done = ReadFile(handle_, buffer.data(), DWORD(buffer.size()), nullptr, &overlapped);
    } else {
        buffer.resize(size_t(request_.bufferFrames) * outputFormat_.FrameBytes());
        FillOutput(buffer);
        done = WriteFile(handle_, buffer.data(), DWORD(buffer.size()), nullptr, &overlapped);
    }
    outstanding_[slot] = done || GetLastError() == ERROR_IO_PENDING;
    if (!outstanding_[slot]) {
        Fail("a request was refused", 0, 0);
    }
    return outstanding_[slot];
}

bool PrivateStreamClient::StreamDuplex(uint64_t halves)
{
    const DWORD inBytes = request_.bufferFrames * inputFormat_.FrameBytes();
    output_.resize(size_t(request_.bufferFrames) * outputFormat_.FrameBytes());
    if (write_.hEvent == nullptr) {
        write_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    bool ok = true;
    for (int slot = 0; slot < 2 && ok; ++slot) {
        ok = outstanding_[slot] || Issue(slot);
    }
    for (uint64_t done = 0; ok && done < halves; ++done) {
        const int slot = int(halves_ % 2);
        ok = Wait(slots_[slot], inBytes);
        outstanding_[slot] = false;
        if (!ok) {
            break;
        }
        CheckInput(buffers_[slot]);
        if (request_.output) {
            FillOutput(output_);
            ResetEvent(write_.hEvent);
            const BOOL written = WriteFile(handle_, output_.data(), DWORD(output_.size()), nullptr, &write_);
            ok = (written || GetLastError() == ERROR_IO_PENDING) && Wait(write_, DWORD(output_.size()));
        }
        ++halves_;
        ok = ok && Issue(slot);
    }
    return ok;
}

bool PrivateStreamClient::StreamOutputOnly(uint64_t halves)
{
    const DWORD outBytes = request_.bufferFrames * outputFormat_.FrameBytes();
    bool ok = true;
    for (int slot = 0; slot < 2 && ok; ++slot) {
        ok = outstanding_[slot] || Issue(slot);
    }
    for (uint64_t done = 0; ok && done < halves; ++done) {
        const int slot = int(halves_ % 2);
        ok = Wait(slots_[slot], outBytes);
        outstanding_[slot] = false;
        ++halves_;
        ok = ok && Issue(slot);
    }
    return ok;
}

DWORD PrivateStreamClient::Stop()
{
    const DWORD error = Control(kStopStream);
    for (int slot = 0; slot < 2; ++slot) {
        if (outstanding_[slot]) {
            DWORD bytes = 0;
            GetOverlappedResult(handle_, &slots_[slot], &bytes, TRUE);
            outstanding_[slot] = false;
        }
    }
    return error;
}

PrivateStreamClient::~PrivateStreamClient()
{
    if (handle_ != INVALID_HANDLE_VALUE) {
        CloseHandle(handle_);
    }
    for (OVERLAPPED& overlapped : slots_) {
        if (overlapped.hEvent != nullptr) {
            CloseHandle(overlapped.hEvent);
        }
    }
    if (write_.hEvent != nullptr) {
        CloseHandle(write_.hEvent);
    }
}
}  // namespace r9sim
