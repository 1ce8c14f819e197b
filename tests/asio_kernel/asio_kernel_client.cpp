#include "tests/asio_kernel/asio_kernel_client.h"

#include <gtest/gtest.h>

#include <cstring>

namespace asiokerneltest {

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

StreamFormat FormatOf(DWORD channels, DWORD bits, bool dsd)
{
    // 24-bit samples travel in 32-bit containers; native DSD fills whole words.
    const uint32_t validBits = bits == 32 && !dsd ? 24 : bits;
    return StreamFormat{channels, bits / 8, validBits};
}

}  // namespace

AsioKernelClient::AsioKernelClient(const std::u16string& controlPath)
{
    handle_ = CreateFileW(reinterpret_cast<LPCWSTR>(controlPath.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

DWORD AsioKernelClient::Control(DWORD code, const void* input, DWORD inputSize, void* output, DWORD outputSize)
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

DWORD AsioKernelClient::Claim() { return Control(kClaim); }

DWORD AsioKernelClient::Open(const StreamRequest& request)
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
    const bool dsd = request.mode == 1;
    outputFormat_ = FormatOf(formats[1], formats[2], dsd);
    inputFormat_ = FormatOf(formats[3], formats[4], dsd);
    pattern_ = std::make_unique<FrameCounterPattern>(outputFormat_.channels, outputFormat_.validBits);
    input_ = std::make_unique<ContinuityAnalyser>(inputFormat_.channels, inputFormat_.validBits);
    UCHAR record[18] = {};
    const DWORD fields[4] = {request.bufferFrames, request.input ? 1u : 0u, request.output ? 1u : 0u, request.percent};
    std::memcpy(record, fields, sizeof fields);
    std::memcpy(record + sizeof fields, &request.mode, sizeof request.mode);
    return Control(kOpenStream, record, sizeof record);
}

DWORD AsioKernelClient::Start() { return Control(kStartStream); }
DWORD AsioKernelClient::CloseStream() { return Control(kCloseStream); }

bool AsioKernelClient::Wait(OVERLAPPED& overlapped, DWORD expected)
{
    if (WaitForSingleObject(overlapped.hEvent, kRequestTimeoutMs) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "a request did not complete within a second, after " << halves_ << " halves";
        return false;
    }
    DWORD bytes = 0;
    if (!GetOverlappedResult(handle_, &overlapped, &bytes, FALSE) || bytes != expected) {
        ADD_FAILURE() << "a request ended with error " << GetLastError() << " and " << bytes << " of " << expected
                      << " bytes, after " << halves_ << " halves";
        return false;
    }
    return true;
}

void AsioKernelClient::FillOutput(std::vector<UCHAR>& half)
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
void AsioKernelClient::CheckInput(const std::vector<UCHAR>& half)
{
    const uint32_t frameBytes = inputFormat_.FrameBytes();
    std::vector<int32_t> frame(inputFormat_.channels);
    for (size_t offset = 0; offset + frameBytes <= half.size(); offset += frameBytes, ++read_) {
        for (uint32_t channel = 0; channel < inputFormat_.channels; ++channel) {
            frame[channel] = ReadSample(half.data() + offset + channel * inputFormat_.subslotBytes, inputFormat_);
        }
        const uint64_t before = input_->PatternFrames();
        input_->Feed(frame.data());
        if (before == 0 && input_->PatternFrames() == 1) {
            roundTrip_ = int64_t(read_) - int64_t(input_->FirstIndex());
        }
    }
}

bool AsioKernelClient::Stream(uint64_t halves)
{
    return request_.input ? StreamDuplex(halves) : StreamOutputOnly(halves);
}

// A read of one input half, or a write of one output half on an output-only stream.
bool AsioKernelClient::Issue(int slot)
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
        ADD_FAILURE() << "a request was refused with error " << GetLastError();
    }
    return outstanding_[slot];
}

bool AsioKernelClient::StreamDuplex(uint64_t halves)
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

bool AsioKernelClient::StreamOutputOnly(uint64_t halves)
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

DWORD AsioKernelClient::Stop()
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

AsioKernelClient::~AsioKernelClient()
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
}  // namespace asiokerneltest
