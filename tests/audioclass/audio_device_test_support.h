// The driver's CUSBAudioCL on a simulated Audio Class device: the machine, a host controller, the
// device plugged in and the driver started and configured on it; at the end the driver and the bus
// go and the pool must be empty.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "driver/usbaudio/usb_audio_cl.h"
#include "sim/devices/audio_class/audio_class_device.h"
#include "sim/kernel/machine.h"
#include "sim/usb/host_controller.h"

namespace audioclasstest {

// Transfers are not these suites' business; their check passes the status on.
class TestAudioDriver : public CUSBAudioCL {
public:
    TestAudioDriver() : CUSBAudioCL(NonPagedPoolNx) {}
    NTSTATUS CheckTransfer(NTSTATUS status, PURB, TransferContext*) override { return status; }
};

// A device of this speed around the configuration: a device descriptor and one language.
sim::usb::DescriptorSet DeviceSet(const sim::usb::Bytes& configuration, sim::usb::UsbSpeed speed);

class AudioDeviceTest : public ::testing::Test {
protected:
    void TearDown() override { Stop(); }

    // Plugs the device into a new bus, then Init and ConfigureDevice (the test fails when either
    // does).
    CUSBAudioCL& Start(std::unique_ptr<sim::devices::AudioClassDevice> device);
    CUSBAudioCL& Start(const sim::usb::Bytes& configuration, sim::usb::UsbSpeed speed);
    // Deletes the driver and the bus; nothing may be left in the pool.
    void Stop();
    sim::devices::AudioClassFunction& Function() { return device_->Function(); }
    sim::devices::AudioClassDevice& Device() { return *device_; }
    // Control transfers that reached the device so far.
    uint64_t ControlTransfers() const;
    // Waits the given simulated milliseconds.
    void Sleep(int64_t milliseconds);

    sim::Machine machine_;
    std::unique_ptr<sim::usb::HostController> usb_;
    sim::usb::BusDevice* bus_ = nullptr;
    sim::devices::AudioClassDevice* device_ = nullptr;
    TestAudioDriver* driver_ = nullptr;
};

}  // namespace audioclasstest
