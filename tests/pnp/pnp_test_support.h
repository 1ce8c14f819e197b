// A machine with a USB host controller and the test adapter driver of tests/portcls installed for
// the R9's hardware ID, and small devices for the cases the R9 cannot show.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/kernel/machine.h"
#include "sim/pnp/plug_and_play.h"
#include "sim/usb/host_controller.h"

namespace pnp_test {

inline constexpr char16_t kService[] = u"tvr9test";
inline constexpr char16_t kR9InstancePath[] = u"USB\\VID_3A5C&PID_0009\\R9-00000001";

// A device with only a device descriptor, an empty configuration, a product string and, when
// `serial` is not empty, a serial number.
std::unique_ptr<sim::usb::UsbDeviceModel> PlainDevice(uint16_t vendorId, uint16_t productId,
                                                      const std::u16string& serial);

class PlugAndPlayTest : public ::testing::Test {
protected:
    PlugAndPlayTest();
    ~PlugAndPlayTest() override;

    sim::pnp::PlugResult Plug(std::unique_ptr<sim::usb::UsbDeviceModel> model);
    sim::pnp::PlugResult PlugR9();
    NTSTATUS Unplug(sim::usb::BusDevice& device);

    // Create or close of a file on the top of the device's stack, as the I/O manager sends it.
    NTSTATUS Send(PDEVICE_OBJECT pdo, UCHAR major, FILE_OBJECT& file);

    sim::Machine machine_;
    std::unique_ptr<sim::usb::HostController> usb_;
    std::vector<sim::usb::BusDevice*> plugged_;
};

}  // namespace pnp_test
