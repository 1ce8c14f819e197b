// UsbWaveMiniport: the WaveCyclic miniport of the device's one wave filter. PortCls binds it to
// its port; it describes the filter with the adapter's descriptor, answers format negotiation,
// and registers itself with the adapter as the engine callback, through which the stream engine
// reaches the direction's stream and the adapter unregisters the filter on a rate change.
//
// COM-style with a non-delegating inner unknown. PortCls passes the object around by any of its
// interfaces, so every interface's IUnknown methods reach the inner unknown and its one count.
// There is no aggregation: the object is its own outer unknown.
#pragma once

#include "driver/adapter_interfaces.h"
#include "driver/rundown_guard.h"
#include "platform/kernel_new.h"

// IRQL: PASSIVE_LEVEL. The miniport from `poolType`, tag "PcCr", with one reference on the
// returned interface; STATUS_INSUFFICIENT_RESOURCES when the pool has no room.
NTSTATUS CreateUsbWaveMiniport(POOL_TYPE poolType, PMINIPORTWAVECYCLIC* miniport);

// IRQL: PASSIVE_LEVEL. A miniport bound by its port's Init holds the port, and the port holds it;
// PortCls undoes that when the subdevice is unregistered. For a port whose registration failed,
// nobody will: the miniport lets go of its port and its adapter, so that both objects go with the
// caller's last references.
void UnbindUsbWaveMiniport(PMINIPORTWAVECYCLIC miniport);

class UsbWaveStream;

// The object's own unknown: identity and reference count of the whole miniport.
DECLARE_INTERFACE(IWaveMiniportInnerUnknown)
{
    STDMETHOD_(NTSTATUS, NonDelegatingQueryInterface)(THIS_ REFIID InterfaceId, PVOID* Interface) PURE;
    STDMETHOD_(ULONG, NonDelegatingAddRef)(THIS) PURE;
    STDMETHOD_(ULONG, NonDelegatingRelease)(THIS) PURE;
};

// The bases are in the order of the interface tables in the object; IEngineCallback is primary.
class UsbWaveMiniport final : public IEngineCallback,
                              public IMiniportWaveCyclic,
                              public IPowerNotify,
                              public IUsbWaveModes,
                              public IWaveMiniportInnerUnknown,
                              public PoolAllocated {
public:
    UsbWaveMiniport();

    // IUnknown of every interface.
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID interfaceId, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // The inner unknown.
    STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object) override;
    STDMETHODIMP_(ULONG) NonDelegatingAddRef() override;
    STDMETHODIMP_(ULONG) NonDelegatingRelease() override;

    // IMiniport and IMiniportWaveCyclic. IRQL: PASSIVE_LEVEL, called by the port.
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override;
    STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG pinId, PKSDATARANGE clientRange, PKSDATARANGE ownRange,
                                                  ULONG outputLength, PVOID output, PULONG resultLength) override;
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTWAVECYCLIC port) override;
    STDMETHODIMP_(NTSTATUS) NewStream(PMINIPORTWAVECYCLICSTREAM* stream, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                                      ULONG pin, BOOLEAN capture, PKSDATAFORMAT dataFormat, PDMACHANNEL* dmaChannel,
                                      PSERVICEGROUP* serviceGroup) override;

    // IPowerNotify. IRQL: PASSIVE_LEVEL, called by the port on a device power change.
    STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE powerState) override;

    // IUsbWaveModes. IRQL: PASSIVE_LEVEL.
    STDMETHODIMP_(NTSTATUS) GetModes(ULONG pinId, GUID* mode, PULONG count) override;

    // IEngineCallback. IRQL: <= DISPATCH_LEVEL (the engine's DPCs) up to RequeueCapture;
    // UnregisterSubdevice at PASSIVE_LEVEL.
    STDMETHODIMP_(void) NotifyPort(StreamDirection direction) override;
    STDMETHODIMP_(void) SilenceRegion(StreamDirection direction, PVOID buffer, ULONG bytes) override;
    STDMETHODIMP_(void) AdvanceClock(StreamDirection direction, ULONG bytes, ULONG duration) override;
    STDMETHODIMP_(void) ResetRenderClock(ULONG flag) override;
    STDMETHODIMP_(void) RestartClock(StreamDirection direction) override;
    STDMETHODIMP_(BOOLEAN) AcquireStream(StreamDirection direction) override;
    STDMETHODIMP_(void) ReleaseStream(StreamDirection direction) override;
    STDMETHODIMP_(void) ReportRenderBytes(StreamDirection direction, ULONG bytes, ULONG duration) override;
    STDMETHODIMP_(void) RequeueCapture(StreamDirection direction) override;
    STDMETHODIMP_(NTSTATUS) UnregisterSubdevice(PDEVICE_OBJECT deviceObject) override;

    // The stored device power state (1 = D0 after Init), for the driver's tests.
    ULONG PowerState() const { return m_PowerState; }
    // The adapter the property handlers of the filter reach; null before Init.
    IUsbAudioAdapter* Adapter() const { return m_Adapter; }

    // IRQL: PASSIVE_LEVEL. A stream that is going: once the engine has let go of it, its direction
    // has no stream any more.
    void ForgetStream(UsbWaveStream* stream);

    // Drops the references Init took on the port and the adapter.
    void ReleaseBindings();

private:
    ~UsbWaveMiniport();

    // A direction's stream with its guard held, or null with nothing held. Leave with LeaveStream.
    UsbWaveStream* EnterStream(StreamDirection direction);
    void LeaveStream(StreamDirection direction);

    LONG m_References;
    PPORTWAVECYCLIC m_Port;
    IUsbAudioAdapter* m_Adapter;
    // At most one stream per direction; a stream is reached only while its guard is held. A
    // direction is claimed while NewStream makes its stream, so that two cannot race for it.
    UsbWaveStream* m_Stream[kDirectionCount];
    RundownGuard m_StreamGuard[kDirectionCount];
    LONG m_Claimed[kDirectionCount];
    ULONG m_PowerState;
};
