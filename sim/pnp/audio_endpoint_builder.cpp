#include "sim/pnp/audio_endpoint_builder.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>

#include "sim/kernel/machine.h"
#include "sim/pnp/device_tree.h"
#include "sim/pnp/endpoint_store.h"
#include "sim/registry/store.h"

namespace sim::pnp {
namespace {

struct DefaultFormats {
    std::optional<WAVEFORMATEXTENSIBLE> render;
    std::optional<WAVEFORMATEXTENSIBLE> capture;
};

class AudioService final : public MachineComponent {
public:
    std::atomic<bool> running{true};
    std::mutex lock;
    std::map<std::u16string, DefaultFormats> defaults;  // by upper-cased instance path
    AudioDeviceListener* listener = nullptr;
};

AudioDeviceListener* Listener()
{
    AudioService& service = Machine::Current().Component<AudioService>();
    std::lock_guard<std::mutex> held(service.lock);
    return service.listener;
}

AudioService& Service() { return Machine::Current().Component<AudioService>(); }

constexpr EndpointFlow kFlows[] = {EndpointFlow::Render, EndpointFlow::Capture};

bool IsStreamingPin(const KSPIN_DESCRIPTOR& pin, EndpointFlow flow)
{
    const KSPIN_DATAFLOW wanted = flow == EndpointFlow::Render ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
    const bool sink = pin.Communication == KSPIN_COMMUNICATION_SINK || pin.Communication == KSPIN_COMMUNICATION_BOTH;
    return sink && pin.DataFlow == wanted;
}

// The audio service mixes in PCM or float; it cannot give an endpoint any other default format.
bool IsSharedModeRange(const KSDATARANGE& range)
{
    return range.FormatSize >= sizeof(KSDATARANGE_AUDIO) && IsEqualGUID(range.MajorFormat, KSDATAFORMAT_TYPE_AUDIO) &&
           IsEqualGUID(range.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) &&
           (IsEqualGUID(range.SubFormat, KSDATAFORMAT_SUBTYPE_PCM) ||
            IsEqualGUID(range.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT));
}

// The first streaming pin of `flow` that has an audio range gives the endpoint's format.
std::optional<WAVEFORMATEXTENSIBLE> FilterFormat(const PCFILTER_DESCRIPTOR& filter, EndpointFlow flow)
{
    const auto* bytes = reinterpret_cast<const UCHAR*>(filter.Pins);
    const ULONG stride = filter.PinSize == 0 ? ULONG(sizeof(PCPIN_DESCRIPTOR)) : filter.PinSize;
    for (ULONG i = 0; bytes != nullptr && i < filter.PinCount; ++i) {
        const KSPIN_DESCRIPTOR& pin = reinterpret_cast<const PCPIN_DESCRIPTOR*>(bytes + i * stride)->KsPinDescriptor;
        if (IsStreamingPin(pin, flow)) {
            std::optional<WAVEFORMATEXTENSIBLE> format = EndpointFormatFor(pin);
            if (format) {
                return format;
            }
        }
    }
    return std::nullopt;
}

std::u16string FriendlyName(EndpointFlow flow, const DeviceNode& node)
{
    return (flow == EndpointFlow::Render ? u"Speakers (" : u"Microphone (") + node.Identity().description + u")";
}

void AddEndpointsOf(PDEVICE_OBJECT pdo, const PCFILTER_DESCRIPTOR& filter)
{
    const DeviceNode* node = MachineDeviceTree().FindByPhysicalDeviceObject(pdo);
    if (!AudioServiceRunning() || node == nullptr) {
        return;
    }
    {
        AudioService& service = Service();
        std::lock_guard<std::mutex> held(service.lock);
        service.defaults[registry::UpcaseName(node->InstancePath())] = {FilterFormat(filter, EndpointFlow::Render),
                                                                        FilterFormat(filter, EndpointFlow::Capture)};
    }
    for (EndpointFlow flow : kFlows) {
        const std::optional<WAVEFORMATEXTENSIBLE> format = FilterFormat(filter, flow);
        if (format) {
            const std::u16string endpoint =
                AddAudioEndpoint(flow, node->InstancePath(), *format, FriendlyName(flow, *node));
            SetEndpointState(flow, endpoint, kDeviceStateActive);
        }
    }
}

}  // namespace

void SetAudioServiceRunning(bool running) { Service().running = running; }

bool AudioServiceRunning() { return Service().running; }

std::optional<WAVEFORMATEXTENSIBLE> EndpointFormatFor(const KSPIN_DESCRIPTOR& pin)
{
    ULONG i = 0;
    while (pin.DataRanges != nullptr && i < pin.DataRangesCount) {
        const KSDATARANGE* range = pin.DataRanges[i];
        // A range flagged with attributes is followed by its attribute list, which is no range.
        i += range != nullptr && (range->Flags & KSDATARANGE_ATTRIBUTES) != 0 ? 2 : 1;
        if (range == nullptr || !IsSharedModeRange(*range)) {
            continue;
        }
        const auto& audio = *reinterpret_cast<const KSDATARANGE_AUDIO*>(range);
        if (audio.MaximumChannels == 0 || audio.MaximumBitsPerSample == 0 || audio.MaximumSampleFrequency == 0) {
            continue;
        }
        const USHORT channels = audio.MaximumChannels >= 2 ? 2 : 1;
        const USHORT validBits = USHORT(std::min<ULONG>(audio.MaximumBitsPerSample, 32));
        const USHORT containerBits = USHORT((validBits + 7) / 8 * 8);
        WAVEFORMATEXTENSIBLE format = MakePcmFormat(audio.MaximumSampleFrequency, channels, containerBits, validBits);
        format.SubFormat = range->SubFormat;
        return format;
    }
    return std::nullopt;
}

void SetAudioDeviceListener(AudioDeviceListener* listener)
{
    AudioService& service = Service();
    std::lock_guard<std::mutex> held(service.lock);
    service.listener = listener;
}

void OnAudioFilterArrival(PDEVICE_OBJECT pdo, const PCFILTER_DESCRIPTOR& filter)
{
    AddEndpointsOf(pdo, filter);
    if (AudioDeviceListener* listener = Listener()) {
        listener->FilterArrived(pdo);
    }
}

void OnAudioFilterDeparture(PDEVICE_OBJECT pdo)
{
    if (AudioDeviceListener* listener = Listener()) {
        listener->FilterDeparted(pdo);
    }
}


std::optional<WAVEFORMATEXTENSIBLE> CurrentDefaultFormat(const std::u16string& instancePath, bool render)
{
    AudioService& service = Service();
    std::lock_guard<std::mutex> held(service.lock);
    auto found = service.defaults.find(registry::UpcaseName(instancePath));
    if (found == service.defaults.end()) {
        return std::nullopt;
    }
    return render ? found->second.render : found->second.capture;
}

void OnAudioDeviceRemoval(PDEVICE_OBJECT pdo)
{
    const DeviceNode* node = MachineDeviceTree().FindByPhysicalDeviceObject(pdo);
    if (AudioServiceRunning() && node != nullptr) {
        for (EndpointFlow flow : kFlows) {
            const std::u16string endpoint = FindAudioEndpoint(flow, node->InstancePath());
            if (!endpoint.empty()) {
                SetEndpointState(flow, endpoint, kDeviceStateNotPresent);
            }
        }
    }
    if (AudioDeviceListener* listener = Listener()) {
        listener->DeviceRemoved(pdo);
    }
}

}  // namespace sim::pnp
