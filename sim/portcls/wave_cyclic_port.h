// The WaveCyclic port PcNewPort(CLSID_PortWaveCyclic) makes: it binds a miniport (Init calls the
// miniport's Init and GetDescription and keeps the filter descriptor), passes Notify on to the
// stream's service group, and unregisters its subdevice through IUnregisterSubdevice. The port and
// its miniport reference each other; PortCls breaks that cycle when the subdevice goes
// (ReleaseChildren), as the real port class does on unregistration and device removal.
#pragma once

#include "sim/portcls/adapter_device.h"

namespace sim::portcls {

class WaveCyclicPort final : public IPortWaveCyclic, public IUnregisterSubdevice, public PoolAllocated {
public:
    // Answered by QueryInterface with the port object itself, so PortCls can tell its own ports.
    static const GUID kImplementationId;

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID interfaceId, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP_(NTSTATUS) Init(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport,
                                 PUNKNOWN unknownAdapter, PRESOURCELIST resourceList) override;
    STDMETHODIMP_(NTSTATUS) GetDeviceProperty(DEVICE_REGISTRY_PROPERTY property, ULONG bufferLength, PVOID buffer,
                                              PULONG resultLength) override;
    STDMETHODIMP_(NTSTATUS) NewRegistryKey(PREGISTRYKEY* key, PUNKNOWN outer, ULONG keyType, ACCESS_MASK access,
                                           POBJECT_ATTRIBUTES attributes, ULONG createOptions,
                                           PULONG disposition) override;
    STDMETHODIMP_(VOID) Notify(PSERVICEGROUP serviceGroup) override;
    STDMETHODIMP_(NTSTATUS) NewSlaveDmaChannel(PDMACHANNELSLAVE* channel, PUNKNOWN outer, PRESOURCELIST resources,
                                               ULONG dmaIndex, ULONG maximumLength, BOOLEAN demandMode,
                                               DMA_SPEED speed) override;
    STDMETHODIMP_(NTSTATUS) NewMasterDmaChannel(PDMACHANNEL* channel, PUNKNOWN outer, PRESOURCELIST resources,
                                                ULONG maximumLength, BOOLEAN dma32BitAddresses,
                                                BOOLEAN dma64BitAddresses, DMA_WIDTH width,
                                                DMA_SPEED speed) override;

    STDMETHODIMP_(NTSTATUS) UnregisterSubdevice(PDEVICE_OBJECT deviceObject, PUNKNOWN unknown) override;

    const PCFILTER_DESCRIPTOR* Descriptor() const { return descriptor_; }
    PDEVICE_OBJECT DeviceObject() const { return deviceObject_; }
    // Tells the miniport about a device power change, if it implements IPowerNotify.
    void NotifyPower(POWER_STATE state);
    void ReleaseChildren();

private:
    ~WaveCyclicPort();

    LONG references_ = 1;
    PDEVICE_OBJECT deviceObject_ = nullptr;
    PMINIPORTWAVECYCLIC miniport_ = nullptr;
    PPCFILTER_DESCRIPTOR descriptor_ = nullptr;
};

}  // namespace sim::portcls
