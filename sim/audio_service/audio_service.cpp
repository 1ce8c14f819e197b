#include "sim/audio_service/audio_service.h"

#include <algorithm>

#include "sim/audio_service/endpoint_lookup.h"
#include "sim/pnp/device_tree.h"
#include "sim/registry/store.h"

namespace sim::audio {

namespace {

constexpr LONG kPeriodMs = 10;

// KSNODEPROPERTY_AUDIO_CHANNEL after its node header: the channel and a reserved word.
struct ChannelInstance {
    LONG channel;
    ULONG reserved;
};

template <class Stream> bool AnyStarted(const std::vector<std::shared_ptr<Stream>>& streams)
{
    return std::any_of(streams.begin(), streams.end(), [](const std::shared_ptr<Stream>& s) { return s->Started(); });
}

template <class Stream> void Forget(std::vector<std::shared_ptr<Stream>>& streams, const AppStream* stream)
{
    streams.erase(std::remove_if(streams.begin(), streams.end(),
                                 [stream](const std::shared_ptr<Stream>& s) { return s.get() == stream; }),
                  streams.end());
}

EndpointCounters Add(EndpointCounters sum, const EndpointCounters& more)
{
    sum.periods += more.periods;
    sum.packets += more.packets;
    sum.deviceFrames += more.deviceFrames;
    sum.glitches += more.glitches;
    return sum;
}

}  // namespace

AudioService::AudioService()
{
    KeInitializeEvent(&wake_, SynchronizationEvent, FALSE);
    KeInitializeEvent(&stop_, NotificationEvent, FALSE);
    KeInitializeTimerEx(&period_, SynchronizationTimer);
}

AudioService::~AudioService()
{
    if (thread_ != nullptr) {
        Machine::Current().Verify().Report("audio service", "still running when the machine shut down");
    }
}

void AudioService::Start()
{
    if (thread_ != nullptr) {
        return;
    }
    KeClearEvent(&stop_);
    pnp::SetAudioDeviceListener(this);
    thread_ = Machine::Current().CreateThread("audio service", &AudioService::Run, this, MachineThreadKind::Worker);
}

void AudioService::Stop()
{
    if (thread_ == nullptr) {
        return;
    }
    pnp::SetAudioDeviceListener(nullptr);
    KeSetEvent(&stop_, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&thread_->kthread, Executive, KernelMode, FALSE, nullptr);
    thread_ = nullptr;
}

void AudioService::Run(void* self) { static_cast<AudioService*>(self)->Loop(); }

void AudioService::Loop()
{
    LARGE_INTEGER due;
    due.QuadPart = -LONGLONG(kPeriodMs) * 10000;
    KeSetTimerEx(&period_, due, kPeriodMs, nullptr);
    PVOID objects[] = {&stop_, &wake_, &period_};
    std::vector<Endpoint*> endpoints;
    for (;;) {
        const NTSTATUS status =
            KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        if (status == STATUS_WAIT_0) {
            break;
        }
        {
            std::lock_guard<std::mutex> held(lock_);
            endpoints.clear();
            for (const auto& endpoint : endpoints_) {
                endpoints.push_back(endpoint.get());
            }
        }
        for (Endpoint* endpoint : endpoints) {
            Serve(*endpoint, status == STATUS_WAIT_0 + 2);
        }
    }
    KeCancelTimer(&period_);
    for (Endpoint* endpoint : endpoints) {
        if (endpoint->stream != nullptr) {
            CloseStream(*endpoint);
        }
        Publish(*endpoint);
    }
}

// What an endpoint needs now: its device gone, its filter replaced, its pin opened or closed for
// the streams that run, and at a period tick one period of audio.
void AudioService::Serve(Endpoint& endpoint, bool period)
{
    std::vector<std::shared_ptr<RenderStream>> renders;
    std::vector<std::shared_ptr<CaptureStream>> captures;
    bool removed;
    bool refresh;
    {
        std::lock_guard<std::mutex> held(lock_);
        removed = endpoint.removed;
        refresh = endpoint.refreshFilter;
        endpoint.removed = false;
        endpoint.refreshFilter = false;
        if (removed) {
            for (const auto& stream : endpoint.renders) {
                stream->Invalidate();
            }
            for (const auto& stream : endpoint.captures) {
                stream->Invalidate();
            }
            endpoint.renders.clear();
            endpoint.captures.clear();
        }
        renders = endpoint.renders;
        captures = endpoint.captures;
    }
    const bool needed = AnyStarted(renders) || AnyStarted(captures);
    if (endpoint.stream != nullptr && (removed || refresh || !needed)) {
        CloseStream(endpoint);
    }
    if (needed && endpoint.stream == nullptr) {
        OpenStream(endpoint);
    }
    if (period) {
        if (endpoint.stream != nullptr && endpoint.flow == Flow::Render) {
            endpoint.stream->RenderPeriod(renders);
        } else if (endpoint.stream != nullptr) {
            endpoint.stream->CapturePeriod(captures);
        }
    }
    Publish(endpoint);
}

void AudioService::OpenStream(Endpoint& endpoint)
{
    PDEVICE_OBJECT pdo = nullptr;
    std::u16string filter;
    WAVEFORMATEXTENSIBLE format;
    if (!FindEndpointFilter(endpoint.instancePath, endpoint.flow, pdo, filter) ||
        !SavedDeviceFormat(endpoint.instancePath, endpoint.flow, format)) {
        return;
    }
    auto stream = std::make_unique<EndpointStream>(endpoint.flow, pdo, filter, format);
    if (!NT_SUCCESS(stream->Open())) {
        return;
    }
    endpoint.stream = std::move(stream);
    std::lock_guard<std::mutex> held(lock_);
    ++endpoint.status.opens;
}

void AudioService::CloseStream(Endpoint& endpoint)
{
    endpoint.stream->Close();
    const EndpointCounters last = endpoint.stream->Counters();
    endpoint.stream.reset();
    std::lock_guard<std::mutex> held(lock_);
    endpoint.status.counters = Add(endpoint.status.counters, last);
}

// What Status reports: the service thread's view, copied under the lock for other threads.
void AudioService::Publish(Endpoint& endpoint)
{
    const EndpointStream* stream = endpoint.stream.get();
    portcls::PinCounters port;
    if (stream != nullptr) {
        portcls::PinCountersOf(stream->PinFile(), port);
    }
    std::lock_guard<std::mutex> held(lock_);
    endpoint.status.streaming = stream != nullptr;
    endpoint.live = stream != nullptr ? stream->Counters() : EndpointCounters{};
    if (stream != nullptr) {
        endpoint.status.filterName = stream->FilterName();
        endpoint.status.format = stream->Format();
        endpoint.status.port = port;
    }
}

AudioService::Endpoint* AudioService::FindLocked(const std::u16string& instancePath, Flow flow)
{
    for (const auto& endpoint : endpoints_) {
        if (endpoint->flow == flow && registry::NamesEqual(endpoint->instancePath, instancePath)) {
            return endpoint.get();
        }
    }
    return nullptr;
}

AudioService::Endpoint& AudioService::EndpointLocked(const std::u16string& instancePath, Flow flow)
{
    if (Endpoint* found = FindLocked(instancePath, flow)) {
        return *found;
    }
    endpoints_.push_back(std::make_unique<Endpoint>());
    endpoints_.back()->instancePath = instancePath;
    endpoints_.back()->flow = flow;
    return *endpoints_.back();
}

// An application stream fits an endpoint in mono or with at most the endpoint's channels.
bool AudioService::Fits(const std::u16string& instancePath, Flow flow, const AppFormat& format)
{
    WAVEFORMATEXTENSIBLE device;
    return format.rate != 0 && format.channels != 0 && SavedDeviceFormat(instancePath, flow, device) &&
           (format.channels == 1 || format.channels <= device.Format.nChannels);
}

std::shared_ptr<RenderStream> AudioService::OpenRender(const std::u16string& instancePath, AppFormat format,
                                                       size_t bufferMs)
{
    if (!Fits(instancePath, Flow::Render, format)) {
        return nullptr;
    }
    auto stream = std::make_shared<RenderStream>(format, size_t(format.rate) * bufferMs / 1000);
    {
        std::lock_guard<std::mutex> held(lock_);
        EndpointLocked(instancePath, Flow::Render).renders.push_back(stream);
    }
    Wake();
    return stream;
}

std::shared_ptr<CaptureStream> AudioService::OpenCapture(const std::u16string& instancePath, AppFormat format,
                                                         size_t bufferMs)
{
    if (!Fits(instancePath, Flow::Capture, format)) {
        return nullptr;
    }
    auto stream = std::make_shared<CaptureStream>(format, size_t(format.rate) * bufferMs / 1000);
    {
        std::lock_guard<std::mutex> held(lock_);
        EndpointLocked(instancePath, Flow::Capture).captures.push_back(stream);
    }
    Wake();
    return stream;
}

void AudioService::CloseStream(const std::shared_ptr<AppStream>& stream)
{
    {
        std::lock_guard<std::mutex> held(lock_);
        for (const auto& endpoint : endpoints_) {
            Forget(endpoint->renders, stream.get());
            Forget(endpoint->captures, stream.get());
        }
    }
    Wake();
}

EndpointStatus AudioService::Status(const std::u16string& instancePath, Flow flow)
{
    std::lock_guard<std::mutex> held(lock_);
    Endpoint* endpoint = FindLocked(instancePath, flow);
    if (endpoint == nullptr) {
        EndpointStatus status;
        status.known = EndpointExists(instancePath, flow);
        return status;
    }
    EndpointStatus status = endpoint->status;
    status.known = true;
    status.counters = Add(status.counters, endpoint->live);
    return status;
}

NTSTATUS AudioService::NodeProperty(const std::u16string& instancePath, ULONG node, ULONG id, ULONG verb,
                                    LONG channel, LONG& value)
{
    PDEVICE_OBJECT pdo = nullptr;
    std::u16string name;
    if (!FindAudioFilter(instancePath, pdo, name)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    KsHandle filter;
    NTSTATUS status = filter.OpenFilter(pdo, name);
    if (NT_SUCCESS(status)) {
        ChannelInstance instance = {channel, 0};
        status = filter.NodeProperty(node, KSPROPSETID_Audio, id, verb, &instance, sizeof instance, &value,
                                     sizeof value);
    }
    return status;
}

void AudioService::Mark(PDEVICE_OBJECT pdo, bool removed)
{
    const pnp::DeviceNode* node = pnp::MachineDeviceTree().FindByPhysicalDeviceObject(pdo);
    if (node == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> held(lock_);
        for (const auto& endpoint : endpoints_) {
            if (registry::NamesEqual(endpoint->instancePath, node->InstancePath())) {
                (removed ? endpoint->removed : endpoint->refreshFilter) = true;
            }
        }
    }
    Wake();
}

void AudioService::FilterArrived(PDEVICE_OBJECT) { Wake(); }

void AudioService::FilterDeparted(PDEVICE_OBJECT pdo) { Mark(pdo, false); }

void AudioService::DeviceRemoved(PDEVICE_OBJECT pdo) { Mark(pdo, true); }

}  // namespace sim::audio
