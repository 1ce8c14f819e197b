// Two R9s present when the machine boots: the PnP manager adds both before it starts either, and
// each adapter still talks to its own device.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "driver/adapter/adapter_extension.h"
#include "driver/adapter/usb_audio_adapter.h"
#include "sim/devices/r9/r9_device.h"
#include "sim/kernel/machine.h"
#include "sim/pnp/driver_store.h"
#include "sim/pnp/plug_and_play.h"
#include "sim/usb/host_controller.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace adaptertest {
namespace {

UsbAudioAdapter& AdapterOf(PDEVICE_OBJECT pdo)
{
    return *static_cast<UsbAudioAdapter*>(GetAdapterExtension(IoGetAttachedDevice(pdo))->adapter);
}

TEST(TwoDevices, AddedTogetherEachAdapterProgramsItsOwnDevice)
{
    sim::Machine machine;
    sim::usb::HostController usb;
    ASSERT_EQ(sim::pnp::InstallDriver({u"TVR9AUDIO", &DriverEntry, {u"USB\\VID_3A5C&PID_0009"}}), STATUS_SUCCESS);
    std::vector<std::unique_ptr<sim::usb::UsbDeviceModel>> models;
    auto first = std::make_unique<sim::devices::R9Device>(sim::devices::R9Variant::HighSpeedUac2, u"R9-00000001");
    auto second = std::make_unique<sim::devices::R9Device>(sim::devices::R9Variant::HighSpeedUac2, u"R9-00000002");
    sim::devices::R9Device& firstDevice = *first;
    sim::devices::R9Device& secondDevice = *second;
    models.push_back(std::move(first));
    models.push_back(std::move(second));

    std::vector<sim::pnp::PlugResult> plugged = sim::pnp::PlugDevicesAtBoot(usb, std::move(models));
    ASSERT_EQ(plugged.size(), 2u);
    ASSERT_EQ(plugged[0].status, STATUS_SUCCESS);
    ASSERT_EQ(plugged[1].status, STATUS_SUCCESS);
    UsbAudioAdapter& firstAdapter = AdapterOf(plugged[0].device.Pdo());
    EXPECT_EQ(firstAdapter.PhysicalDeviceObject(), plugged[0].device.Pdo());
    EXPECT_EQ(AdapterOf(plugged[1].device.Pdo()).PhysicalDeviceObject(), plugged[1].device.Pdo());

    ULONG reregistered = 0;
    ASSERT_EQ(firstAdapter.SetSampleRate(48000, &reregistered), STATUS_SUCCESS);
    EXPECT_EQ(firstDevice.CurrentRate(0), 48000u);
    EXPECT_EQ(secondDevice.CurrentRate(0), 44100u) << "the first adapter's requests reached the second device";

    EXPECT_EQ(sim::pnp::UnplugDevice(usb, plugged[0].device), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::UnplugDevice(usb, plugged[1].device), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::LoadedDriver(u"TVR9AUDIO"), nullptr);
}

}  // namespace
}  // namespace adaptertest
