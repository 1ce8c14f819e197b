#include "driver/miniport/usb_wave_miniport.h"

#include "driver/driver_tuning.h"
#include "driver/miniport/ks_wave_format.h"
#include "driver/miniport/usb_wave_stream.h"
#include "driver/trace.h"

NTSTATUS CreateUsbWaveMiniport(POOL_TYPE poolType, PMINIPORTWAVECYCLIC* miniport)
{
    PAGED_CODE();
    if (miniport == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* object = new (poolType, kObjectPoolTag) UsbWaveMiniport();
    *miniport = object;
    if (object == nullptr) {
        R9_TRACE("CreateUsbWaveMiniport: no memory\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

UsbWaveMiniport::UsbWaveMiniport() : m_References(1), m_Port(nullptr), m_Adapter(nullptr), m_PowerState(0)
{
    // No direction has a stream yet: its guard stays closed until NewStream makes one, so the
    // engine cannot reach a stream that is being built.
    for (ULONG direction = 0; direction < kDirectionCount; ++direction) {
        m_Stream[direction] = nullptr;
        m_Claimed[direction] = 0;
        m_StreamGuard[direction].Initialize();
        m_StreamGuard[direction].Wait();
    }
}

UsbWaveMiniport::~UsbWaveMiniport() { ReleaseBindings(); }

void UnbindUsbWaveMiniport(PMINIPORTWAVECYCLIC miniport)
{
    PAGED_CODE();
    static_cast<UsbWaveMiniport*>(miniport)->ReleaseBindings();
}

void UsbWaveMiniport::ReleaseBindings()
{
    if (m_Adapter != nullptr) {
        m_Adapter->Release();
        m_Adapter = nullptr;
    }
    if (m_Port != nullptr) {
        m_Port->Release();
        m_Port = nullptr;
    }
}

STDMETHODIMP_(NTSTATUS) UsbWaveMiniport::QueryInterface(REFIID interfaceId, PVOID* object)
{
    return NonDelegatingQueryInterface(interfaceId, object);
}

STDMETHODIMP_(ULONG) UsbWaveMiniport::AddRef() { return NonDelegatingAddRef(); }

STDMETHODIMP_(ULONG) UsbWaveMiniport::Release() { return NonDelegatingRelease(); }

STDMETHODIMP_(NTSTATUS) UsbWaveMiniport::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUID(interfaceId, IID_IUnknown) || IsEqualGUID(interfaceId, IID_IEngineCallback)) {
        *object = static_cast<IEngineCallback*>(this);
    } else if (IsEqualGUID(interfaceId, kMiniportInterfaceId) || IsEqualGUID(interfaceId, IID_IMiniportWaveCyclic)) {
        *object = static_cast<IMiniportWaveCyclic*>(this);
    } else if (IsEqualGUID(interfaceId, IID_IPowerNotify)) {
        *object = static_cast<IPowerNotify*>(this);
    } else if (IsEqualGUID(interfaceId, IID_IUsbWaveModes)) {
        *object = static_cast<IUsbWaveModes*>(this);
    } else {
        // Including the interfaces newer ports probe for: the port then works without them.
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(ULONG) UsbWaveMiniport::NonDelegatingAddRef() { return ULONG(InterlockedIncrement(&m_References)); }

STDMETHODIMP_(ULONG) UsbWaveMiniport::NonDelegatingRelease()
{
    const LONG left = InterlockedDecrement(&m_References);
    if (left == 0) {
        delete this;
    }
    return ULONG(left);
}

STDMETHODIMP_(NTSTATUS) UsbWaveMiniport::Init(PUNKNOWN unknownAdapter, PRESOURCELIST, PPORTWAVECYCLIC port)
{
    PAGED_CODE();
    if (unknownAdapter == nullptr || port == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // A miniport serves one port; binding a second would leave the first one's reference behind.
    if (m_Port != nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    m_Port = port;
    m_Port->AddRef();
    IUsbAudioAdapter* adapter = nullptr;
    NTSTATUS status = unknownAdapter->QueryInterface(IID_IUsbAudioAdapter, reinterpret_cast<PVOID*>(&adapter));
    if (NT_SUCCESS(status)) {
        m_Adapter = adapter;
        m_PowerState = PowerDeviceD0;
        // The descriptor carries the data ranges of the current device rate, which may have
        // changed since the last filter was registered.
        status = m_Adapter->RebuildFilterDescriptor();
    }
    if (NT_SUCCESS(status)) {
        status = m_Adapter->SetEngineCallback(static_cast<IEngineCallback*>(this));
    }
    if (!NT_SUCCESS(status)) {
        R9_TRACE("UsbWaveMiniport::Init failed, status 0x%08lx\n", static_cast<unsigned long>(status));
        ReleaseBindings();
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) UsbWaveMiniport::GetDescription(PPCFILTER_DESCRIPTOR* description)
{
    PAGED_CODE();
    if (description == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_Adapter == nullptr) {
        *description = nullptr;
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    *description = m_Adapter->GetFilterDescriptor();
    return STATUS_SUCCESS;
}

// A direction has at most one stream. The direction is reserved with the adapter before the
// stream is made (an exclusive native-DSD ASIO stream refuses it), and the stream becomes
// reachable for the engine only once it is complete.
STDMETHODIMP_(NTSTATUS) UsbWaveMiniport::NewStream(PMINIPORTWAVECYCLICSTREAM* stream, PUNKNOWN, POOL_TYPE,
                                                   ULONG pin, BOOLEAN capture, PKSDATAFORMAT dataFormat,
                                                   PDMACHANNEL* dmaChannel, PSERVICEGROUP* serviceGroup)
{
    PAGED_CODE();
    if (stream == nullptr || dmaChannel == nullptr || serviceGroup == nullptr || dataFormat == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *stream = nullptr;
    *dmaChannel = nullptr;
    *serviceGroup = nullptr;
    if (m_Adapter == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const StreamDirection direction = capture ? kDirectionIn : kDirectionOut;
    if (InterlockedCompareExchange(&m_Claimed[direction], 1, 0) != 0) {
        R9_TRACE("NewStream: pin %lu, direction %c already has a stream\n", static_cast<unsigned long>(pin),
                 DirectionLetter(direction));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = m_Adapter->ReserveDirections(capture ? TRUE : FALSE, capture ? FALSE : TRUE, FALSE);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("NewStream: direction %c not reserved, status 0x%08lx\n", DirectionLetter(direction),
                 static_cast<unsigned long>(status));
        InterlockedExchange(&m_Claimed[direction], 0);
        return status;
    }
    auto* created = new (g_DriverTuning.poolType, kDefaultPoolTag)
        UsbWaveStream(this, m_Adapter, m_Port, pin, capture != FALSE);
    if (created == nullptr) {
        m_Adapter->ReleaseDirections(capture ? TRUE : FALSE, capture ? FALSE : TRUE);
        InterlockedExchange(&m_Claimed[direction], 0);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = created->Initialize(dataFormat);
    if (!NT_SUCCESS(status)) {
        created->Release();
        InterlockedExchange(&m_Claimed[direction], 0);
        return status;
    }
    m_Stream[direction] = created;
    m_StreamGuard[direction].Reopen();
    created->ServiceGroup()->AddRef();
    *serviceGroup = created->ServiceGroup();
    created->AddRef();
    *dmaChannel = static_cast<IDmaChannel*>(created);
    *stream = static_cast<IMiniportWaveCyclicStream*>(created);
    return STATUS_SUCCESS;
}

void UsbWaveMiniport::ForgetStream(UsbWaveStream* stream)
{
    PAGED_CODE();
    const StreamDirection direction = stream->Direction();
    if (m_Stream[direction] != stream) {
        return;
    }
    m_StreamGuard[direction].Wait();
    m_Stream[direction] = nullptr;
    InterlockedExchange(&m_Claimed[direction], 0);
}

STDMETHODIMP_(void) UsbWaveMiniport::PowerChangeNotify(POWER_STATE powerState)
{
    PAGED_CODE();
    const ULONG state = ULONG(powerState.DeviceState);
    if (state == m_PowerState) {
        return;
    }
    if (state >= ULONG(PowerDeviceD0) && state <= ULONG(PowerDeviceD3)) {
        m_PowerState = state;
        return;
    }
    R9_TRACE("PowerChangeNotify: unknown device power state %lu\n", static_cast<unsigned long>(state));
}

STDMETHODIMP_(NTSTATUS) UsbWaveMiniport::GetModes(ULONG pinId, GUID* mode, PULONG count)
{
    PAGED_CODE();
    if (m_Adapter == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return m_Adapter->GetSignalProcessingModes(pinId, mode, count);
}
