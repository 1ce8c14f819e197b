// PcRegisterSubdevice, IUnregisterSubdevice and PcRegisterAdapterPowerManagement, and the machine's
// list of adapter devices behind RegisteredSubdevices.
//
// A filter's device interfaces go on the adapter's physical device object: KSCATEGORY_AUDIO
// always, KSCATEGORY_RENDER when it has a streaming pin that data flows into (a sink the audio
// stack writes to), KSCATEGORY_CAPTURE when it has one that data flows out of; the subdevice name
// is their reference string, so a create on "<interface path>" reaches the adapter's device
// object with the file name "\<name>". Once the interfaces are on, the audio service builds the
// device's endpoints from the filter (sim/pnp/audio_endpoint_builder.h).
#include <algorithm>

#include "sim/kernel/machine.h"
#include "sim/pnp/audio_endpoint_builder.h"
#include "sim/portcls/portcls_sim.h"
#include "sim/portcls/wave_cyclic_port.h"

namespace sim::portcls {
namespace {

class AdapterList final : public MachineComponent {
public:
    std::mutex lock;
    std::vector<AdapterDevice*> adapters;
};

AdapterList& Adapters() { return Machine::Current().Component<AdapterList>(); }

bool SameName(const std::u16string& a, const std::u16string& b)
{
    auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char16_t x, char16_t y) { return upper(x) == upper(y); });
}

// Streaming pins by the direction data flows, stepping by the descriptor's PinSize.
void StreamingDirections(const PCFILTER_DESCRIPTOR& filter, bool& render, bool& capture)
{
    const auto* bytes = reinterpret_cast<const UCHAR*>(filter.Pins);
    const ULONG stride = filter.PinSize == 0 ? ULONG(sizeof(PCPIN_DESCRIPTOR)) : filter.PinSize;
    for (ULONG i = 0; bytes != nullptr && i < filter.PinCount; ++i) {
        const KSPIN_DESCRIPTOR& pin = reinterpret_cast<const PCPIN_DESCRIPTOR*>(bytes + i * stride)->KsPinDescriptor;
        const bool streaming = pin.Communication == KSPIN_COMMUNICATION_SINK ||
                               pin.Communication == KSPIN_COMMUNICATION_BOTH;
        render = render || (streaming && pin.DataFlow == KSPIN_DATAFLOW_IN);
        capture = capture || (streaming && pin.DataFlow == KSPIN_DATAFLOW_OUT);
    }
}

NTSTATUS RegisterInterface(AdapterDevice& adapter, const GUID& category, std::u16string& name, Subdevice& subdevice)
{
    UNICODE_STRING reference;
    reference.Buffer = const_cast<PWSTR>(reinterpret_cast<PCWSTR>(name.c_str()));
    reference.Length = USHORT(name.size() * sizeof(WCHAR));
    reference.MaximumLength = reference.Length;
    UNICODE_STRING link{};
    const NTSTATUS status = IoRegisterDeviceInterface(adapter.pdo, &category, &reference, &link);
    if (NT_SUCCESS(status)) {
        subdevice.links.emplace_back(reinterpret_cast<const char16_t*>(link.Buffer), link.Length / sizeof(WCHAR));
        RtlFreeUnicodeString(&link);
    }
    return status;
}

UNICODE_STRING LinkString(const std::u16string& link)
{
    UNICODE_STRING text;
    text.Buffer = const_cast<PWSTR>(reinterpret_cast<PCWSTR>(link.c_str()));
    text.Length = USHORT(link.size() * sizeof(WCHAR));
    text.MaximumLength = text.Length;
    return text;
}

WaveCyclicPort* OwnPort(PUNKNOWN unknown)
{
    WaveCyclicPort* port = nullptr;
    if (unknown == nullptr ||
        !NT_SUCCESS(unknown->QueryInterface(WaveCyclicPort::kImplementationId, reinterpret_cast<PVOID*>(&port)))) {
        return nullptr;
    }
    return port;
}

}  // namespace

AdapterDevice* AdapterOf(PDEVICE_OBJECT deviceObject, const char* function)
{
    if (deviceObject != nullptr && deviceObject->DeviceExtension != nullptr) {
        auto* adapter = *static_cast<AdapterDevice**>(deviceObject->DeviceExtension);
        AdapterList& list = Adapters();
        std::lock_guard<std::mutex> guard(list.lock);
        if (std::find(list.adapters.begin(), list.adapters.end(), adapter) != list.adapters.end() &&
            adapter->fdo == deviceObject) {
            return adapter;
        }
    }
    Machine::Current().Verify().Report("PortCls device object",
                                       std::string(function) + ": not a device object made by PcAddAdapterDevice");
    return nullptr;
}

void RememberAdapter(AdapterDevice* adapter)
{
    AdapterList& list = Adapters();
    std::lock_guard<std::mutex> guard(list.lock);
    list.adapters.push_back(adapter);
}

void ForgetAdapter(AdapterDevice* adapter)
{
    AdapterList& list = Adapters();
    std::lock_guard<std::mutex> guard(list.lock);
    list.adapters.erase(std::remove(list.adapters.begin(), list.adapters.end(), adapter), list.adapters.end());
}

void SetInterfaces(Subdevice& subdevice, bool enable)
{
    if (subdevice.enabled == enable) {
        return;
    }
    for (const std::u16string& link : subdevice.links) {
        UNICODE_STRING text = LinkString(link);
        IoSetDeviceInterfaceState(&text, enable);
    }
    subdevice.enabled = enable;
}

