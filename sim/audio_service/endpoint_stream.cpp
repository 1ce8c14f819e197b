#include "sim/audio_service/endpoint_stream.h"

#include <algorithm>
#include <cstring>

namespace sim::audio {

namespace {

constexpr uint32_t kPeriodsPerSecond = 100;  // 10 ms
constexpr uint64_t kRenderLeadPeriods = 3;
constexpr size_t kRenderPackets = 6;
static_assert(kRenderLeadPeriods < kRenderPackets, "priming leaves packets for the periods");
constexpr size_t kCapturePackets = 4;

bool IsStreamingPin(Flow flow, KSPIN_DATAFLOW dataFlow, KSPIN_COMMUNICATION communication)
{
    const bool sink = communication == KSPIN_COMMUNICATION_SINK || communication == KSPIN_COMMUNICATION_BOTH;
    return sink && dataFlow == (flow == Flow::Render ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT);
}

}  // namespace

EndpointStream::EndpointStream(Flow flow, PDEVICE_OBJECT pdo, std::u16string filterName,
                               const WAVEFORMATEXTENSIBLE& format)
    : flow_(flow), pdo_(pdo), filterName_(std::move(filterName)), format_(format),
      periodFrames_(format.Format.nSamplesPerSec / kPeriodsPerSecond)
{
    if (!DescribeFormat(format_, layout_)) {
        layout_ = DeviceSampleFormat{};
    }
    const size_t count = flow_ == Flow::Render ? kRenderPackets : kCapturePackets;
    for (size_t i = 0; i < count; ++i) {
        packets_.push_back(std::make_unique<Packet>());
        packets_.back()->data.resize(size_t(periodFrames_) * layout_.FrameBytes());
    }
}

EndpointStream::~EndpointStream() { Close(); }

// The pin factory the endpoint streams through: data flowing in for render, out for capture.
NTSTATUS EndpointStream::FindPin(ULONG& pinId)
{
    ULONG count = 0;
    NTSTATUS status = filter_.Property(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET, nullptr, 0,
                                       &count, sizeof count);
    for (ULONG pin = 0; NT_SUCCESS(status) && pin < count; ++pin) {
        KSPIN_DATAFLOW dataFlow = KSPIN_DATAFLOW_IN;
        KSPIN_COMMUNICATION communication = KSPIN_COMMUNICATION_NONE;
        status = filter_.Property(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, KSPROPERTY_TYPE_GET, &pin, sizeof pin,
                                  &dataFlow, sizeof dataFlow);
        if (NT_SUCCESS(status)) {
            status = filter_.Property(KSPROPSETID_Pin, KSPROPERTY_PIN_COMMUNICATION, KSPROPERTY_TYPE_GET, &pin,
                                      sizeof pin, &communication, sizeof communication);
        }
        if (NT_SUCCESS(status) && IsStreamingPin(flow_, dataFlow, communication)) {
            pinId = pin;
            return STATUS_SUCCESS;
        }
    }
    return NT_SUCCESS(status) ? STATUS_NOT_FOUND : status;
}

NTSTATUS EndpointStream::Open()
{
    if (layout_.channels == 0 || periodFrames_ == 0) {
        return STATUS_NOT_SUPPORTED;
    }
    NTSTATUS status = filter_.OpenFilter(pdo_, filterName_);
    ULONG pinId = 0;
    if (NT_SUCCESS(status)) {
        status = FindPin(pinId);
    }
    if (NT_SUCCESS(status)) {
        status = pin_.CreatePin(filter_, pinId, format_);
    }
    if (NT_SUCCESS(status)) {
        status = pin_.SetState(KSSTATE_PAUSE);
    }
    // Primed while paused: render with silence for the lead it keeps, so that the position never
    // starts ahead of the data; capture with every read packet it keeps queued.
    written_ = false;
    if (NT_SUCCESS(status) && flow_ == Flow::Capture) {
        for (auto& packet : packets_) {
            Send(*packet);
        }
    } else if (NT_SUCCESS(status)) {
        for (uint64_t period = 0; period < kRenderLeadPeriods; ++period) {
            Packet* packet = FreePacket();
            MixPacket(*packet, {});
            written_ = Send(*packet) || written_;
        }
    }
    if (NT_SUCCESS(status)) {
        status = pin_.SetState(KSSTATE_RUN);
    }
    if (!NT_SUCCESS(status)) {
        Close();
    }
    return status;
}

void EndpointStream::Close()
{
    if (pin_.IsOpen()) {
        pin_.SetState(KSSTATE_STOP);
    }
    pin_.Close();
    filter_.Close();
    WaitForPackets();
    nextCapture_ = 0;
}

// Completions of cancelled packets may still be finishing on another processor.
void EndpointStream::WaitForPackets()
{
    for (auto& packet : packets_) {
        while (packet->state.load() == kInFlight) {
            LARGE_INTEGER interval;
            interval.QuadPart = -10000;  // 1 ms
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
        }
        packet->state = kFree;
    }
}

bool EndpointStream::Send(Packet& packet)
{
    std::memset(&packet.header, 0, sizeof packet.header);
    packet.header.Size = sizeof packet.header;
    packet.header.FrameExtent = ULONG(packet.data.size());
    packet.header.DataUsed = flow_ == Flow::Render ? ULONG(packet.data.size()) : 0;
    packet.header.Data = packet.data.data();
    packet.state = kInFlight;
    Packet* sent = &packet;
    const NTSTATUS status =
        pin_.SendPacket(flow_ == Flow::Render, &packet.header, [sent, this](NTSTATUS done) {
            if (NT_SUCCESS(done)) {
                ++packetsBack_;
            }
            sent->state = flow_ == Flow::Render ? kFree : kDone;
        });
    if (NT_ERROR(status)) {
        packet.state = kFree;
        return false;
    }
    return true;
}

EndpointCounters EndpointStream::Counters() const
{
    EndpointCounters counters = counters_;
    counters.packets = packetsBack_.load();
    return counters;
}

EndpointStream::Packet* EndpointStream::FreePacket()
{
    for (auto& packet : packets_) {
        if (packet->state.load() == kFree) {
            return packet.get();
        }
    }
    return nullptr;
}

void EndpointStream::MixPacket(Packet& packet, const std::vector<std::shared_ptr<RenderStream>>& streams)
{
    std::vector<float> mix(size_t(periodFrames_) * layout_.channels, 0.0f);
    for (const auto& stream : streams) {
        stream->MixInto(mix.data(), periodFrames_, format_.Format.nSamplesPerSec, layout_.channels);
    }
    FloatToDevice(mix.data(), periodFrames_, layout_, packet.data.data());
}

void EndpointStream::RenderPeriod(const std::vector<std::shared_ptr<RenderStream>>& streams)
{
    ++counters_.periods;
    KSAUDIO_POSITION position = {};
    if (!NT_SUCCESS(pin_.Position(position))) {
        return;
    }
    uint64_t lead = position.WriteOffset > position.PlayOffset ? position.WriteOffset - position.PlayOffset : 0;
    if (written_ && lead == 0) {
        ++counters_.glitches;
    }
    const uint64_t packetBytes = uint64_t(periodFrames_) * layout_.FrameBytes();
    while (lead < kRenderLeadPeriods * packetBytes) {
        Packet* packet = FreePacket();
        if (packet == nullptr) {
            break;
        }
        MixPacket(*packet, streams);
        if (!Send(*packet)) {
            break;
        }
        written_ = true;
        lead += packetBytes;
        counters_.deviceFrames += periodFrames_;
    }
    for (const auto& stream : streams) {
        stream->Served();
    }
}

void EndpointStream::CapturePeriod(const std::vector<std::shared_ptr<CaptureStream>>& streams)
{
    ++counters_.periods;
    const bool allBack = std::all_of(packets_.begin(), packets_.end(),
                                     [](const std::unique_ptr<Packet>& packet) { return packet->state != kInFlight; });
    if (allBack) {
        ++counters_.glitches;
    }
    std::vector<float> frames;
    for (size_t handled = 0; handled < packets_.size(); ++handled) {
        Packet& packet = *packets_[nextCapture_];
        if (packet.state.load() != kDone) {
            break;
        }
        const size_t count = packet.header.DataUsed / layout_.FrameBytes();
        frames.resize(count * layout_.channels);
        DeviceToFloat(packet.data.data(), layout_, count, frames.data());
        for (const auto& stream : streams) {
            stream->Deliver(frames.data(), count, format_.Format.nSamplesPerSec, layout_.channels);
        }
        counters_.deviceFrames += count;
        Send(packet);
        nextCapture_ = (nextCapture_ + 1) % packets_.size();
    }
    for (const auto& stream : streams) {
        stream->Served();
    }
}

}  // namespace sim::audio
