#include "sim/pnp/endpoint_store.h"

#include <cstring>

#include "sim/registry/machine_registry.h"

namespace sim::pnp {

namespace {

// KSDATAFORMAT_SUBTYPE_PCM.
constexpr GUID kSubtypePcm = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
constexpr char16_t kDevicePathPrefix[] = u"{1}.";

std::u16string FlowPath(EndpointFlow flow)
{
    return std::u16string(kEndpointStorePath) + (flow == EndpointFlow::Render ? u"\\Render" : u"\\Capture");
}

// Endpoint GUIDs are random on Windows; here they come from the device and flow, so that a
// machine set up the same way has the same endpoint names.
std::u16string NewEndpointName(EndpointFlow flow, std::u16string_view instancePath)
{
    uint64_t hash = 1469598103934665603ull ^ (flow == EndpointFlow::Render ? 0x52 : 0x43);
    for (char16_t character : instancePath) {
        hash = (hash ^ character) * 1099511628211ull;
    }
    registry::Store& store = registry::MachineRegistry();
    while (true) {
        GUID guid{};
        guid.Data1 = ULONG(hash);
        guid.Data2 = USHORT(hash >> 32);
        guid.Data3 = USHORT(0x4000 | ((hash >> 48) & 0x0FFF));
        for (int i = 0; i < 8; ++i) {
            guid.Data4[i] = UCHAR(hash >> (i * 7));
        }
        guid.Data4[0] = UCHAR(0x80 | (guid.Data4[0] & 0x3F));
        std::u16string name = GuidText(guid, false);
        if (!store.Exists(FlowPath(flow) + u"\\" + name)) {
            return name;
        }
        hash = (hash ^ 0x9E3779B97F4A7C15ull) * 1099511628211ull;
    }
}

}  // namespace

WAVEFORMATEXTENSIBLE MakePcmFormat(ULONG samplesPerSecond, USHORT channels, USHORT containerBits, USHORT validBits)
{
    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = channels;
    format.Format.nSamplesPerSec = samplesPerSecond;
    format.Format.nBlockAlign = USHORT(channels * containerBits / 8);
    format.Format.nAvgBytesPerSec = samplesPerSecond * format.Format.nBlockAlign;
    format.Format.wBitsPerSample = containerBits;
    format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    format.Samples.wValidBitsPerSample = validBits;
    format.dwChannelMask = channels == 1 ? SPEAKER_FRONT_CENTER : SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    format.SubFormat = kSubtypePcm;
    return format;
}

std::vector<uint8_t> SerializeFormat(const WAVEFORMATEXTENSIBLE& format)
{
    std::vector<uint8_t> data(kFormatPropertyBytes);
    const ULONG header[2] = {kVariantTypeBlob, ULONG(sizeof format)};
    std::memcpy(data.data(), header, sizeof header);
    std::memcpy(data.data() + sizeof header, &format, sizeof format);
    return data;
}

std::u16string FindAudioEndpoint(EndpointFlow flow, std::u16string_view instancePath)
{
    registry::Store& store = registry::MachineRegistry();
    const std::u16string wanted = kDevicePathPrefix + std::u16string(instancePath);
    for (const std::u16string& endpoint : store.SubkeyNames(FlowPath(flow))) {
        registry::Value value;
        if (!store.GetValue(EndpointPropertiesPath(flow, endpoint), kDevicePathProperty, value)) {
            continue;
        }
        // Any program may have written the property with any type and length, an empty one too.
        std::u16string stored(value.data.size() / sizeof(WCHAR), u'\0');
        if (!stored.empty()) {
            std::memcpy(stored.data(), value.data.data(), stored.size() * sizeof(WCHAR));
        }
        if (registry::NamesEqual(stored.substr(0, stored.find(u'\0')), wanted)) {
            return endpoint;
        }
    }
    return std::u16string();
}

void SetEndpointState(EndpointFlow flow, std::u16string_view endpoint, ULONG deviceState)
{
    registry::MachineRegistry().SetDword(FlowPath(flow) + u"\\" + std::u16string(endpoint), u"DeviceState",
                                         deviceState);
}

std::u16string EndpointPropertiesPath(EndpointFlow flow, std::u16string_view endpoint)
{
    return FlowPath(flow) + u"\\" + std::u16string(endpoint) + u"\\Properties";
}

std::u16string AddAudioEndpoint(EndpointFlow flow, std::u16string_view instancePath, const WAVEFORMATEXTENSIBLE& format,
                                std::u16string_view friendlyName)
{
    std::u16string endpoint = FindAudioEndpoint(flow, instancePath);
    if (!endpoint.empty()) {
        return endpoint;
    }
    endpoint = NewEndpointName(flow, instancePath);
    registry::Store& store = registry::MachineRegistry();
    store.SetDword(FlowPath(flow) + u"\\" + endpoint, u"DeviceState", kDeviceStateActive);
    const std::u16string properties = EndpointPropertiesPath(flow, endpoint);
    store.SetString(properties, kDevicePathProperty, kDevicePathPrefix + std::u16string(instancePath));
    store.SetString(properties, kFriendlyNameProperty, friendlyName);
    for (const char16_t* name : kFormatProperties) {
        store.SetValue(properties, name, REG_BINARY, SerializeFormat(format));
    }
    store.SetValue(properties, kDriverDeletedProperty, REG_BINARY, SerializeFormat(format));
    return endpoint;
}

DeviceEndpoints AddDeviceEndpoints(const DeviceNode& node, const WAVEFORMATEXTENSIBLE& renderFormat,
                                   const WAVEFORMATEXTENSIBLE& captureFormat)
{
    DeviceEndpoints endpoints;
    endpoints.render = AddAudioEndpoint(EndpointFlow::Render, node.InstancePath(), renderFormat,
                                        u"Speakers (" + node.Identity().description + u")");
    endpoints.capture = AddAudioEndpoint(EndpointFlow::Capture, node.InstancePath(), captureFormat,
                                         u"Microphone (" + node.Identity().description + u")");
    return endpoints;
}

}  // namespace sim::pnp