void DropSubdevices(AdapterDevice& adapter)
{
    std::vector<std::unique_ptr<Subdevice>> dropped;
    {
        std::lock_guard<std::mutex> guard(adapter.lock);
        dropped.swap(adapter.subdevices);
    }
    for (auto& subdevice : dropped) {
        SetInterfaces(*subdevice, false);
        subdevice->port->ReleaseChildren();
        subdevice->port->Release();
    }
}

NTSTATUS UnregisterSubdevice(PDEVICE_OBJECT deviceObject, PUNKNOWN unknown)
{
    AdapterDevice* adapter = AdapterOf(deviceObject, "UnregisterSubdevice");
    WaveCyclicPort* port = OwnPort(unknown);
    if (adapter == nullptr || port == nullptr) {
        if (port != nullptr) {
            port->Release();
        }
        return STATUS_INVALID_PARAMETER;
    }
    std::unique_ptr<Subdevice> removed;
    {
        std::lock_guard<std::mutex> guard(adapter->lock);
        auto found = std::find_if(adapter->subdevices.begin(), adapter->subdevices.end(),
                                  [port](const std::unique_ptr<Subdevice>& s) { return s->port == port; });
        if (found != adapter->subdevices.end()) {
            removed = std::move(*found);
            adapter->subdevices.erase(found);
        }
    }
    port->Release();
    if (removed == nullptr) {
        return STATUS_NOT_FOUND;
    }
    SetInterfaces(*removed, false);
    removed->port->ReleaseChildren();
    removed->port->Release();
    // The audio service sees the filter's interfaces go and lets go of the filter.
    sim::pnp::OnAudioFilterDeparture(adapter->pdo);
    return STATUS_SUCCESS;
}

WaveCyclicPort* FindSubdevicePort(AdapterDevice& adapter, const std::u16string& name)
{
    std::lock_guard<std::mutex> guard(adapter.lock);
    for (const auto& subdevice : adapter.subdevices) {
        if (SameName(subdevice->name, name)) {
            subdevice->port->AddRef();
            return subdevice->port;
        }
    }
    return nullptr;
}

std::vector<RegisteredSubdevice> RegisteredSubdevices()
{
    std::vector<RegisteredSubdevice> result;
    AdapterList& list = Adapters();
    std::lock_guard<std::mutex> guard(list.lock);
    for (AdapterDevice* adapter : list.adapters) {
        std::lock_guard<std::mutex> held(adapter->lock);
        for (const auto& subdevice : adapter->subdevices) {
            result.push_back({adapter->fdo, subdevice->name, subdevice->links, subdevice->enabled});
        }
    }
    return result;
}

}  // namespace sim::portcls

using namespace sim::portcls;

NTSTATUS NTAPI PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWSTR Name, PUNKNOWN Unknown)
{
    AdapterDevice* adapter = AdapterOf(DeviceObject, "PcRegisterSubdevice");
    if (adapter == nullptr || Name == nullptr || Name[0] == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    WaveCyclicPort* port = OwnPort(Unknown);
    if (port == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (port->Descriptor() == nullptr) {
        port->Release();
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    auto subdevice = std::make_unique<Subdevice>();
    subdevice->name = reinterpret_cast<const char16_t*>(Name);
    {
        std::lock_guard<std::mutex> guard(adapter->lock);
        for (const auto& existing : adapter->subdevices) {
            if (SameName(existing->name, subdevice->name)) {
                port->Release();
                return STATUS_OBJECT_NAME_COLLISION;
            }
        }
    }
    bool render = false;
    bool capture = false;
    StreamingDirections(*port->Descriptor(), render, capture);
    NTSTATUS status = RegisterInterface(*adapter, KSCATEGORY_AUDIO, subdevice->name, *subdevice);
    if (NT_SUCCESS(status) && render) {
        status = RegisterInterface(*adapter, kCategoryRender, subdevice->name, *subdevice);
    }
    if (NT_SUCCESS(status) && capture) {
        status = RegisterInterface(*adapter, kCategoryCapture, subdevice->name, *subdevice);
    }
    if (!NT_SUCCESS(status)) {
        port->Release();
        return status;
    }
    subdevice->port = port;  // the reference OwnPort took
    if (adapter->state != DeviceState::SurpriseRemoved) {
        SetInterfaces(*subdevice, true);
    }
    const bool arrived = subdevice->enabled;
    port->AddRef();
    {
        std::lock_guard<std::mutex> guard(adapter->lock);
        adapter->subdevices.push_back(std::move(subdevice));
    }
    // The audio service reacts to the interfaces turning on; on Windows it runs in its own process,
    // so it never holds PortCls's lock.
    if (arrived) {
        sim::pnp::OnAudioFilterArrival(adapter->pdo, *port->Descriptor());
    }
    port->Release();
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PcRegisterAdapterPowerManagement(PUNKNOWN Unknown, PVOID DeviceObject)
{
    AdapterDevice* adapter = AdapterOf(static_cast<PDEVICE_OBJECT>(DeviceObject), "PcRegisterAdapterPowerManagement");
    if (adapter == nullptr || Unknown == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PADAPTERPOWERMANAGEMENT power = nullptr;
    const NTSTATUS status = Unknown->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<PVOID*>(&power));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PADAPTERPOWERMANAGEMENT previous;
    {
        std::lock_guard<std::mutex> guard(adapter->lock);
        previous = adapter->power;
        adapter->power = power;
    }
    if (previous != nullptr) {
        previous->Release();
    }
    return STATUS_SUCCESS;
}
