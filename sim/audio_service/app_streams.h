// An application's shared-mode streams on an endpoint, as the audio service sees them: interleaved
// float frames at the application's own rate and channel count (mono or as many channels as the
// endpoint). A render stream's frames wait in its buffer until the service mixes them; a capture
// stream's wait until the application reads them. The service signals the stream's event each
// period it served the stream, which an application waits on before it writes or reads again.
//
// Glitches are periods in which a started render stream did not have the frames the service
// needed (data not there in time); the service played silence for the rest. A capture stream
// whose buffer is full loses what does not fit (an overflow). A stream whose endpoint went (the
// device was removed) is invalidated: it takes no more data and the service forgets it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/api/kernel.h"
#include "sim/audio_service/resampler.h"

namespace sim::audio {

struct AppFormat {
    uint32_t rate = 0;
    uint32_t channels = 0;
};

struct StreamCounters {
    uint64_t framesQueued = 0;  // render: written by the application; capture: handed to it
    uint64_t deviceFrames = 0;  // frames at the endpoint's rate the service mixed or delivered
    uint64_t glitches = 0;      // render periods short of data
    uint64_t overflows = 0;     // capture frames lost to a full buffer
    bool invalidated = false;
};

class AppStream {
public:
    AppStream(AppFormat format, size_t bufferFrames);
    virtual ~AppStream() = default;
    AppStream(const AppStream&) = delete;
    AppStream& operator=(const AppStream&) = delete;

    const AppFormat& Format() const { return format_; }
    void Start();
    void Stop();
    bool Started() const;
    bool Invalidated() const;
    StreamCounters Counters() const;
    // Signalled each period the service served the stream, and when it was invalidated.
    KEVENT* Event() { return &event_; }

    // The service's side.
    void Invalidate();
    void Served() { KeSetEvent(&event_, IO_NO_INCREMENT, FALSE); }

protected:
    mutable std::mutex lock_;
    const AppFormat format_;
    const size_t capacity_;
    std::vector<float> frames_;  // interleaved; the oldest first
    bool started_ = false;
    StreamCounters counters_;
    std::unique_ptr<Resampler> resampler_;
    uint32_t resamplerRate_ = 0;  // the endpoint rate the resampler converts to or from
    KEVENT event_;
};

class RenderStream final : public AppStream {
public:
    using AppStream::AppStream;

    // Takes as many frames as the buffer has room for; returns how many.
    size_t Write(const float* frames, size_t count);
    size_t Room() const;
    // The application has written its last frame: running out is no glitch from now on.
    void EndOfStream();
    // Everything written has gone to the device.
    bool Drained() const;

    // Adds `frames` frames at `deviceRate` with `deviceChannels` into `mix`.
    void MixInto(float* mix, size_t frames, uint32_t deviceRate, uint32_t deviceChannels);

private:
    bool endOfStream_ = false;
    bool converterDrained_ = false;
};

class CaptureStream final : public AppStream {
public:
    using AppStream::AppStream;

    // Takes up to `count` frames out of the buffer; returns how many.
    size_t Read(float* frames, size_t count);
    size_t Available() const;

    // Hands over `frames` frames recorded at `deviceRate` with `deviceChannels`.
    void Deliver(const float* device, size_t frames, uint32_t deviceRate, uint32_t deviceChannels);
};

}  // namespace sim::audio
