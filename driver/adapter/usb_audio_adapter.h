// UsbAudioAdapter: the one adapter object of a device. It owns the device's CUSBAudioCL, reads
// the device settings at start, keeps the device rate, the client formats and the reservations,
// builds the filter description the wave miniport hands to PortCls, and takes the adapter's power
// requests. Every other part of the driver reaches the device through its interfaces.
//
// COM-style: the inner unknown is the object's own reference count; the outer unknown given at
// creation receives the IUnknown calls of the other interfaces (the object itself when none).
#pragma once

#include "driver/adapter_interfaces.h"
#include "driver/engine/stream_engine.h"
#include "driver/rundown_guard.h"
#include "driver/usbaudio/usb_audio_cl.h"
#include "platform/kernel_new.h"

class CUSBAudioFeatureUnit;

// The client format last accepted for a direction.
struct DirectionFormat {
    USHORT formatTag;
    ULONG channels;
    ULONG bitsPerSample;
    ULONG sampleRate;
    ULONG blockAlign;
};

// The rate of the first start on a machine, and of a device whose endpoints have no saved format.
inline constexpr ULONG kDefaultSampleRate = 44100;

class UsbAudioAdapter final : public IUsbAudioAdapter,
                              public IAdapterPowerManagement,
                              public IUsbAudioAdapterDsd,
                              public IUsbAudioAdapterNotify,
                              public PoolAllocated {
public:
    // IRQL: PASSIVE_LEVEL. One reference, held by the caller, on the inner unknown.
    static NTSTATUS Create(PUNKNOWN outerUnknown, POOL_TYPE poolType, UsbAudioAdapter** adapter);

    // IUnknown, for every interface: forwarded to the outer unknown.
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // The non-delegating unknown.
    NTSTATUS NonDelegatingQueryInterface(REFIID id, PVOID* object);
    ULONG NonDelegatingAddRef();
    ULONG NonDelegatingRelease();

    // IUsbAudioAdapter.
    STDMETHODIMP_(NTSTATUS) Init(PDEVICE_OBJECT pdo, PDEVICE_OBJECT fdo) override;
    STDMETHODIMP_(NTSTATUS) ReserveDirections(BOOLEAN wantIn, BOOLEAN wantOut, BOOLEAN exclusive) override;
    STDMETHODIMP_(NTSTATUS) ReleaseDirections(BOOLEAN in, BOOLEAN out) override;
    STDMETHODIMP_(NTSTATUS) SetEngineCallback(IEngineCallback* callback) override;
    STDMETHODIMP_(NTSTATUS) GetPinCapabilities(ULONG pinId, PULONG maxChannels, PULONG minBits, PULONG maxBits,
                                               PULONG minRate, PULONG maxRate) override;
    STDMETHODIMP_(NTSTATUS) GetDirectionCapabilities(StreamDirection direction, PULONG maxChannels, PULONG minBits,
                                                     PULONG maxBits, PULONG minRate, PULONG maxRate) override;
    STDMETHODIMP_(NTSTATUS) SetDirectionFormat(StreamDirection direction, USHORT formatTag, ULONG channels,
                                               ULONG bits, ULONG rate) override;
    STDMETHODIMP_(NTSTATUS) ReplaceDirectionFormat(StreamDirection direction, USHORT formatTag, ULONG channels,
                                                   ULONG bits, ULONG rate) override;
    STDMETHODIMP_(void) ClearDirectionFormat(StreamDirection direction) override;
    STDMETHODIMP_(NTSTATUS) StartDirection(StreamDirection direction) override;
    STDMETHODIMP_(NTSTATUS) StopDirection(StreamDirection direction) override;
    STDMETHODIMP_(void) QueueRenderRegion(PVOID buffer, ULONG bytes) override;
    STDMETHODIMP_(void) QueueCaptureRegion(PVOID buffer, ULONG bytes, BOOLEAN lockHeld) override;
    STDMETHODIMP_(void) PurgeRenderRegions() override;
    STDMETHODIMP_(void) PurgeCaptureRegions() override;
    STDMETHODIMP_(void) OnDeviceRemoval() override;
    STDMETHODIMP_(PPCFILTER_DESCRIPTOR) GetFilterDescriptor() override;
    STDMETHODIMP_(NTSTATUS) HandleNodeProperty(PPCPROPERTY_REQUEST request) override;
    STDMETHODIMP_(NTSTATUS) HandleJackProperty(PPCPROPERTY_REQUEST request) override;
    STDMETHODIMP_(NTSTATUS) GetPinFormatRange(ULONG pinId, PULONG channels, PULONG minBits, PULONG maxBits,
                                              PULONG minRate, PULONG maxRate) override;
    STDMETHODIMP_(NTSTATUS) SetDsdMode(USHORT mode) override;
    STDMETHODIMP_(NTSTATUS) GetSignalProcessingModes(ULONG pinId, GUID* mode, PULONG count) override;
    STDMETHODIMP_(ULONG) GetTransferBufferBytes(StreamDirection direction) override;
    STDMETHODIMP_(NTSTATUS) GetSampleRate(PULONG rate) override;
    STDMETHODIMP_(NTSTATUS) SetSampleRate(ULONG rate, PULONG reregistered) override;
    STDMETHODIMP_(NTSTATUS) GetSampleRateRange(PULONG lowest, PULONG highest) override;
    STDMETHODIMP_(NTSTATUS) RebuildFilterDescriptor() override;
    STDMETHODIMP_(NTSTATUS) FreeFilterDescriptor() override;
    STDMETHODIMP_(PPCFILTER_DESCRIPTOR) GetFilterDescriptorEx() override;

    // IAdapterPowerManagement.
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE newState) override;
    STDMETHODIMP_(NTSTATUS) QueryPowerChangeState(POWER_STATE newStateQuery) override;
    STDMETHODIMP_(NTSTATUS) QueryDeviceCapabilities(PDEVICE_CAPABILITIES capabilities) override;

    // IUsbAudioAdapterDsd (SetDsdMode above serves both interfaces).
    STDMETHODIMP_(ULONG) IsDsdSupported() override;

    // IUsbAudioAdapterNotify.
    STDMETHODIMP_(BOOLEAN) OnPositionReport(ULONG_PTR elapsedMs, ULONG position) override;

    // For the driver's own routines and its tests.
    // The miniport that registered itself is going without its filter having been registered.
    void ClearEngineCallback() { ExchangeEngineCallback(nullptr); }
    CUSBAudioCL& UsbAudio() { return m_UsbAudio; }
    bool IsOldFashionedTransfer() const { return m_OldFashioned; }
    bool IsDuplex() const { return m_Duplex; }
    DEVICE_POWER_STATE PowerState() const { return m_PowerState; }
    const DirectionFormat& GetDirectionFormat(StreamDirection direction) const { return m_Format[direction]; }
    bool IsDirectionFormatSet(StreamDirection direction) const { return m_FormatSet[direction]; }
    bool EndpointsFound() const { return m_EndpointsFound; }
    ULONG QueuedRegionBytes(StreamDirection direction) { return m_Engine.QueuedRegionBytes(direction); }
    bool HasDirection(StreamDirection direction) const;
    PDEVICE_OBJECT PhysicalDeviceObject() const { return m_Pdo; }
    PDEVICE_OBJECT Fdo() const { return m_Fdo; }
    bool IsRemoving() const;

    // For the stream engine: the device rate (0 while none is set) and the rate a start uses then,
    // the engine callback (null without a wave filter), and the mutex that serialises starts, stops
    // and everything they depend on.
    ULONG CurrentRate() const { return m_CurrentRate; }
    ULONG PendingRate() const { return m_PendingRate; }
    // Read by the engine's DPCs while a rate change or a failed registration clears it at
    // PASSIVE_LEVEL: every access is interlocked.
    IEngineCallback* EngineCallback() const
    {
        return static_cast<IEngineCallback*>(InterlockedCompareExchangePointer(
            reinterpret_cast<PVOID volatile*>(const_cast<IEngineCallback**>(&m_EngineCallback)), nullptr, nullptr));
    }
    PKMUTEX ConfigurationMutex() { return &m_ConfigurationMutex; }
    StreamEngine& Engine() { return m_Engine; }

    // For the private interface's handles. The ASIO mutex serialises their control requests and
    // cleanups; the owner flag (0 or 1) changes only here, by compare-exchange, so two handles
    // racing for it cannot both win; the rundown guard keeps their requests off a device that is
    // going. The pending rate stands in for the device rate while the device has none.
    PKMUTEX AsioMutex() { return &m_AsioMutex; }
    LONG CompareExchangeOwner(LONG exchange, LONG comparand)
    {
        return InterlockedCompareExchange(&m_Owner, exchange, comparand);
    }
    RundownGuard& Rundown() { return m_Rundown; }
    void SetPendingRate(ULONG rate) { m_PendingRate = rate; }

