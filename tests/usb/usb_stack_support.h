// What the USB stack tests share: a machine with a host controller, test devices built from
// descriptors, a CUSBCL whose CheckTransfer keeps the packets it was shown, and a recorder for
// transfer callbacks.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <mutex>
#include <vector>

#include "driver/usb/usb_device.h"
#include "sim/devices/r9/r9_device.h"
#include "sim/kernel/machine.h"
#include "sim/usb/host_controller.h"

namespace usbtest {

constexpr int64_t kMillisecond = 1000000;

// The smallest CUSBCL: CheckTransfer passes the status on and keeps a copy of the URB's packets.
class TestUsbDevice : public CUSBCL {
public:
    TestUsbDevice() : CUSBCL(NonPagedPoolNx) {}
    NTSTATUS CheckTransfer(NTSTATUS status, PURB urb, TransferContext* transferContext) override;

    std::vector<USBD_ISO_PACKET_DESCRIPTOR> CheckedPackets() const;
    USBD_STATUS CheckedUrbStatus() const;

private:
    mutable std::mutex lock_;
    std::vector<USBD_ISO_PACKET_DESCRIPTOR> packets_;
    USBD_STATUS urbStatus_ = USBD_STATUS_SUCCESS;
};

struct TransferResult {
    NTSTATUS status;
    ULONG bytes;
    ULONG startFrame;
    ULONG busFrames;
    int64_t completedNs;
    KIRQL irql;
};

// Collects transfer callbacks; Wait returns once `count` of them arrived (or fails the test after
// a second of simulated time).
class TransferProbe {
public:
    TransferProbe() { KeInitializeEvent(&arrived_, SynchronizationEvent, FALSE); }
    static void Callback(NTSTATUS status, ULONG bytes, ULONG startFrame, PVOID context, ULONG busFrames);
    std::vector<TransferResult> Wait(size_t count);

private:
    KEVENT arrived_;
    std::mutex lock_;
    std::vector<TransferResult> results_;
};

// A machine with one host controller; Plug connects a device and Start runs the driver's start
// sequence against it.
class UsbStackTest : public ::testing::Test {
protected:
    explicit UsbStackTest(sim::usb::HostControllerOptions options = {});
    ~UsbStackTest() override;

    sim::usb::BusDevice& Plug(std::unique_ptr<sim::usb::UsbDeviceModel> model);
    // A started CUSBCL on the last plugged device (the test fails if the start does).
    TestUsbDevice& Start();
    // Configures alternate 0 of every interface.
    void Configure();
    // Deletes the CUSBCL once the last completion routine has returned: a callback runs before
    // its completion routine has given the IRP and the context back.
    void DeleteDriver();
    // Sends one URB to the device as a driver would and waits for it; returns the IRP's status.
    NTSTATUS SendUrb(PURB urb);

    sim::Machine machine_;
    std::unique_ptr<sim::usb::HostController> usb_;
    sim::usb::BusDevice* device_ = nullptr;
    TestUsbDevice* driver_ = nullptr;
};

// A device that records what reaches it: class and vendor requests (request 0xFF stalls; IN
// requests are answered with wLength bytes counting up from 1) and every OUT packet. Its IN packets take their lengths from `inLengths` in turn (0 once it runs out); packet
// n is filled with the byte n+1.
class ScriptedDevice : public sim::usb::UsbDeviceModel {
public:
    using UsbDeviceModel::UsbDeviceModel;
    static constexpr uint8_t kStallingRequest = 0xFF;

    USBD_STATUS IsoOut(const sim::usb::IsoSlot& slot, const uint8_t* data, uint32_t length) override;
    sim::usb::IsoInData IsoIn(const sim::usb::IsoSlot& slot, uint8_t* buffer, uint32_t capacity) override;

    std::vector<uint32_t> inLengths;
    std::vector<uint32_t> outLengths;
    std::vector<sim::usb::Bytes> outPackets;
    std::vector<uint64_t> outIntervals;  // bus interval of each OUT packet
    std::vector<sim::usb::SetupPacket> requests;

protected:
    sim::usb::ControlReply ClassRequest(const sim::usb::SetupPacket& setup, const uint8_t* data,
                                        size_t length) override;
    sim::usb::ControlReply VendorRequest(const sim::usb::SetupPacket& setup, const uint8_t* data,
                                         size_t length) override;

private:
    sim::usb::ControlReply Answer(const sim::usb::SetupPacket& setup);
    size_t inPackets_ = 0;
};

// Test names for the R9's variants.
inline std::string VariantName(const ::testing::TestParamInfo<sim::devices::R9Variant>& info)
{
    switch (info.param) {
    case sim::devices::R9Variant::HighSpeedUac2: return "HighSpeedUac2";
    case sim::devices::R9Variant::FullSpeedUac1: return "FullSpeedUac1";
    default: return "SharedClock";
    }
}

// A device with one streaming interface: alternate 0 without endpoints, alternate 1 with an
// isochronous OUT endpoint 0x01 and an isochronous IN endpoint 0x82, both of `maxPacket` bytes
// every `interval`; plus string descriptor 0.
sim::usb::DescriptorSet StreamingDeviceDescriptors(sim::usb::UsbSpeed speed, uint16_t maxPacket, uint8_t interval);

}  // namespace usbtest
