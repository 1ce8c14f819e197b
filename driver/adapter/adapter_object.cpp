// The adapter as a COM-style object: creation, the interfaces it answers, its reference count and
// what its destruction gives back.
#include "driver/adapter/usb_audio_adapter.h"
#include "driver/miniport/wave_filter_properties.h"
#include "driver/trace.h"

NTSTATUS UsbAudioAdapter::Create(PUNKNOWN outerUnknown, POOL_TYPE poolType, UsbAudioAdapter** adapter)
{
    *adapter = new (poolType, kObjectPoolTag) UsbAudioAdapter(outerUnknown, poolType);
    if (*adapter == nullptr) {
        R9_TRACE("UsbAudioAdapter::Create: no memory\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

UsbAudioAdapter::UsbAudioAdapter(PUNKNOWN outerUnknown, POOL_TYPE poolType)
    : m_OuterUnknown(outerUnknown), m_References(1), m_Pdo(nullptr), m_Fdo(nullptr), m_UsbAudio(poolType),
      m_Filter(), m_PowerState(PowerDeviceD0), m_PreVista(false), m_OldFashioned(false), m_DsdNative(false),
      m_Duplex(false), m_RenderEndpointBuffer(), m_CaptureEndpointBuffer(), m_EndpointsFound(false),
      m_InstancePathBuffer(), m_CurrentRate(0), m_PendingRate(0), m_Format(), m_FormatSet(), m_ReservedIn(0),
      m_ReservedOut(0), m_Exclusive(0), m_EngineCallback(nullptr), m_Engine(*this), m_Owner(0), m_AsioRunning(0)
{
    if (m_OuterUnknown == nullptr) {
        m_OuterUnknown = static_cast<IUsbAudioAdapter*>(this);
    }
    m_Rundown.Initialize();
    m_Engine.Initialize(poolType);
    KeInitializeEvent(&m_RemovalEvent, NotificationEvent, FALSE);
    KeInitializeSpinLock(&m_ReservationLock);
    KeInitializeMutex(&m_ConfigurationMutex, 0);
    KeInitializeMutex(&m_AsioMutex, 0);
    RtlInitEmptyUnicodeString(&m_RenderEndpoint, m_RenderEndpointBuffer, sizeof m_RenderEndpointBuffer);
    RtlInitEmptyUnicodeString(&m_CaptureEndpoint, m_CaptureEndpointBuffer, sizeof m_CaptureEndpointBuffer);
    RtlInitEmptyUnicodeString(&m_InstancePath, m_InstancePathBuffer, sizeof m_InstancePathBuffer);
    // Every filter built from here on names the wave miniport's handlers in its automation tables.
    m_UsbAudio.SetFilterPropertyHandlers(&WaveFilterComponentIdHandler, &WaveNodePropertyForwarder);
}

UsbAudioAdapter::~UsbAudioAdapter()
{
    // The USB layer's model goes with the embedded object; the filter tables point into it.
    m_Engine.Delete();
    m_UsbAudio.FreeFilter(&m_Filter);
}

// With no outer unknown the outer unknown is the primary interface, whose IUnknown slots land in
// these same methods; NonDelegating* then answers.
NTSTATUS UsbAudioAdapter::QueryInterface(REFIID id, PVOID* object)
{
    if (m_OuterUnknown == static_cast<IUsbAudioAdapter*>(this)) {
        return NonDelegatingQueryInterface(id, object);
    }
    return m_OuterUnknown->QueryInterface(id, object);
}

ULONG UsbAudioAdapter::AddRef()
{
    if (m_OuterUnknown == static_cast<IUsbAudioAdapter*>(this)) {
        return NonDelegatingAddRef();
    }
    return m_OuterUnknown->AddRef();
}

ULONG UsbAudioAdapter::Release()
{
    if (m_OuterUnknown == static_cast<IUsbAudioAdapter*>(this)) {
        return NonDelegatingRelease();
    }
    return m_OuterUnknown->Release();
}

NTSTATUS UsbAudioAdapter::NonDelegatingQueryInterface(REFIID id, PVOID* object)
{
    if (IsEqualGUID(id, IID_IUnknown) || IsEqualGUID(id, IID_IUsbAudioAdapter)) {
        *object = static_cast<IUsbAudioAdapter*>(this);
    } else if (IsEqualGUID(id, IID_IAdapterPowerManagement)) {
        *object = static_cast<IAdapterPowerManagement*>(this);
    } else if (IsEqualGUID(id, IID_IUsbAudioAdapterDsd) && m_DsdNative) {
        *object = static_cast<IUsbAudioAdapterDsd*>(this);
    } else if (IsEqualGUID(id, IID_IUsbAudioAdapterNotify)) {
        *object = static_cast<IUsbAudioAdapterNotify*>(this);
    } else {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    AddRef();
    return STATUS_SUCCESS;
}

ULONG UsbAudioAdapter::NonDelegatingAddRef() { return ULONG(InterlockedIncrement(&m_References)); }

ULONG UsbAudioAdapter::NonDelegatingRelease()
{
    const LONG left = InterlockedDecrement(&m_References);
    if (left == 0) {
        delete this;
    }
    return ULONG(left);
}

ULONG UsbAudioAdapter::IsDsdSupported() { return m_DsdNative ? 1 : 0; }

// Nobody listens to position reports yet; FALSE tells the stream to stop sending them.
BOOLEAN UsbAudioAdapter::OnPositionReport(ULONG_PTR, ULONG) { return FALSE; }

bool UsbAudioAdapter::IsRemoving() const
{
    return KeReadStateEvent(const_cast<PRKEVENT>(&m_RemovalEvent)) != 0;
}

bool UsbAudioAdapter::HasDirection(StreamDirection direction) const
{
    return m_UsbAudio.GetStreamingInterface(direction) != nullptr;
}
