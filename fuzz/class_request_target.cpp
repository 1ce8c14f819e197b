// Class-request replies: the driver starts on a device (the R9, its variants, the real devices of
// the fixtures) whose control transfers (descriptor reads, clock RANGE and current values, clock
// validity, selector positions, feature-unit levels, connectors, the mode request) answer as the
// input's script says, stalls included; then the device rate is changed, DSD mode switched, power
// cycled, and the device pulled out, still answering from the script.
//
// The device, the rates and the script come from the input: the device and rates from its end, the
// script from its front.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/harness/adapter_workout.h"
#include "fuzz/harness/device_catalogue.h"
#include "fuzz/harness/scripted_device.h"
#include "sim/kernel/machine.h"
#include "sim/pnp/plug_and_play.h"

namespace {

// Rates the audio stack, the private interface and the control panel ask for; one that no table
// knows; and the input's own.
constexpr ULONG kRates[] = {44100, 48000, 88200, 96000, 176400, 192000, 32000, 22050, 384000};
constexpr int kMostRateChanges = 3;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const auto& catalogue = fuzz::DeviceCatalogue();
    const fuzz::CatalogueDevice& choice = catalogue[input.ConsumeIntegralInRange<size_t>(0, catalogue.size() - 1)];
    std::vector<ULONG> rates(input.ConsumeIntegralInRange<int>(0, kMostRateChanges));
    for (ULONG& rate : rates) {
        rate = input.ConsumeBool() ? input.PickValueInArray(kRates) : input.ConsumeIntegral<ULONG>();
    }
    const std::vector<uint8_t> script = input.ConsumeRemainingBytes<uint8_t>();

    sim::Machine machine;
    fuzz::InstallDriverForCatalogue();
    sim::usb::HostController usb;
    auto device = std::make_unique<fuzz::ScriptedDevice>(choice.descriptors, choice.speed,
                                                         fuzz::ReplyScript(script.data(), script.size()));
    if (!choice.clockRanges.empty()) {
        device->Function().SetClockRanges(choice.clockRanges);
    }
    sim::pnp::PlugResult plugged = sim::pnp::PlugDevice(usb, std::move(device));
    if (IUsbAudioAdapter* adapter = fuzz::StartedAdapter(plugged.device)) {
        fuzz::WorkOutAdapter(*adapter, rates);
    }
    sim::pnp::UnplugDevice(usb, plugged.device);
    return 0;
}
