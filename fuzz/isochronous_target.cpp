// Isochronous completions: the R9 (one of its variants) streams both directions through the stream
// engine, and an ASIO stream when the input asks for one, while its capture and feedback packets
// come back at lengths, with statuses and with bytes the input chooses, and its render packets'
// handshakes fail as the input says. The driver must reset, replace bad feedback, drop what it
// cannot use, and stop and unload cleanly whatever arrived.
//
// The input's end chooses the variant, the rate, the ASIO stream and how long to stream; its front
// is the packet script.
#include <fuzzer/FuzzedDataProvider.h>

#include "driver/adapter/usb_audio_adapter.h"
#include "driver/mutex_holder.h"
#include "fuzz/harness/adapter_workout.h"
#include "fuzz/harness/device_catalogue.h"
#include "fuzz/harness/fuzzed_packets_device.h"
#include "sim/kernel/machine.h"
#include "sim/pnp/plug_and_play.h"

namespace {

using sim::devices::R9Variant;

constexpr R9Variant kVariants[] = {R9Variant::HighSpeedUac2, R9Variant::FullSpeedUac1, R9Variant::SharedClock,
                                   R9Variant::ImplicitFeedback, R9Variant::EveryOtherMicroframe};
constexpr ULONG kRates[] = {44100, 48000, 96000, 192000, 384000};
constexpr ULONG kBufferFrames[] = {32, 64, 256, 1024};
constexpr int64_t kMillisecondNs = 1000000;

// Opens and starts a duplex ASIO stream as the private interface's handlers do, under the ASIO
// mutex; returns whether it runs.
bool StartAsio(UsbAudioAdapter& adapter, ULONG bufferFrames)
{
    MutexHolder asio(adapter.AsioMutex());
    const AsioStreamRequest request{bufferFrames, true, true, 50, 0};
    if (!NT_SUCCESS(adapter.Engine().Asio().Open(request))) {
        return false;
    }
    if (!NT_SUCCESS(adapter.Engine().Asio().Start())) {
        adapter.Engine().Asio().Close();
        return false;
    }
    return true;
}

void StopAsio(UsbAudioAdapter& adapter)
{
    MutexHolder asio(adapter.AsioMutex());
    adapter.Engine().Asio().Stop();
    adapter.Engine().Asio().Close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const R9Variant variant = input.PickValueInArray(kVariants);
    const ULONG rate = input.PickValueInArray(kRates);
    const bool asio = input.ConsumeBool();
    const ULONG bufferFrames = input.PickValueInArray(kBufferFrames);
    const int64_t streamNs = input.ConsumeIntegralInRange<int64_t>(5, 60) * kMillisecondNs;
    const std::vector<uint8_t> script = input.ConsumeRemainingBytes<uint8_t>();

    sim::Machine machine;
    fuzz::InstallDriverForCatalogue();
    sim::usb::HostController usb;
    auto device = std::make_unique<fuzz::FuzzedPacketsDevice>(variant, fuzz::ByteScript(script.data(), script.size()));
    sim::pnp::PlugResult plugged = sim::pnp::PlugDevice(usb, std::move(device));
    if (IUsbAudioAdapter* started = fuzz::StartedAdapter(plugged.device)) {
        auto& adapter = *static_cast<UsbAudioAdapter*>(started);
        ULONG reregistered = 0;
        adapter.SetSampleRate(rate, &reregistered);
        const bool render = NT_SUCCESS(adapter.StartDirection(kDirectionOut));
        const bool capture = !adapter.IsDuplex() && adapter.HasDirection(kDirectionIn) &&
                             NT_SUCCESS(adapter.StartDirection(kDirectionIn));
        const bool asioRuns = asio && StartAsio(adapter, bufferFrames);
        machine.RunFor(streamNs);
        if (asioRuns) {
            StopAsio(adapter);
        }
        if (capture) {
            adapter.StopDirection(kDirectionIn);
        }
        if (render) {
            adapter.StopDirection(kDirectionOut);
        }
    }
    sim::pnp::UnplugDevice(usb, plugged.device);
    return 0;
}