private:
    friend class UsbAudioAdapterTestAccess;

    UsbAudioAdapter(PUNKNOWN outerUnknown, POOL_TYPE poolType);
    ~UsbAudioAdapter();

    // Init's steps.
    NTSTATUS ReadTransferSettings();
    void ReadDsdSupport();
    NTSTATUS DetermineSampleRate(ULONG* rate);
    NTSTATUS RateFromEndpoints(ULONG* rate);
    NTSTATUS LocateEndpoints();

    // The node property handlers (adapter_node_properties.cpp).
    CUSBAudioFeatureUnit* NodeFeatureUnit(ULONG nodeId) const;
    NTSTATUS VolumeRange(CUSBAudioFeatureUnit* unit, ULONG channel, KSPROPERTY_STEPPING_LONG* range);
    NTSTATUS HandleVolume(PPCPROPERTY_REQUEST request, CUSBAudioFeatureUnit* unit);
    NTSTATUS HandleMute(PPCPROPERTY_REQUEST request, CUSBAudioFeatureUnit* unit);

    bool RenderFollowsCapture() const;
    NTSTATUS PinDirection(ULONG pinId, StreamDirection* direction) const;
    void ClearFormatFields(StreamDirection direction);
    NTSTATUS WriteEndpointRates(ULONG rate);
    void DeleteCachedEndpointFormats();

    PUNKNOWN m_OuterUnknown;
    LONG m_References;

    // Device and USB layer.
    PDEVICE_OBJECT m_Pdo;
    PDEVICE_OBJECT m_Fdo;
    CUSBAudioCL m_UsbAudio;
    PCFILTER_DESCRIPTOR m_Filter;
    DEVICE_POWER_STATE m_PowerState;
    bool m_PreVista;
    bool m_OldFashioned;
    bool m_DsdNative;
    bool m_Duplex;
    KEVENT m_RemovalEvent;
    RundownGuard m_Rundown;
    UNICODE_STRING m_RenderEndpoint;
    UNICODE_STRING m_CaptureEndpoint;
    WCHAR m_RenderEndpointBuffer[39];
    WCHAR m_CaptureEndpointBuffer[39];
    bool m_EndpointsFound;
    UNICODE_STRING m_InstancePath;
    WCHAR m_InstancePathBuffer[201];

    // Rate and formats.
    ULONG m_CurrentRate;
    ULONG m_PendingRate;
    DirectionFormat m_Format[kDirectionCount];
    bool m_FormatSet[kDirectionCount];
    KSPIN_LOCK m_ReservationLock;
    ULONG m_ReservedIn;
    ULONG m_ReservedOut;
    ULONG m_Exclusive;
    IEngineCallback* ExchangeEngineCallback(IEngineCallback* callback)
    {
        return static_cast<IEngineCallback*>(
            InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_EngineCallback), callback));
    }
    IEngineCallback* m_EngineCallback;
    KMUTEX m_ConfigurationMutex;

    StreamEngine m_Engine;

    // The private interface's ASIO stream: its mutex and the owner and running flags.
    KMUTEX m_AsioMutex;
    LONG m_Owner;
    ULONG m_AsioRunning;
};
