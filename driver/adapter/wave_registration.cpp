#include "driver/adapter/wave_registration.h"

#include "driver/adapter/usb_audio_adapter.h"
#include "driver/driver_tuning.h"
#include "driver/miniport/usb_wave_miniport.h"
#include "driver/trace.h"

namespace {

struct SubdeviceName {
    ULONG rate;
    PCWSTR name;
};

const SubdeviceName kSubdeviceNames[] = {
    {32000, W("wave_32000")},   {44100, W("wave_44100")},   {48000, W("wave_48000")},
    {88200, W("wave_88200")},   {96000, W("wave_96000")},   {176400, W("wave_176400")},
    {192000, W("wave_192000")},
};

}  // namespace

PCWSTR WaveSubdeviceName(ULONG rate)
{
    for (const SubdeviceName& entry : kSubdeviceNames) {
        if (entry.rate == rate) {
            return entry.name;
        }
    }
    return nullptr;
}

NTSTATUS RegisterWaveSubdevice(PDEVICE_OBJECT deviceObject, UsbAudioAdapter* adapter)
{
    PAGED_CODE();
    ULONG rate = 0;
    NTSTATUS status = adapter->GetSampleRate(&rate);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const PCWSTR name = WaveSubdeviceName(rate);
    if (name == nullptr) {
        R9_TRACE("RegisterWaveSubdevice: no filter name for %u Hz\n", unsigned(rate));
        return STATUS_UNSUCCESSFUL;
    }

    PPORT port = nullptr;
    PMINIPORTWAVECYCLIC miniport = nullptr;
    status = PcNewPort(&port, CLSID_PortWaveCyclic);
    if (NT_SUCCESS(status)) {
        status = CreateUsbWaveMiniport(g_DriverTuning.poolType, &miniport);
    }
    if (NT_SUCCESS(status)) {
        status = port->Init(deviceObject, nullptr, miniport, static_cast<IUsbAudioAdapter*>(adapter), nullptr);
    }
    if (NT_SUCCESS(status)) {
        // PcRegisterSubdevice takes the name as a non-const string; it does not write to it.
        status = PcRegisterSubdevice(deviceObject, const_cast<PWSTR>(name), port);
        if (!NT_SUCCESS(status)) {
            // PortCls did not take the port: the miniport registered itself with the adapter in
            // Init, and it and the port hold each other. Undone, both go with the releases below.
            adapter->ClearEngineCallback();
            UnbindUsbWaveMiniport(miniport);
        }
    }
    if (!NT_SUCCESS(status)) {
        R9_TRACE("RegisterWaveSubdevice: %u Hz failed 0x%08X\n", unsigned(rate), unsigned(status));
    }
    // The port keeps the miniport, and PortCls the port, for as long as the filter is registered.
    if (miniport != nullptr) {
        miniport->Release();
    }
    if (port != nullptr) {
        port->Release();
    }
    return status;
}
