// The R9 plugged into a booted machine with the driver package installed: Plug and Play loads
// tvr9audio and starts it on the device, and r9sim reports what the user would see in Device
// Manager and the sound settings.
#pragma once

#include <memory>
#include <string>

#include "sim/devices/r9/r9_device.h"
#include "sim/usb/host_controller.h"

class UsbAudioAdapter;

namespace r9sim {

class PluggedDevice {
public:
    // Installs the driver and plugs the device; prints the start's outcome, the device rate and
    // the wave filters with their device interfaces.
    // With `oldFashioned` the device's settings ask the driver for old-fashioned transfer.
    PluggedDevice(sim::usb::HostController& usb, sim::devices::R9Variant variant, bool oldFashioned = false);
    // Pulls the device out and reports whether the driver unloaded without leaving anything.
    void Unplug();
    bool Started() const { return started_; }
    // The device's instance path; empty when it has no device node.
    const std::u16string& InstancePath() const { return instancePath_; }
    sim::devices::R9Device& Device() const { return *r9_; }
    // The driver's adapter on the device, or null when the driver did not start.
    UsbAudioAdapter* Adapter() const;

    // Starts both directions through the driver's adapter, as the audio stack's streams would
    // (with no application playing: render sends silence); false when the driver refused.
    bool StartStreaming();
    // Stops what StartStreaming started and prints what moved: frames each way, the driver's
    // resets, and what the device's render FIFO and capture endpoint counted.
    void StopStreaming();

    // Every input hears the output of the same number, after the converters' delay.
    void Loopback(uint64_t delayFrames);

private:
    sim::usb::HostController& usb_;
    sim::devices::R9Device* r9_ = nullptr;
    int64_t streamingSinceNs_ = 0;
    sim::usb::BusDevice* device_ = nullptr;
    std::u16string instancePath_;
    bool started_ = false;
};

// "r9" or "r9-uac1"; false for any other name.
bool ParseVariant(const std::string& name, sim::devices::R9Variant& variant);

}  // namespace r9sim
