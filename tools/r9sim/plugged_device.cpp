#include "tools/r9sim/plugged_device.h"

#include <cstdio>

#include "driver/adapter/adapter_extension.h"
#include "driver/adapter/usb_audio_adapter.h"
#include "sim/kernel/machine.h"
#include "sim/pnp/driver_store.h"
#include "sim/pnp/endpoint_store.h"
#include "sim/pnp/plug_and_play.h"
#include "sim/portcls/portcls_sim.h"
#include "sim/registry/machine_registry.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace r9sim {

bool ParseVariant(const std::string& name, sim::devices::R9Variant& variant)
{
    if (name == "r9") {
        variant = sim::devices::R9Variant::HighSpeedUac2;
    } else if (name == "r9-uac1") {
        variant = sim::devices::R9Variant::FullSpeedUac1;
    } else {
        return false;
    }
    return true;
}

PluggedDevice::PluggedDevice(sim::usb::HostController& usb, sim::devices::R9Variant variant, bool oldFashioned)
    : usb_(usb)
{
    if (oldFashioned) {
        // The device's hardware key, where the driver reads its settings at start.
        sim::registry::MachineRegistry().SetDword(
            u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_3A5C&PID_0009\\R9-00000001\\"
            u"Device Parameters",
            u"ForceOldFashionedTransfer", 1);
    }
    // The package installs the driver's service as "TVR9AUDIO", the name the device access library
    // looks for.
    sim::pnp::InstallDriver({u"TVR9AUDIO", &DriverEntry, {u"USB\\VID_3A5C&PID_0009"}});
    auto model = std::make_unique<sim::devices::R9Device>(variant);
    sim::devices::R9Device& r9 = *model;
    r9_ = &r9;
    sim::pnp::PlugResult result = sim::pnp::PlugDevice(usb_, std::move(model));
    device_ = &result.device;
    started_ = result.status == STATUS_SUCCESS;
    if (result.node != nullptr) {
        instancePath_ = result.node->InstancePath();
    }
    std::printf("device: %s\n", result.node != nullptr ? sim::Utf16ToUtf8(result.node->InstancePath()).c_str() : "(unnamed)");
    std::printf("driver: tvr9audio %s (0x%08X)\n", started_ ? "started" : "did not start", unsigned(result.status));
    if (!started_) {
        return;
    }
    if (variant == sim::devices::R9Variant::FullSpeedUac1) {
        // Audio Class 1.0 has no clock entity: each endpoint takes its rate when a stream starts.
        std::printf("device rate: set on the endpoints when a stream starts (now %u Hz)\n",
                    unsigned(r9.CurrentRate(0)));
    } else {
        std::printf("device rate: %u Hz render, %u Hz capture\n", unsigned(r9.CurrentRate(0)),
                    unsigned(r9.CurrentRate(1)));
    }
    for (const sim::portcls::RegisteredSubdevice& subdevice : sim::portcls::RegisteredSubdevices()) {
        std::printf("wave filter: %s\n", sim::Utf16ToUtf8(subdevice.name).c_str());
        for (const std::u16string& path : subdevice.interfacePaths) {
            std::printf("  interface: %s\n", sim::Utf16ToUtf8(path).c_str());
        }
    }
}

void PluggedDevice::Unplug()
{
    if (device_ == nullptr) {
        return;
    }
    const NTSTATUS status = sim::pnp::UnplugDevice(usb_, *device_);
    device_ = nullptr;
    const bool unloaded = sim::pnp::LoadedDriver(u"TVR9AUDIO") == nullptr;
    const bool clean = sim::Machine::Current().Verify().Reports().empty();
    std::printf("unplugged: removal 0x%08X, driver %s, %s\n", unsigned(status), unloaded ? "unloaded" : "still loaded",
                clean ? "nothing left behind" : "the verifier reported problems");
}

void PluggedDevice::Loopback(uint64_t delayFrames)
{
    for (uint32_t input = 0; input < 4; ++input) {
        r9_->Engine().SetInputSignal(input, sim::devices::audio::InputSignal{sim::devices::audio::SignalKind::Loopback});
    }
    r9_->Engine().SetLoopbackLatency(delayFrames);
}

UsbAudioAdapter* PluggedDevice::Adapter() const
{
    if (device_ == nullptr || !started_) {
        return nullptr;
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(device_->Pdo());
    if (top == device_->Pdo()) {
        return nullptr;
    }
    return static_cast<UsbAudioAdapter*>(GetAdapterExtension(top)->adapter);
}

bool PluggedDevice::StartStreaming()
{
    UsbAudioAdapter* adapter = Adapter();
    if (adapter == nullptr) {
        std::printf("streaming: no driver to stream through\n");
        return false;
    }
    streamingSinceNs_ = sim::Machine::Current().Now();
    // A device with both directions starts them together.
    for (StreamDirection direction : {kDirectionOut, kDirectionIn}) {
        if (!adapter->HasDirection(direction)) {
            continue;
        }
        const NTSTATUS status = adapter->StartDirection(direction);
        std::printf("streaming: %s started (0x%08X)\n", direction == kDirectionOut ? "render" : "capture",
                    unsigned(status));
        if (!NT_SUCCESS(status)) {
            return false;
        }
    }
    return true;
}

void PluggedDevice::StopStreaming()
{
    UsbAudioAdapter* adapter = Adapter();
    if (adapter == nullptr) {
        return;
    }
    const double seconds = double(sim::Machine::Current().Now() - streamingSinceNs_) / 1e9;
    // The device's FIFO counts before the stop: a stopped render stream underflows by design.
    const sim::devices::audio::RenderCounters render = r9_->Engine().RenderStats();
    for (StreamDirection direction : {kDirectionOut, kDirectionIn}) {
        if (adapter->HasDirection(direction)) {
            adapter->StopDirection(direction);
        }
    }
    const sim::devices::audio::CaptureCounters capture = r9_->Engine().CaptureStats();
    const EngineStatistics statistics = adapter->Engine().Statistics();
    std::printf("streamed: %.3f s\n", seconds);
    std::printf("  render: %lld frames sent, %ld resets; at the device %llu frames played, %llu underflows, "
                "%llu overflows\n",
                static_cast<long long>(statistics.renderFramesSent), static_cast<long>(statistics.renderResets),
                static_cast<unsigned long long>(render.framesConsumed),
                static_cast<unsigned long long>(render.underflows.count),
                static_cast<unsigned long long>(render.overflows.count));
    std::printf("  capture: %lld frames received, %ld resets; at the device %llu frames sent, %llu lost\n",
                static_cast<long long>(statistics.captureFramesReceived), static_cast<long>(statistics.captureResets),
                static_cast<unsigned long long>(capture.framesSent),
                static_cast<unsigned long long>(capture.framesLost));
    std::printf("  feedback: %ld reports accepted, %ld replaced by the nominal rate\n",
                static_cast<long>(statistics.feedbackAccepted), static_cast<long>(statistics.feedbackReplaced));
}

}  // namespace r9sim
