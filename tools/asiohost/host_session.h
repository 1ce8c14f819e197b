// A host's whole life with one driver: create it, init, pick the format, rate and buffer size,
// createBuffers, start, stream, and stop, dispose and release it at the end. A reset request from
// the driver is acted on here, on the host's own thread and never inside the callback that brought
// it: stop, disposeBuffers, Release, then a new driver object through COM, init, createBuffers and
// start, as real hosts do.
#pragma once

#include <cstdint>
#include <string>

#include "tools/asiohost/driver_instance.h"
#include "tools/asiohost/host_engine.h"

namespace asiohost {

struct StreamOptions {
    double rate = 0;         // 0: the rate the driver runs at
    LONG bufferSize = 0;     // as createBuffers takes it (one-bit samples for DSD); 0: preferred
    LONG inputs = -1;        // channels created from channel 0 on; -1: every channel
    LONG outputs = -1;
    bool dsd = false;        // native DSD (kAsioSetIoFormat)
    uint64_t switches = 0;   // stream until this many buffer switches have happened...
    DWORD milliseconds = 0;  // ...or, when switches is 0, for this long
    bool callOutputReady = false;
    uint32_t convertedBits = 24;  // bits of a sample that survive the device (its converters)
    int maxResets = 4;       // re-creations before the host gives up
};

// Where a stream that failed stopped.
enum class StreamStep { None, Create, Init, Format, Rate, Buffers, Start, Streaming };

struct StreamReport {
    std::string failure;  // empty when the stream ran as asked
    StreamStep failedAt = StreamStep::None;
    double rate = 0;
    LONG bufferSize = 0;
    LONG inputs = 0;      // channels created
    LONG outputs = 0;
    ASIOSampleType sampleType = -1;
    bool signal = false;  // the sample type carried the signal
    ASIOError latencies = ASE_NotPresent;  // getLatencies after createBuffers
    LONG inputLatency = 0;
    LONG outputLatency = 0;
    uint64_t switches = 0;
    int resetRequests = 0;
    int recreations = 0;
    int64_t roundTrip = -1;      // frames, measured from the signal (signal frames for DSD)
    uint64_t signalFrames = 0;   // frames that continued the count, in every stream
    uint64_t breaks = 0;         // frames that broke it
    std::string firstBreak;
    bool Continuous() const { return roundTrip >= 0 && breaks == 0; }
};

class HostSession {
public:
    // `engine` answers the driver's callbacks; it must be the process's active host.
    HostSession(const CLSID& clsid, HostEngine& engine) : clsid_(clsid), engine_(engine) {}
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    // Streams as the options say; false, with report.failure saying why, when it could not.
    bool Stream(const StreamOptions& options, StreamReport& report);

    // The thread that last re-created the driver (0: none did).
    DWORD RecreatingThread() const { return recreatingThread_; }

private:
    bool Open(const StreamOptions& options, bool applyRate, StreamReport& report);
    bool Run(const StreamOptions& options, StreamReport& report);
    bool Recreate(const StreamOptions& options, StreamReport& report);
    void Close(StreamReport& report);
    void CollectSignal(StreamReport& report);
    static bool Fail(StreamReport& report, StreamStep step, const std::string& failure);

    CLSID clsid_;
    HostEngine& engine_;
    DriverInstance driver_;
    bool prepared_ = false;
    DWORD recreatingThread_ = 0;
};

}  // namespace asiohost
