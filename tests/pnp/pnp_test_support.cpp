#include "tests/pnp/pnp_test_support.h"

#include <algorithm>

#include "sim/devices/r9/r9_device.h"
#include "sim/io/synchronous_request.h"
#include "sim/pnp/driver_store.h"
#include "tests/portcls/test_adapter_driver.h"

namespace pnp_test {

std::unique_ptr<sim::usb::UsbDeviceModel> PlainDevice(uint16_t vendorId, uint16_t productId,
                                                      const std::u16string& serial)
{
    constexpr uint8_t kProduct = 1;
    constexpr uint8_t kSerial = 2;
    sim::usb::DescriptorSet set;
    set.device = sim::usb::Device({0x0200, 0, 0, 0, 64, vendorId, productId, 0x0100, 0, kProduct,
                                   uint8_t(serial.empty() ? 0 : kSerial), 1});
    set.configuration = sim::usb::ConfigurationBuilder(1, 0, 0x80, 50).Build();
    set.languageIds = {0x0409};
    set.strings = {{kProduct, u"Plain Device"}};
    if (!serial.empty()) {
        set.strings.push_back({kSerial, serial});
    }
    return std::make_unique<sim::usb::UsbDeviceModel>(std::move(set), sim::usb::UsbSpeed::High);
}

PlugAndPlayTest::PlugAndPlayTest()
{
    portcls_test::Events().clear();
    usb_ = std::make_unique<sim::usb::HostController>();
    EXPECT_EQ(sim::pnp::InstallDriver({kService, &portcls_test::DriverEntry, {u"USB\\VID_3A5C&PID_0009"}}),
              STATUS_SUCCESS);
}

PlugAndPlayTest::~PlugAndPlayTest()
{
    while (!plugged_.empty()) {
        Unplug(*plugged_.back());
    }
    usb_.reset();
}

sim::pnp::PlugResult PlugAndPlayTest::Plug(std::unique_ptr<sim::usb::UsbDeviceModel> model)
{
    sim::pnp::PlugResult result = sim::pnp::PlugDevice(*usb_, std::move(model));
    plugged_.push_back(&result.device);
    return result;
}

sim::pnp::PlugResult PlugAndPlayTest::PlugR9() { return Plug(std::make_unique<sim::devices::R9Device>()); }

NTSTATUS PlugAndPlayTest::Unplug(sim::usb::BusDevice& device)
{
    plugged_.erase(std::remove(plugged_.begin(), plugged_.end(), &device), plugged_.end());
    return sim::pnp::UnplugDevice(*usb_, device);
}

NTSTATUS PlugAndPlayTest::Send(PDEVICE_OBJECT pdo, UCHAR major, FILE_OBJECT& file)
{
    return sim::io::SendSynchronousRequest(IoGetAttachedDevice(pdo), major,
                                           [&](PIRP, PIO_STACK_LOCATION stack) { stack->FileObject = &file; })
        .status;
}

}  // namespace pnp_test
