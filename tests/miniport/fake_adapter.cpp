#include "tests/miniport/fake_adapter.h"

#include <string>

namespace miniport_test {

FakeAdapter::FakeAdapter() : filter{} { filter.PinSize = sizeof(PCPIN_DESCRIPTOR); }

NTSTATUS FakeAdapter::Unexpected(const char* name)
{
    calls.push_back(name);
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS) FakeAdapter::QueryInterface(REFIID id, PVOID* object)
{
    if (IsEqualGUID(id, IID_IUsbAudioAdapter)) {
        calls.push_back("QueryInterface IUsbAudioAdapter");
    }
    if (IsEqualGUID(id, IID_IUnknown) || (offersInterface && IsEqualGUID(id, IID_IUsbAudioAdapter))) {
        *object = static_cast<IUsbAudioAdapter*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(ULONG) FakeAdapter::AddRef() { return ULONG(InterlockedIncrement(&references)); }

STDMETHODIMP_(ULONG) FakeAdapter::Release() { return ULONG(InterlockedDecrement(&references)); }

STDMETHODIMP_(NTSTATUS) FakeAdapter::SetEngineCallback(IEngineCallback* callback)
{
    calls.push_back("SetEngineCallback");
    if (NT_SUCCESS(engineCallbackStatus) && callback != nullptr) {
        engineCallback = callback;
    }
    return engineCallbackStatus;
}

STDMETHODIMP_(PPCFILTER_DESCRIPTOR) FakeAdapter::GetFilterDescriptor()
{
    calls.push_back("GetFilterDescriptor");
    return &filter;
}

STDMETHODIMP_(NTSTATUS) FakeAdapter::GetPinFormatRange(ULONG pin, PULONG channels, PULONG minBits, PULONG maxBits,
                                                       PULONG minRate, PULONG maxRate)
{
    calls.push_back("GetPinFormatRange");
    formatRange = {pin, *channels, *minBits, *maxBits, *minRate, *maxRate};
    if (!NT_SUCCESS(formatRangeStatus)) {
        return formatRangeStatus;
    }
    if (narrowRateTo != 0) {
        *minRate = *maxRate = narrowRateTo;
    }
    if (narrowMaxBitsTo != 0) {
        *maxBits = narrowMaxBitsTo;
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) FakeAdapter::GetSignalProcessingModes(ULONG pin, GUID* mode, PULONG count)
{
    calls.push_back("GetSignalProcessingModes");
    modesPin = pin;
    modesOutput = mode;
    modesCountPointer = count;
    *count = modesCount;
    return modesStatus;
}

STDMETHODIMP_(NTSTATUS) FakeAdapter::RebuildFilterDescriptor()
{
    calls.push_back("RebuildFilterDescriptor");
    return rebuildStatus;
}

STDMETHODIMP_(NTSTATUS) FakeAdapter::Init(PDEVICE_OBJECT, PDEVICE_OBJECT) { return Unexpected("Init"); }
namespace {

std::string Direction(StreamDirection direction) { return direction == kDirectionOut ? " out" : " in"; }

std::string Format(StreamDirection direction, USHORT tag, ULONG channels, ULONG bits, ULONG rate)
{
    return Direction(direction) + " tag " + std::to_string(tag) + ", " + std::to_string(channels) + " ch, " +
           std::to_string(bits) + " bits, " + std::to_string(rate) + " Hz";
}

}  // namespace

STDMETHODIMP_(NTSTATUS) FakeAdapter::ReserveDirections(BOOLEAN in, BOOLEAN out, BOOLEAN exclusive)
{
    calls.push_back(std::string("ReserveDirections") + (in ? " in" : "") + (out ? " out" : "") +
                    (exclusive ? " exclusive" : ""));
    return reserveStatus;
}
STDMETHODIMP_(NTSTATUS) FakeAdapter::ReleaseDirections(BOOLEAN in, BOOLEAN out)
{
    calls.push_back(std::string("ReleaseDirections") + (in ? " in" : "") + (out ? " out" : ""));
    return STATUS_SUCCESS;
}
STDMETHODIMP_(NTSTATUS) FakeAdapter::GetPinCapabilities(ULONG, PULONG, PULONG, PULONG, PULONG, PULONG)
{
    return Unexpected("GetPinCapabilities");
}
STDMETHODIMP_(NTSTATUS) FakeAdapter::GetDirectionCapabilities(StreamDirection, PULONG, PULONG, PULONG, PULONG, PULONG)
{
    return Unexpected("GetDirectionCapabilities");
}
STDMETHODIMP_(NTSTATUS) FakeAdapter::SetDirectionFormat(StreamDirection direction, USHORT tag, ULONG channels,
                                                        ULONG bits, ULONG rate)
{
    calls.push_back("SetDirectionFormat" + Format(direction, tag, channels, bits, rate));
    return formatStatus;
}
STDMETHODIMP_(NTSTATUS) FakeAdapter::ReplaceDirectionFormat(StreamDirection direction, USHORT tag, ULONG channels,
                                                            ULONG bits, ULONG rate)
{
    calls.push_back("ReplaceDirectionFormat" + Format(direction, tag, channels, bits, rate));
    return formatStatus;
}
STDMETHODIMP_(void) FakeAdapter::ClearDirectionFormat(StreamDirection direction)
{
    calls.push_back("ClearDirectionFormat" + Direction(direction));
}
STDMETHODIMP_(NTSTATUS) FakeAdapter::StartDirection(StreamDirection direction)
{
    calls.push_back("StartDirection" + Direction(direction));
    return startStatus;
}
STDMETHODIMP_(NTSTATUS) FakeAdapter::StopDirection(StreamDirection direction)
{
    calls.push_back("StopDirection" + Direction(direction));
    return STATUS_SUCCESS;
}
STDMETHODIMP_(void) FakeAdapter::QueueRenderRegion(PVOID start, ULONG bytes)
{
    regions.push_back({false, start, bytes, false});
}
STDMETHODIMP_(void) FakeAdapter::QueueCaptureRegion(PVOID start, ULONG bytes, BOOLEAN lockHeld)
{
    regions.push_back({true, start, bytes, lockHeld != FALSE});
}
STDMETHODIMP_(void) FakeAdapter::PurgeRenderRegions() { calls.push_back("PurgeRenderRegions"); }
STDMETHODIMP_(void) FakeAdapter::PurgeCaptureRegions() { calls.push_back("PurgeCaptureRegions"); }
STDMETHODIMP_(void) FakeAdapter::OnDeviceRemoval() { Unexpected("OnDeviceRemoval"); }
STDMETHODIMP_(NTSTATUS) FakeAdapter::HandleNodeProperty(PPCPROPERTY_REQUEST) { return Unexpected("HandleNodeProperty"); }
STDMETHODIMP_(NTSTATUS) FakeAdapter::HandleJackProperty(PPCPROPERTY_REQUEST) { return Unexpected("HandleJackProperty"); }
STDMETHODIMP_(NTSTATUS) FakeAdapter::SetDsdMode(USHORT) { return Unexpected("SetDsdMode"); }
STDMETHODIMP_(ULONG) FakeAdapter::GetTransferBufferBytes(StreamDirection)
{
    Unexpected("GetTransferBufferBytes");
    return 0;
}
STDMETHODIMP_(NTSTATUS) FakeAdapter::GetSampleRate(PULONG) { return Unexpected("GetSampleRate"); }
STDMETHODIMP_(NTSTATUS) FakeAdapter::SetSampleRate(ULONG, PULONG) { return Unexpected("SetSampleRate"); }
STDMETHODIMP_(NTSTATUS) FakeAdapter::GetSampleRateRange(PULONG, PULONG) { return Unexpected("GetSampleRateRange"); }
STDMETHODIMP_(NTSTATUS) FakeAdapter::FreeFilterDescriptor() { return Unexpected("FreeFilterDescriptor"); }
STDMETHODIMP_(PPCFILTER_DESCRIPTOR) FakeAdapter::GetFilterDescriptorEx()
{
    Unexpected("GetFilterDescriptorEx");
    return nullptr;
}

}  // namespace miniport_test
