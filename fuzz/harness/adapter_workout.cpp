#include "fuzz/harness/adapter_workout.h"

#include "driver/adapter/adapter_extension.h"
#include "fuzz/harness/format_bounds.h"

namespace fuzz {

namespace {

// More pins than any device here has: the answers for pins beyond the last are refusals.
constexpr ULONG kPinsAsked = 8;

void CyclePower(IUsbAudioAdapter& adapter)
{
    IAdapterPowerManagement* power = nullptr;
    if (!NT_SUCCESS(adapter.QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<PVOID*>(&power)))) {
        return;
    }
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    power->PowerChangeState(state);
    state.DeviceState = PowerDeviceD0;
    power->PowerChangeState(state);
    power->Release();
}

}  // namespace

IUsbAudioAdapter* StartedAdapter(sim::usb::BusDevice& device)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(device.Pdo());
    return top == device.Pdo() ? nullptr : GetAdapterExtension(top)->adapter;
}

void WorkOutAdapter(IUsbAudioAdapter& adapter, const std::vector<ULONG>& rates)
{
    ULONG lowest = 0;
    ULONG highest = 0;
    adapter.GetSampleRateRange(&lowest, &highest);
    for (ULONG rate : rates) {
        ULONG reregistered = 0;
        adapter.SetSampleRate(rate, &reregistered);
    }
    for (ULONG pin = 0; pin < kPinsAsked; ++pin) {
        FormatBounds capabilities;
        adapter.GetPinCapabilities(pin, &capabilities.channels, &capabilities.minBits, &capabilities.maxBits,
                                   &capabilities.minRate, &capabilities.maxRate);
        FormatBounds range;
        adapter.GetPinFormatRange(pin, &range.channels, &range.minBits, &range.maxBits, &range.minRate,
                                  &range.maxRate);
    }
    adapter.SetDsdMode(1);
    adapter.SetDsdMode(0);
    CyclePower(adapter);
}

}  // namespace fuzz
