// The machine of the PortCls tests: the R9 plugged into a USB port with a device node, and the
// test adapter driver (test_adapter_driver.h) loaded, not yet started on it.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "sim/devices/r9/r9_device.h"
#include "sim/io/drivers.h"
#include "sim/io/synchronous_request.h"
#include "sim/kernel/machine.h"
#include "sim/pnp/device_tree.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/host_controller.h"
#include "tests/portcls/test_adapter_driver.h"

namespace portcls_test {

class PortClsTest : public ::testing::Test {
protected:
    PortClsTest()
    {
        Events().clear();
        SetPowerQueryAnswer(STATUS_SUCCESS);
        usb_ = std::make_unique<sim::usb::HostController>();
        pdo_ = usb_->Plug(std::make_unique<sim::devices::R9Device>()).Pdo();
        sim::pnp::UsbDeviceIdentity identity;
        identity.vendorId = 0x3A5C;
        identity.productId = 0x0009;
        identity.revision = 0x0100;
        identity.serialNumber = u"R9SN0001";
        identity.service = u"tvr9test";
        sim::pnp::AttachPhysicalDeviceObject(sim::pnp::CreateUsbDeviceNode(identity), pdo_);
        EXPECT_EQ(sim::io::CreateDriverObject(u"tvr9test", &DriverEntry, &driver_), STATUS_SUCCESS);
    }

    ~PortClsTest() override
    {
        if (IoGetAttachedDevice(pdo_) != pdo_) {
            sim::pnp::RemoveDevice(pdo_);
        }
        if (driver_ != nullptr) {
            EXPECT_EQ(sim::io::UnloadDriver(driver_), STATUS_SUCCESS);
        }
        sim::pnp::DetachPhysicalDeviceObject(pdo_);
        usb_.reset();
    }

    PDEVICE_OBJECT Fdo() const { return IoGetAttachedDevice(pdo_); }

    // A create, close or other request on `file`, sent to the top of the device's stack.
    NTSTATUS Send(UCHAR major, FILE_OBJECT& file)
    {
        return sim::io::SendSynchronousRequest(Fdo(), major,
                                               [&](PIRP, PIO_STACK_LOCATION stack) { stack->FileObject = &file; })
            .status;
    }

    NTSTATUS Open(const char16_t* name, FILE_OBJECT& file)
    {
        file = FILE_OBJECT{};
        RtlInitUnicodeString(&file.FileName, reinterpret_cast<PCWSTR>(name));
        return Send(IRP_MJ_CREATE, file);
    }

    sim::Machine machine_;
    std::unique_ptr<sim::usb::HostController> usb_;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
};

}  // namespace portcls_test
