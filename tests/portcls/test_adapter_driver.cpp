#include "tests/portcls/test_adapter_driver.h"

#include <mutex>

#include "platform/kernel_new.h"

namespace portcls_test {
namespace {

constexpr ULONG kTestTag = 'tseT';

std::mutex eventsLock;
LONG liveObjects = 0;
NTSTATUS powerQueryAnswer = STATUS_SUCCESS;
LONG streamPosition = 0;
PUCHAR lastStreamBuffer = nullptr;

void Record(const std::string& event)
{
    std::lock_guard<std::mutex> guard(eventsLock);
    Events().push_back(event);
}

std::string StateName(POWER_STATE state) { return "D" + std::to_string(int(state.DeviceState) - 1); }

class TestAdapter final : public IAdapterPowerManagement, public PoolAllocated {
public:
    TestAdapter() { InterlockedIncrement(&liveObjects); }
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override
    {
        if (IsEqualGUID(id, IID_IUnknown) || IsEqualGUID(id, IID_IAdapterPowerManagement)) {
            *object = static_cast<IAdapterPowerManagement*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ULONG(InterlockedIncrement(&references_)); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG left = InterlockedDecrement(&references_);
        if (left == 0) {
            delete this;
        }
        return ULONG(left);
    }
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE state) override
    {
        Record("adapter " + StateName(state) + (KeGetCurrentIrql() == PASSIVE_LEVEL ? "" : " not at passive"));
    }
    STDMETHODIMP_(NTSTATUS) QueryPowerChangeState(POWER_STATE state) override
    {
        Record("adapter query " + StateName(state));
        return powerQueryAnswer;
    }
    STDMETHODIMP_(NTSTATUS) QueryDeviceCapabilities(PDEVICE_CAPABILITIES capabilities) override
    {
        capabilities->SurpriseRemovalOK = 1;
        return STATUS_SUCCESS;
    }

private:
    ~TestAdapter() { InterlockedDecrement(&liveObjects); }
    LONG references_ = 1;
};

KSDATARANGE_AUDIO PcmRange()
{
    KSDATARANGE_AUDIO range{};
    range.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = 2;
    range.MinimumBitsPerSample = range.MaximumBitsPerSample = 24;
    range.MinimumSampleFrequency = range.MaximumSampleFrequency = 44100;
    return range;
}
KSDATARANGE_AUDIO pcmRange = PcmRange();
PKSDATARANGE ranges[] = {&pcmRange.DataRange};

PCPIN_DESCRIPTOR Pin(KSPIN_DATAFLOW flow, KSPIN_COMMUNICATION communication)
{
    PCPIN_DESCRIPTOR pin{};
    pin.MaxGlobalInstanceCount = 1;
    pin.MaxFilterInstanceCount = 1;
    pin.KsPinDescriptor.DataRangesCount = 1;
    pin.KsPinDescriptor.DataRanges = ranges;
    pin.KsPinDescriptor.DataFlow = flow;
    pin.KsPinDescriptor.Communication = communication;
    return pin;
}

// Render sink and its bridge to the outputs, capture sink and its bridge from the inputs.
PCPIN_DESCRIPTOR pins[] = {Pin(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK),
                           Pin(KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE),
                           Pin(KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK),
                           Pin(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE)};
PCFILTER_DESCRIPTOR filter = {0, nullptr, sizeof(PCPIN_DESCRIPTOR), 4, pins, sizeof(PCNODE_DESCRIPTOR), 0,
                              nullptr, 0, nullptr, 0, nullptr};

class TestStream final : public IMiniportWaveCyclicStream, public PoolAllocated {
public:
    TestStream(PDMACHANNEL dma, PSERVICEGROUP group) : dma_(dma), group_(group) { InterlockedIncrement(&liveObjects); }
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override
    {
        if (IsEqualGUID(id, IID_IUnknown) || IsEqualGUID(id, IID_IMiniportWaveCyclicStream)) {
            *object = static_cast<IMiniportWaveCyclicStream*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ULONG(InterlockedIncrement(&references_)); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG left = InterlockedDecrement(&references_);
        if (left == 0) {
            delete this;
        }
        return ULONG(left);
    }
    STDMETHODIMP_(NTSTATUS) SetFormat(PKSDATAFORMAT) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(ULONG) SetNotificationFreq(ULONG interval, PULONG frameSize) override
    {
        *frameSize = interval * 44100 / 1000 * kStreamFrameBytes;
        return interval;
    }
    STDMETHODIMP_(NTSTATUS) SetState(KSSTATE state) override
    {
        Record("stream " + std::to_string(int(state)) + (KeGetCurrentIrql() == PASSIVE_LEVEL ? "" : " not at passive"));
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) GetPosition(PULONG position) override
    {
        *position = ULONG(InterlockedCompareExchange(&streamPosition, 0, 0));
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) NormalizePhysicalPosition(PLONGLONG) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(void) Silence(PVOID buffer, ULONG bytes) override { RtlZeroMemory(buffer, bytes); }

private:
    ~TestStream()
    {
        dma_->Release();
        group_->Release();
        Record("stream released");
        InterlockedDecrement(&liveObjects);
    }
    LONG references_ = 1;
    PDMACHANNEL dma_;
    PSERVICEGROUP group_;
};

class TestMiniport final : public IMiniportWaveCyclic, public IPowerNotify, public PoolAllocated {
public:
    TestMiniport() { InterlockedIncrement(&liveObjects); }
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override
    {
        if (IsEqualGUID(id, IID_IUnknown) || IsEqualGUID(id, IID_IMiniport) ||
            IsEqualGUID(id, IID_IMiniportWaveCyclic)) {
            *object = static_cast<IMiniportWaveCyclic*>(this);
        } else if (IsEqualGUID(id, IID_IPowerNotify)) {
            *object = static_cast<IPowerNotify*>(this);
        } else {
            *object = nullptr;
            return STATUS_INVALID_PARAMETER;
        }
        AddRef();
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ULONG(InterlockedIncrement(&references_)); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG left = InterlockedDecrement(&references_);
        if (left == 0) {
            delete this;
        }
        return ULONG(left);
    }
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override
    {
        *description = &filter;
        return STATUS_SUCCESS;
    }
    // Any format in its ranges suits it.
    STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override
    {
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN, PRESOURCELIST, PPORTWAVECYCLIC port) override
    {
        port_ = port;
        port_->AddRef();
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(NTSTATUS) NewStream(PMINIPORTWAVECYCLICSTREAM* stream, PUNKNOWN, POOL_TYPE, ULONG pin,
                                      BOOLEAN capture, PKSDATAFORMAT, PDMACHANNEL* dma, PSERVICEGROUP* group) override
    {
        Record("new stream " + std::to_string(pin) + (capture ? " capture" : " render"));
        NTSTATUS status = port_->NewMasterDmaChannel(dma, nullptr, nullptr, kStreamBufferBytes, TRUE, FALSE,
                                                     Width32Bits, TypeF);
        if (NT_SUCCESS(status)) {
            status = (*dma)->AllocateBuffer(kStreamBufferBytes, nullptr);
        }
        if (NT_SUCCESS(status)) {
            status = PcNewServiceGroup(group, nullptr);
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
        lastStreamBuffer = static_cast<PUCHAR>((*dma)->SystemAddress());
        (*dma)->AddRef();
        (*group)->AddRef();
        *stream = new (NonPagedPoolNx, kTestTag) TestStream(*dma, *group);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE state) override { Record("miniport " + StateName(state)); }

private:
    ~TestMiniport()
    {
        if (port_ != nullptr) {
            port_->Release();
        }
        Record("miniport released");
        InterlockedDecrement(&liveObjects);
    }
    LONG references_ = 1;
    PPORTWAVECYCLIC port_ = nullptr;
};

NTSTATUS StartDevice(PDEVICE_OBJECT deviceObject, PIRP, PRESOURCELIST resources)
{
    Record(KeGetCurrentIrql() == PASSIVE_LEVEL && resources != nullptr ? "start" : "start: bad call");
    auto* extension = reinterpret_cast<TestExtension*>(static_cast<PUCHAR>(deviceObject->DeviceExtension) +
                                                       PORT_CLASS_DEVICE_EXTENSION_SIZE);
    extension->marker = kExtensionMarker;
    auto* adapter = new (NonPagedPoolNx, kTestTag) TestAdapter();
    NTSTATUS status = PcRegisterAdapterPowerManagement(adapter, deviceObject);
    PPORT port = nullptr;
    if (NT_SUCCESS(status)) {
        status = NewWavePort(deviceObject, &port);
    }
    if (NT_SUCCESS(status)) {
        WCHAR name[] = W("wave_44100");
        status = PcRegisterSubdevice(deviceObject, name, port);
        port->Release();
    }
    adapter->Release();
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo)
{
    return PcAddAdapterDevice(driverObject, pdo, &StartDevice, 1,
                              ULONG(PORT_CLASS_DEVICE_EXTENSION_SIZE + sizeof(TestExtension)));
}

}  // namespace

std::vector<std::string>& Events()
{
    static std::vector<std::string> events;
    return events;
}

LONG LiveObjects() { return liveObjects; }

void SetPowerQueryAnswer(NTSTATUS status) { powerQueryAnswer = status; }

void SetStreamPosition(ULONG position) { InterlockedExchange(&streamPosition, LONG(position)); }

PUCHAR LastStreamBuffer() { return lastStreamBuffer; }

NTSTATUS NewWavePort(PDEVICE_OBJECT deviceObject, PPORT* port)
{
    NTSTATUS status = PcNewPort(port, CLSID_PortWaveCyclic);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* miniport = new (NonPagedPoolNx, kTestTag) TestMiniport();
    status = (*port)->Init(deviceObject, nullptr, static_cast<IMiniportWaveCyclic*>(miniport), nullptr, nullptr);
    miniport->Release();
    if (!NT_SUCCESS(status)) {
        (*port)->Release();
        *port = nullptr;
    }
    return status;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    return PcInitializeAdapterDriver(driverObject, registryPath, &AddDevice);
}

}  // namespace portcls_test
