// The WaveCyclic port PcNewPort(CLSID_PortWaveCyclic) makes: it binds a miniport (Init calls the
// miniport's Init and GetDescription and keeps the filter descriptor), passes Notify on to the
// stream's service group, and unregisters its subdevice through IUnregisterSubdevice. The port and
// its miniport reference each other; PortCls breaks that cycle when the subdevice goes
// (ReleaseChildren), as the real port class does on unregistration and device removal. Its pins
// (wave_cyclic_pin.h) keep their streams, and through them the miniport, until they close; a port
// whose subdevice has gone makes no new pins and answers no filter properties.
#pragma once

#include <mutex>
#include <vector>

#include "sim/api/ks_streaming.h"
#include "sim/portcls/adapter_device.h"
#include "sim/portcls/kernel_unknown.h"

namespace sim::portcls {

class WaveCyclicPort final : public IPortWaveCyclic, public IUnregisterSubdevice, public KernelReferences,
                             public PoolAllocated {
public:
    // Answered by QueryInterface with the port object itself, so PortCls can tell its own ports.
    static const GUID kImplementationId;

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID interfaceId, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override { return AddReference(); }
    STDMETHODIMP_(ULONG) Release() override { return DropReference(); }

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
    // The miniport, referenced, while the subdevice is registered; else null.
    PMINIPORTWAVECYCLIC ReferenceMiniport();
    // The unknown the miniport was bound with (Init's UnknownMiniport), referenced; else null.
    PUNKNOWN ReferenceUnknownMiniport();

    // IRQL: PASSIVE_LEVEL. A pin on this filter from a create request's connect record and data
    // format (port_pins.cpp); the pin comes referenced.
    NTSTATUS CreatePin(const KSPIN_CONNECT& connect, const KSDATAFORMAT& format, class WaveCyclicPin** pin);
    void ClosePin(class WaveCyclicPin* pin);
    // The automation table of the filter, of pin factory `pinId` or of node `nodeId`; null when
    // there is none (or no such pin or node, or the subdevice has gone).
    const PCAUTOMATION_TABLE* FilterAutomation();
    const PCAUTOMATION_TABLE* PinAutomation(ULONG pinId);
    const PCAUTOMATION_TABLE* NodeAutomation(ULONG nodeId, bool* nodeExists);
    // The filter's pin factories: how many, and one's data flow and communication.
    ULONG PinCount();
    bool PinFactory(ULONG pinId, KSPIN_DATAFLOW* flow, KSPIN_COMMUNICATION* communication);
    PDEVICE_OBJECT DeviceObject() const { return deviceObject_; }
    // Tells the miniport about a device power change, if it implements IPowerNotify.
    void NotifyPower(POWER_STATE state);
    void ReleaseChildren();

private:
    ~WaveCyclicPort() override;

    const PCPIN_DESCRIPTOR* PinDescriptor(ULONG pinId) const;

    PDEVICE_OBJECT deviceObject_ = nullptr;
    std::mutex lock_;  // the miniport, the descriptor and the pins
    PMINIPORTWAVECYCLIC miniport_ = nullptr;
    PUNKNOWN unknownMiniport_ = nullptr;
    PPCFILTER_DESCRIPTOR descriptor_ = nullptr;
    std::vector<class WaveCyclicPin*> pins_;
};

}  // namespace sim::portcls
