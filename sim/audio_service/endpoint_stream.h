// One endpoint's stream to its device, as the audio service runs it while applications use the
// endpoint: the filter and a pin in the endpoint's saved device format, taken to pause, primed,
// and run; then, every 10 ms period, render mixes the applications' streams into packets of one
// period each, enough to keep three periods written ahead of the pin's play position, and capture
// keeps four read packets queued and hands each one that comes back to the applications' streams.
//
// Glitches, data not there in time at the device: render counts the periods at which the pin had
// played everything written to it; capture counts the periods at which all its read packets had
// come back, so the port had nowhere to put what the device recorded.
//
// Runs on the audio service's thread only; packet completions only mark their packet.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "sim/audio_service/app_streams.h"
#include "sim/audio_service/ks_client.h"
#include "sim/audio_service/sample_conversion.h"

namespace sim::audio {

enum class Flow { Render, Capture };

struct EndpointCounters {
    uint64_t periods = 0;
    uint64_t packets = 0;      // packets that came back with their data moved
    uint64_t deviceFrames = 0; // frames written to or read from the pin
    uint64_t glitches = 0;
};

class EndpointStream {
public:
    EndpointStream(Flow flow, PDEVICE_OBJECT pdo, std::u16string filterName, const WAVEFORMATEXTENSIBLE& format);
    ~EndpointStream();
    EndpointStream(const EndpointStream&) = delete;
    EndpointStream& operator=(const EndpointStream&) = delete;

    // The filter and the pin, primed and running.
    NTSTATUS Open();
    // Pin and filter closed; what is in flight is cancelled.
    void Close();
    bool IsOpen() const { return pin_.IsOpen(); }

    // One period with the applications' streams of this endpoint.
    void RenderPeriod(const std::vector<std::shared_ptr<RenderStream>>& streams);
    void CapturePeriod(const std::vector<std::shared_ptr<CaptureStream>>& streams);

    const WAVEFORMATEXTENSIBLE& Format() const { return format_; }
    const std::u16string& FilterName() const { return filterName_; }
    PFILE_OBJECT PinFile() const { return pin_.File(); }
    EndpointCounters Counters() const;

private:
    enum PacketState { kFree, kInFlight, kDone };
    struct Packet {
        KSSTREAM_HEADER header;
        std::vector<uint8_t> data;
        std::atomic<int> state{kFree};
    };

    NTSTATUS FindPin(ULONG& pinId);
    bool Send(Packet& packet);
    Packet* FreePacket();
    void MixPacket(Packet& packet, const std::vector<std::shared_ptr<RenderStream>>& streams);
    void WaitForPackets();

    const Flow flow_;
    PDEVICE_OBJECT pdo_;
    const std::u16string filterName_;
    const WAVEFORMATEXTENSIBLE format_;
    DeviceSampleFormat layout_;
    uint32_t periodFrames_;
    KsHandle filter_;
    KsHandle pin_;
    std::vector<std::unique_ptr<Packet>> packets_;
    size_t nextCapture_ = 0;  // the read packet that comes back next
    bool written_ = false;    // render: a packet has gone to the pin since it ran
    EndpointCounters counters_;
    std::atomic<uint64_t> packetsBack_{0};  // counted by the completions
};

}  // namespace sim::audio
