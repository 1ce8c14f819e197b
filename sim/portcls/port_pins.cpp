// Pins of a WaveCyclic filter, made from a create request as kernel streaming checks it: the pin
// factory must exist and be one a client instantiates (a sink, not a bridge to the hardware), the
// connect record must ask for the standard streaming interface and medium and connect to nothing,
// the factory's instance count must allow another pin, and the data format must fall in one of
// the factory's data ranges. PortCls then asks the miniport whether it would choose that format
// (DataRangeIntersection of the format against the range it fell in) and has it make the stream.
#include <algorithm>

#include "sim/portcls/data_format_match.h"
#include "sim/portcls/wave_cyclic_pin.h"
#include "sim/portcls/wave_cyclic_port.h"

namespace sim::portcls {

namespace {

// What DataRangeIntersection writes: a KS data format with a WAVEFORMATEXTENSIBLE.
constexpr ULONG kIntersectionBytes = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE);

bool OffersInterface(const KSPIN_DESCRIPTOR& pin, const KSPIN_INTERFACE& wanted)
{
    if (pin.InterfacesCount == 0) {
        return IsEqualGUID(wanted.Set, KSINTERFACESETID_Standard) && wanted.Id == KSINTERFACE_STANDARD_STREAMING;
    }
    for (ULONG i = 0; i < pin.InterfacesCount; ++i) {
        if (IsEqualGUID(pin.Interfaces[i].Set, wanted.Set) && pin.Interfaces[i].Id == wanted.Id) {
            return true;
        }
    }
    return false;
}

// A pin without mediums of its own connects through the standard one.
bool OffersMedium(const KSPIN_DESCRIPTOR& pin, const KSPIN_MEDIUM& wanted)
{
    if (pin.MediumsCount == 0) {
        return IsEqualGUID(wanted.Set, KSMEDIUMSETID_Standard) && wanted.Id == KSMEDIUM_TYPE_ANYINSTANCE;
    }
    for (ULONG i = 0; i < pin.MediumsCount; ++i) {
        if (IsEqualGUID(pin.Mediums[i].Set, wanted.Set) && pin.Mediums[i].Id == wanted.Id) {
            return true;
        }
    }
    return false;
}

}  // namespace

const PCPIN_DESCRIPTOR* WaveCyclicPort::PinDescriptor(ULONG pinId) const
{
    if (descriptor_ == nullptr || pinId >= descriptor_->PinCount || descriptor_->Pins == nullptr) {
        return nullptr;
    }
    const ULONG stride = descriptor_->PinSize == 0 ? ULONG(sizeof(PCPIN_DESCRIPTOR)) : descriptor_->PinSize;
    return reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(descriptor_->Pins) +
                                                     SIZE_T(pinId) * stride);
}

