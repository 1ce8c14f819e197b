// An IUsbAudioAdapter for the miniport's and the wave stream's tests: it writes each call it gets
// to `calls` (queued regions to `regions`), answers the calls the miniport and its streams make
// from scripted results, and refuses everything else. The test owns it; `references` shows what
// the miniport still holds (1 is the test's own).
#pragma once

#include <string>
#include <vector>

#include "driver/adapter_interfaces.h"

namespace miniport_test {

// What GetPinFormatRange received (after the miniport's intersection) and how it answers.
struct FormatRangeCall {
    ULONG pin = 0;
    ULONG channels = 0;
    ULONG minBits = 0;
    ULONG maxBits = 0;
    ULONG minRate = 0;
    ULONG maxRate = 0;
};

class FakeAdapter final : public IUsbAudioAdapter {
public:
    FakeAdapter();

    // Scripts.
    bool offersInterface = true;
    NTSTATUS rebuildStatus = STATUS_SUCCESS;
    NTSTATUS engineCallbackStatus = STATUS_SUCCESS;
    NTSTATUS formatRangeStatus = STATUS_SUCCESS;
    ULONG narrowRateTo = 0;  // nonzero: both rate bounds become this, as a device running at it
    ULONG narrowMaxBitsTo = 0;  // nonzero: the highest bits become this
    NTSTATUS modesStatus = STATUS_SUCCESS;
    ULONG modesCount = 1;
    // What a wave stream asks of the adapter.
    NTSTATUS reserveStatus = STATUS_SUCCESS;
    NTSTATUS formatStatus = STATUS_SUCCESS;
    NTSTATUS startStatus = STATUS_SUCCESS;

    // Records.
    std::vector<std::string> calls;
    LONG references = 1;
    IEngineCallback* engineCallback = nullptr;
    FormatRangeCall formatRange;
    ULONG modesPin = 0;
    GUID* modesOutput = nullptr;
    PULONG modesCountPointer = nullptr;
    // The regions queued, in order: render or capture, where, how long, whether the lock was held.
    struct Region {
        bool capture;
        PVOID start;
        ULONG bytes;
        bool lockHeld;
    };
    std::vector<Region> regions;

    PCFILTER_DESCRIPTOR filter;

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP_(NTSTATUS) Init(PDEVICE_OBJECT, PDEVICE_OBJECT) override;
    STDMETHODIMP_(NTSTATUS) ReserveDirections(BOOLEAN, BOOLEAN, BOOLEAN) override;
    STDMETHODIMP_(NTSTATUS) ReleaseDirections(BOOLEAN, BOOLEAN) override;
    STDMETHODIMP_(NTSTATUS) SetEngineCallback(IEngineCallback* callback) override;
    STDMETHODIMP_(NTSTATUS) GetPinCapabilities(ULONG, PULONG, PULONG, PULONG, PULONG, PULONG) override;
    STDMETHODIMP_(NTSTATUS) GetDirectionCapabilities(StreamDirection, PULONG, PULONG, PULONG, PULONG,
                                                     PULONG) override;
    STDMETHODIMP_(NTSTATUS) SetDirectionFormat(StreamDirection, USHORT, ULONG, ULONG, ULONG) override;
    STDMETHODIMP_(NTSTATUS) ReplaceDirectionFormat(StreamDirection, USHORT, ULONG, ULONG, ULONG) override;
    STDMETHODIMP_(void) ClearDirectionFormat(StreamDirection) override;
    STDMETHODIMP_(NTSTATUS) StartDirection(StreamDirection) override;
    STDMETHODIMP_(NTSTATUS) StopDirection(StreamDirection) override;
    STDMETHODIMP_(void) QueueRenderRegion(PVOID, ULONG) override;
    STDMETHODIMP_(void) QueueCaptureRegion(PVOID, ULONG, BOOLEAN) override;
    STDMETHODIMP_(void) PurgeRenderRegions() override;
    STDMETHODIMP_(void) PurgeCaptureRegions() override;
    STDMETHODIMP_(void) OnDeviceRemoval() override;
    STDMETHODIMP_(PPCFILTER_DESCRIPTOR) GetFilterDescriptor() override;
    STDMETHODIMP_(NTSTATUS) HandleNodeProperty(PPCPROPERTY_REQUEST) override;
    STDMETHODIMP_(NTSTATUS) HandleJackProperty(PPCPROPERTY_REQUEST) override;
    STDMETHODIMP_(NTSTATUS) GetPinFormatRange(ULONG pin, PULONG channels, PULONG minBits, PULONG maxBits,
                                              PULONG minRate, PULONG maxRate) override;
    STDMETHODIMP_(NTSTATUS) SetDsdMode(USHORT) override;
    STDMETHODIMP_(NTSTATUS) GetSignalProcessingModes(ULONG pin, GUID* mode, PULONG count) override;
    STDMETHODIMP_(ULONG) GetTransferBufferBytes(StreamDirection) override;
    STDMETHODIMP_(NTSTATUS) GetSampleRate(PULONG) override;
    STDMETHODIMP_(NTSTATUS) SetSampleRate(ULONG, PULONG) override;
    STDMETHODIMP_(NTSTATUS) GetSampleRateRange(PULONG, PULONG) override;
    STDMETHODIMP_(NTSTATUS) RebuildFilterDescriptor() override;
    STDMETHODIMP_(NTSTATUS) FreeFilterDescriptor() override;
    STDMETHODIMP_(PPCFILTER_DESCRIPTOR) GetFilterDescriptorEx() override;

private:
    NTSTATUS Unexpected(const char* name);
};

}  // namespace miniport_test
