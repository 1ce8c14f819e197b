#include "sim/portcls/wave_cyclic_port.h"

#include "sim/kernel/machine.h"

namespace sim::portcls {

// {3C0C2B1E-6A4E-4F35-9D1A-7B2E50C1D0A4}
const GUID WaveCyclicPort::kImplementationId = {
    0x3C0C2B1E, 0x6A4E, 0x4F35, {0x9D, 0x1A, 0x7B, 0x2E, 0x50, 0xC1, 0xD0, 0xA4}};

NTSTATUS PcNewPortImpl(PPORT* outPort, REFCLSID classId);

WaveCyclicPort::~WaveCyclicPort() { ReleaseChildren(); }

STDMETHODIMP_(NTSTATUS) WaveCyclicPort::QueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUID(interfaceId, IID_IUnknown) || IsEqualGUID(interfaceId, IID_IPort) ||
        IsEqualGUID(interfaceId, IID_IPortWaveCyclic)) {
        *object = static_cast<IPortWaveCyclic*>(this);
    } else if (IsEqualGUID(interfaceId, IID_IUnregisterSubdevice)) {
        *object = static_cast<IUnregisterSubdevice*>(this);
    } else if (IsEqualGUID(interfaceId, kImplementationId)) {
        *object = this;
    } else {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) WaveCyclicPort::Init(PDEVICE_OBJECT deviceObject, PIRP, PUNKNOWN unknownMiniport,
                                             PUNKNOWN unknownAdapter, PRESOURCELIST resourceList)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        Machine::Current().Verify().Report("IRQL", "IPortWaveCyclic::Init above PASSIVE_LEVEL");
    }
    if (deviceObject == nullptr || unknownMiniport == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (miniport_ != nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PMINIPORTWAVECYCLIC miniport = nullptr;
    NTSTATUS status = unknownMiniport->QueryInterface(IID_IMiniportWaveCyclic, reinterpret_cast<PVOID*>(&miniport));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    deviceObject_ = deviceObject;
    status = miniport->Init(unknownAdapter, resourceList, this);
    PPCFILTER_DESCRIPTOR descriptor = nullptr;
    if (NT_SUCCESS(status)) {
        status = miniport->GetDescription(&descriptor);
        if (NT_SUCCESS(status) && descriptor == nullptr) {
            status = STATUS_UNSUCCESSFUL;
        }
    }
    if (!NT_SUCCESS(status)) {
        miniport->Release();
        deviceObject_ = nullptr;
        return status;
    }
    // Property handlers get the unknown the adapter driver passed here as their major target.
    unknownMiniport->AddRef();
    std::lock_guard<std::mutex> held(lock_);
    miniport_ = miniport;
    unknownMiniport_ = unknownMiniport;
    descriptor_ = descriptor;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) WaveCyclicPort::GetDeviceProperty(DEVICE_REGISTRY_PROPERTY property, ULONG bufferLength,
                                                          PVOID buffer, PULONG resultLength)
{
    AdapterDevice* adapter = deviceObject_ == nullptr ? nullptr : AdapterOf(deviceObject_, "GetDeviceProperty");
    if (adapter == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return IoGetDeviceProperty(adapter->pdo, property, bufferLength, buffer, resultLength);
}

// Registry keys through the port are not offered: the driver opens its device key itself.
STDMETHODIMP_(NTSTATUS) WaveCyclicPort::NewRegistryKey(PREGISTRYKEY* key, PUNKNOWN, ULONG, ACCESS_MASK,
                                                       POBJECT_ATTRIBUTES, ULONG, PULONG)
{
    if (key != nullptr) {
        *key = nullptr;
    }
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(VOID) WaveCyclicPort::Notify(PSERVICEGROUP serviceGroup)
{
    if (serviceGroup != nullptr) {
        serviceGroup->RequestService();
    }
}

// A USB adapter has no system DMA controller for slave channels to run on.
STDMETHODIMP_(NTSTATUS) WaveCyclicPort::NewSlaveDmaChannel(PDMACHANNELSLAVE* channel, PUNKNOWN, PRESOURCELIST, ULONG,
                                                           ULONG, BOOLEAN, DMA_SPEED)
{
    if (channel != nullptr) {
        *channel = nullptr;
    }
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS) WaveCyclicPort::NewMasterDmaChannel(PDMACHANNEL* channel, PUNKNOWN, PRESOURCELIST,
                                                            ULONG maximumLength, BOOLEAN, BOOLEAN, DMA_WIDTH,
                                                            DMA_SPEED)
{
    if (channel == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *channel = nullptr;
    if (maximumLength == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    return NewCommonBufferDmaChannel(maximumLength, channel);
}

STDMETHODIMP_(NTSTATUS) WaveCyclicPort::UnregisterSubdevice(PDEVICE_OBJECT deviceObject, PUNKNOWN unknown)
{
    return sim::portcls::UnregisterSubdevice(deviceObject, unknown);
}

void WaveCyclicPort::NotifyPower(POWER_STATE state)
{
    PMINIPORTWAVECYCLIC miniport = ReferenceMiniport();
    if (miniport == nullptr) {
        return;
    }
    PPOWERNOTIFY notify = nullptr;
    if (NT_SUCCESS(miniport->QueryInterface(IID_IPowerNotify, reinterpret_cast<PVOID*>(&notify)))) {
        notify->PowerChangeNotify(state);
        notify->Release();
    }
    miniport->Release();
}

void WaveCyclicPort::ReleaseChildren()
{
    PMINIPORTWAVECYCLIC miniport;
    PUNKNOWN unknown;
    {
        std::lock_guard<std::mutex> held(lock_);
        miniport = miniport_;
        unknown = unknownMiniport_;
        miniport_ = nullptr;
        unknownMiniport_ = nullptr;
        descriptor_ = nullptr;
    }
    if (miniport != nullptr) {
        miniport->Release();
    }
    if (unknown != nullptr) {
        unknown->Release();
    }
}

PUNKNOWN WaveCyclicPort::ReferenceUnknownMiniport()
{
    std::lock_guard<std::mutex> held(lock_);
    if (unknownMiniport_ != nullptr) {
        unknownMiniport_->AddRef();
    }
    return unknownMiniport_;
}

PMINIPORTWAVECYCLIC WaveCyclicPort::ReferenceMiniport()
{
    std::lock_guard<std::mutex> held(lock_);
    if (miniport_ != nullptr) {
        miniport_->AddRef();
    }
    return miniport_;
}

NTSTATUS PcNewPortImpl(PPORT* outPort, REFCLSID classId)
{
    if (outPort == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *outPort = nullptr;
    if (!IsEqualGUID(classId, CLSID_PortWaveCyclic)) {
        return STATUS_NOT_SUPPORTED;
    }
    auto* port = new (NonPagedPoolNx, kPortClsTag) WaveCyclicPort();
    if (port == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *outPort = static_cast<IPortWaveCyclic*>(port);
    return STATUS_SUCCESS;
}

}  // namespace sim::portcls

NTSTATUS NTAPI PcNewPort(PPORT* OutPort, REFCLSID ClassId) { return sim::portcls::PcNewPortImpl(OutPort, ClassId); }