NTSTATUS WaveCyclicPort::CreatePin(const KSPIN_CONNECT& connect, const KSDATAFORMAT& format, WaveCyclicPin** pin)
{
    *pin = nullptr;
    PMINIPORTWAVECYCLIC miniport = nullptr;
    KSDATARANGE_AUDIO range = {};
    bool capture = false;
    {
        std::lock_guard<std::mutex> held(lock_);
        if (miniport_ == nullptr) {
            return STATUS_DELETE_PENDING;
        }
        const PCPIN_DESCRIPTOR* factory = PinDescriptor(connect.PinId);
        if (factory == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        const KSPIN_DESCRIPTOR& ks = factory->KsPinDescriptor;
        if (ks.Communication != KSPIN_COMMUNICATION_SINK && ks.Communication != KSPIN_COMMUNICATION_BOTH) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if (!OffersInterface(ks, connect.Interface) || !OffersMedium(ks, connect.Medium) ||
            connect.PinToHandle != nullptr) {
            return STATUS_NO_MATCH;
        }
        const auto open = std::count_if(pins_.begin(), pins_.end(),
                                        [&](const WaveCyclicPin* other) { return other->PinId() == connect.PinId; });
        const ULONG limit = std::min(factory->MaxGlobalInstanceCount, factory->MaxFilterInstanceCount);
        if (ULONG(open) >= limit) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        const KSDATARANGE* matched = MatchingDataRange(ks, format);
        if (matched == nullptr) {
            return STATUS_NO_MATCH;
        }
        // The miniport is asked without the port's lock: it may talk to its device meanwhile.
        RtlCopyMemory(&range, matched, std::min<ULONG>(matched->FormatSize, sizeof range));
        range.DataRange.FormatSize = std::min<ULONG>(matched->FormatSize, sizeof range);
        capture = ks.DataFlow == KSPIN_DATAFLOW_OUT;
        miniport = miniport_;
        miniport->AddRef();
    }
    WAVEFORMATEXTENSIBLE wave;
    NTSTATUS status = ReadWaveFormat(format, wave) ? STATUS_SUCCESS : STATUS_NO_MATCH;
    if (NT_SUCCESS(status)) {
        KSDATARANGE_AUDIO client = ClientRangeOf(format, wave.Format);
        UCHAR chosen[kIntersectionBytes] = {};
        ULONG chosenBytes = 0;
        status = miniport->DataRangeIntersection(connect.PinId, &client.DataRange, &range.DataRange, sizeof chosen,
                                                 chosen, &chosenBytes);
    }
    WaveCyclicPin* created = nullptr;
    if (NT_SUCCESS(status)) {
        created = new (NonPagedPoolNx, kPortClsTag) WaveCyclicPin(connect.PinId, capture);
        status = created == nullptr ? STATUS_INSUFFICIENT_RESOURCES : created->Initialize(miniport, format);
    }
    miniport->Release();
    if (!NT_SUCCESS(status)) {
        if (created != nullptr) {
            created->Close();
            created->Release();
        }
        return status;
    }
    std::lock_guard<std::mutex> held(lock_);
    pins_.push_back(created);
    created->AddRef();
    *pin = created;
    return STATUS_SUCCESS;
}

void WaveCyclicPort::ClosePin(WaveCyclicPin* pin)
{
    pin->Close();
    std::lock_guard<std::mutex> held(lock_);
    auto found = std::find(pins_.begin(), pins_.end(), pin);
    if (found != pins_.end()) {
        pins_.erase(found);
        pin->Release();
    }
}

ULONG WaveCyclicPort::PinCount()
{
    std::lock_guard<std::mutex> held(lock_);
    return descriptor_ == nullptr ? 0 : descriptor_->PinCount;
}

bool WaveCyclicPort::PinFactory(ULONG pinId, KSPIN_DATAFLOW* flow, KSPIN_COMMUNICATION* communication)
{
    std::lock_guard<std::mutex> held(lock_);
    const PCPIN_DESCRIPTOR* factory = PinDescriptor(pinId);
    if (factory == nullptr) {
        return false;
    }
    *flow = factory->KsPinDescriptor.DataFlow;
    *communication = factory->KsPinDescriptor.Communication;
    return true;
}

const PCAUTOMATION_TABLE* WaveCyclicPort::FilterAutomation()
{
    std::lock_guard<std::mutex> held(lock_);
    return descriptor_ == nullptr ? nullptr : descriptor_->AutomationTable;
}

const PCAUTOMATION_TABLE* WaveCyclicPort::PinAutomation(ULONG pinId)
{
    std::lock_guard<std::mutex> held(lock_);
    const PCPIN_DESCRIPTOR* factory = PinDescriptor(pinId);
    return factory == nullptr ? nullptr : factory->AutomationTable;
}

const PCAUTOMATION_TABLE* WaveCyclicPort::NodeAutomation(ULONG nodeId, bool* nodeExists)
{
    std::lock_guard<std::mutex> held(lock_);
    *nodeExists = descriptor_ != nullptr && nodeId < descriptor_->NodeCount && descriptor_->Nodes != nullptr;
    if (!*nodeExists) {
        return nullptr;
    }
    const ULONG stride = descriptor_->NodeSize == 0 ? ULONG(sizeof(PCNODE_DESCRIPTOR)) : descriptor_->NodeSize;
    const auto* node = reinterpret_cast<const PCNODE_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(descriptor_->Nodes) +
                                                                  SIZE_T(nodeId) * stride);
    return node->AutomationTable;
}

}  // namespace sim::portcls
