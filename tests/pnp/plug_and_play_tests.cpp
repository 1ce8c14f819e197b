// Plug and Play starting a driver by itself: installation, matching, loading once per machine,
// devices that end up without a driver, unplugging and disabling, and the driver's unload after
// its last device.
#include <cstring>

#include "sim/pnp/driver_store.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/portcls/portcls_sim.h"
#include "sim/registry/machine_registry.h"
#include "tests/pnp/pnp_test_support.h"
#include "tests/portcls/test_adapter_driver.h"

namespace {

using namespace pnp_test;
using sim::pnp::DeviceProblem;
using Strings = std::vector<std::string>;

std::u16string Text(const sim::registry::Value& value)
{
    std::u16string text(value.data.size() / 2, u'\0');
    std::memcpy(text.data(), value.data.data(), text.size() * 2);
    return text.substr(0, text.find(u'\0'));
}

ULONG Dword(const sim::registry::Value& value)
{
    ULONG number = 0;
    std::memcpy(&number, value.data.data(), std::min(value.data.size(), sizeof number));
    return number;
}

NTSTATUS RefusingEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_INSUFFICIENT_RESOURCES; }

void NothingToUnload(PDRIVER_OBJECT) {}

NTSTATUS RefusingAddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT) { return STATUS_DEVICE_NOT_READY; }

NTSTATUS EntryOfADriverThatRefusesDevices(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverExtension->AddDevice = &RefusingAddDevice;
    driver->DriverUnload = &NothingToUnload;
    return STATUS_SUCCESS;
}

// A device that stalls every descriptor request, so the hub cannot even read its IDs.
class MuteDevice final : public sim::usb::UsbDeviceModel {
public:
    MuteDevice() : UsbDeviceModel(sim::usb::DescriptorSet{}, sim::usb::UsbSpeed::High) {}

protected:
    sim::usb::Bytes Descriptor(uint8_t, uint8_t, uint16_t) override { return {}; }
};

using PlugAndPlay = PlugAndPlayTest;

TEST_F(PlugAndPlay, InstallWritesTheServiceKeyAndTheBestHardwareIdDecides)
{
    sim::registry::Store& registry = sim::registry::MachineRegistry();
    const std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tvr9test";
    sim::registry::Value value;
    ASSERT_TRUE(registry.GetValue(key, u"ImagePath", value));
    EXPECT_EQ(value.type, ULONG(REG_EXPAND_SZ));
    EXPECT_EQ(Text(value), u"\\SystemRoot\\System32\\drivers\\tvr9test.sys");
    ASSERT_TRUE(registry.GetValue(key, u"Type", value));
    EXPECT_EQ(Dword(value), 1u) << "kernel driver";
    ASSERT_TRUE(registry.GetValue(key, u"Start", value));
    EXPECT_EQ(Dword(value), 3u) << "started on demand, by Plug and Play";

    EXPECT_EQ(sim::pnp::InstallDriver({u"", &RefusingEntry, {u"USB\\VID_1"}}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::pnp::InstallDriver({u"none", nullptr, {u"USB\\VID_1"}}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::pnp::InstallDriver({u"none", &RefusingEntry, {}}), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(registry.Exists(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\none"));

    // A driver for the exact revision outranks one for any revision, whatever the install order.
    ASSERT_EQ(sim::pnp::InstallDriver({u"revision", &RefusingEntry, {u"usb\\vid_3a5c&pid_0009&rev_0100"}}),
              STATUS_SUCCESS);
    const std::vector<std::u16string> r9Ids = {u"USB\\VID_3A5C&PID_0009&REV_0100", u"USB\\VID_3A5C&PID_0009"};
    ASSERT_TRUE(sim::pnp::FindDriverFor(r9Ids).has_value());
    EXPECT_EQ(sim::pnp::FindDriverFor(r9Ids)->service, u"revision");
    EXPECT_EQ(sim::pnp::FindDriverFor({u"USB\\VID_3A5C&PID_0009&REV_0200", u"USB\\VID_3A5C&PID_0009"})->service,
              kService);
    EXPECT_FALSE(sim::pnp::FindDriverFor({u"USB\\VID_3A5C&PID_0010"}).has_value());
}

TEST_F(PlugAndPlay, PluggingTheDeviceLoadsTheDriverAndStartsItsFilter)
{
    const sim::pnp::PlugResult r9 = PlugR9();
    ASSERT_EQ(r9.status, STATUS_SUCCESS);
    EXPECT_EQ(r9.problem, DeviceProblem::None);
    ASSERT_NE(r9.node, nullptr);
    EXPECT_EQ(r9.node->InstancePath(), kR9InstancePath) << "named by the serial number string";
    EXPECT_EQ(r9.node->Identity().description, u"R9") << "the product string";
    EXPECT_EQ(r9.node->PhysicalDeviceObject(), r9.device.Pdo());

    sim::registry::Value service;
    ASSERT_TRUE(sim::registry::MachineRegistry().GetValue(r9.node->EnumKeyPath(), u"Service", service));
    EXPECT_EQ(Text(service), kService);

    PDRIVER_OBJECT driver = sim::pnp::LoadedDriver(kService);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(IoGetAttachedDevice(r9.device.Pdo())->DriverObject, driver);
    EXPECT_EQ(portcls_test::Events(), Strings{"start"});

    const auto subdevices = sim::portcls::RegisteredSubdevices();
    ASSERT_EQ(subdevices.size(), 1u);
    EXPECT_EQ(subdevices[0].name, u"wave_44100");
    ASSERT_EQ(subdevices[0].interfacePaths.size(), 3u) << "audio, render and capture";
    EXPECT_EQ(subdevices[0].interfacePaths[0],
              u"\\??\\USB#VID_3A5C&PID_0009#R9-00000001#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\wave_44100");
    EXPECT_TRUE(subdevices[0].enabled);
}

TEST_F(PlugAndPlay, DevicesWithoutAWorkingDriverStayWithoutOne)
{
    ASSERT_EQ(sim::pnp::InstallDriver({u"refusesload", &RefusingEntry, {u"USB\\VID_3A5C&PID_0101"}}), STATUS_SUCCESS);
    ASSERT_EQ(
        sim::pnp::InstallDriver({u"refusesdevice", &EntryOfADriverThatRefusesDevices, {u"USB\\VID_3A5C&PID_0102"}}),
        STATUS_SUCCESS);
    struct Case {
        const char* what;
        uint16_t productId;  // 0: the device does not answer descriptor requests
        const char16_t* service;
        NTSTATUS status;
        DeviceProblem problem;
    };
    const Case cases[] = {
        {"no driver matches", 0x0100, u"", STATUS_NO_SUCH_DEVICE, DeviceProblem::FailedInstall},
        {"DriverEntry fails", 0x0101, u"refusesload", STATUS_INSUFFICIENT_RESOURCES, DeviceProblem::DriverFailedLoad},
        {"AddDevice fails", 0x0102, u"refusesdevice", STATUS_DEVICE_NOT_READY, DeviceProblem::FailedStart},
        {"descriptor unreadable", 0, u"", STATUS_DEVICE_DATA_ERROR, DeviceProblem::DescriptorRequestFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const sim::pnp::PlugResult plugged =
            Plug(c.productId == 0 ? std::unique_ptr<sim::usb::UsbDeviceModel>(std::make_unique<MuteDevice>())
                                  : PlainDevice(0x3A5C, c.productId, u"SN1"));
        EXPECT_EQ(plugged.status, c.status);
        EXPECT_EQ(plugged.problem, c.problem);
        EXPECT_EQ(IoGetAttachedDevice(plugged.device.Pdo()), plugged.device.Pdo()) << "no function driver above";
        EXPECT_EQ(plugged.node != nullptr, c.productId != 0);
        if (plugged.node != nullptr) {
            sim::registry::Value service;
            const bool hasService =
                sim::registry::MachineRegistry().GetValue(plugged.node->EnumKeyPath(), u"Service", service);
            EXPECT_EQ(hasService ? Text(service) : u"", c.service);
        }
        if (c.service[0] != u'\0') {
            EXPECT_EQ(sim::pnp::LoadedDriver(c.service), nullptr) << "a driver without devices is not kept";
        }
        EXPECT_EQ(Unplug(plugged.device), STATUS_SUCCESS);
    }
    EXPECT_TRUE(sim::portcls::RegisteredSubdevices().empty());
    EXPECT_TRUE(portcls_test::Events().empty());
}

TEST_F(PlugAndPlay, InstanceIdsFollowTheSerialNumbersTheHubAccepts)
{
    const struct {
        const char16_t* serial;
        bool kept;
    } cases[] = {{u"A1B2-C3", true}, {u"", false}, {u"A1 B2", false}, {u"A1,B2", false}, {u"A1\u00e9", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.serial, c.serial + std::char_traits<char16_t>::length(c.serial)));
        const sim::pnp::PlugResult plugged = Plug(PlainDevice(0x0A12, 0x0001, c.serial));
        // Each device goes before the next comes, into the port the last one left free.
        const ULONG port = plugged.device.Port();
        EXPECT_EQ(port, 1u);
        ASSERT_NE(plugged.node, nullptr);
        if (c.kept) {
            EXPECT_EQ(plugged.node->InstanceId(), c.serial);
        } else {
            const std::u16string id = plugged.node->InstanceId();
            EXPECT_EQ(id.substr(0, 2), u"6&") << "generated from the port";
            EXPECT_EQ(id.substr(id.size() - 4), u"&0&" + std::u16string(1, char16_t(u'0' + port)));
        }
        EXPECT_EQ(plugged.node->Identity().description, u"Plain Device");
        Unplug(plugged.device);
    }
}

TEST_F(PlugAndPlay, TwoDevicesShareOneDriverThatIsUnloadedWithTheLast)
{
    const sim::pnp::PlugResult first = PlugR9();
    const sim::pnp::PlugResult second = PlugR9();
    ASSERT_EQ(first.status, STATUS_SUCCESS);
    ASSERT_EQ(second.status, STATUS_SUCCESS);
    ASSERT_NE(first.node, second.node) << "the second R9 with the same serial number gets its own node";
    EXPECT_EQ(first.node->InstancePath(), kR9InstancePath);
    EXPECT_EQ(second.node->InstanceId().substr(0, 2), u"6&");
    EXPECT_NE(first.node->ContainerIdText(), second.node->ContainerIdText());

    PDRIVER_OBJECT driver = sim::pnp::LoadedDriver(kService);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(IoGetAttachedDevice(first.device.Pdo())->DriverObject, driver);
    EXPECT_EQ(IoGetAttachedDevice(second.device.Pdo())->DriverObject, driver);
    EXPECT_EQ(portcls_test::Events(), (Strings{"start", "start"}));
    EXPECT_EQ(sim::portcls::RegisteredSubdevices().size(), 2u);

    EXPECT_EQ(Unplug(first.device), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::LoadedDriver(kService), driver) << "the second device still uses it";
    EXPECT_EQ(sim::portcls::RegisteredSubdevices().size(), 1u);
    EXPECT_EQ(portcls_test::LiveObjects(), 2) << "the second device's adapter and miniport";

    // The unload runs the machine's leak check: anything the driver or PortCls left would fail here.
    EXPECT_EQ(Unplug(second.device), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::LoadedDriver(kService), nullptr);
    EXPECT_EQ(portcls_test::LiveObjects(), 0);
    EXPECT_TRUE(sim::portcls::RegisteredSubdevices().empty());

    const sim::pnp::PlugResult again = PlugR9();
    EXPECT_EQ(again.status, STATUS_SUCCESS);
    EXPECT_EQ(again.node, first.node) << "the device seen before keeps its node";
    EXPECT_NE(sim::pnp::LoadedDriver(kService), nullptr) << "loaded anew";
}

TEST_F(PlugAndPlay, DisablingAsksTheDriverFirstAndUnloadsItAfterwards)
{
    const sim::pnp::PlugResult r9 = PlugR9();
    ASSERT_EQ(r9.status, STATUS_SUCCESS);
    FILE_OBJECT filter{};
    RtlInitUnicodeString(&filter.FileName, W("\\wave_44100"));
    ASSERT_EQ(Send(r9.device.Pdo(), IRP_MJ_CREATE, filter), STATUS_SUCCESS);

    EXPECT_EQ(sim::pnp::DisableDevice(r9.device), STATUS_DEVICE_BUSY) << "a filter is open";
    EXPECT_NE(IoGetAttachedDevice(r9.device.Pdo()), r9.device.Pdo());
    EXPECT_NE(sim::pnp::LoadedDriver(kService), nullptr);

    EXPECT_EQ(Send(r9.device.Pdo(), IRP_MJ_CLEANUP, filter), STATUS_SUCCESS);
    EXPECT_EQ(Send(r9.device.Pdo(), IRP_MJ_CLOSE, filter), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::DisableDevice(r9.device), STATUS_SUCCESS);
    EXPECT_EQ(IoGetAttachedDevice(r9.device.Pdo()), r9.device.Pdo());
    EXPECT_EQ(sim::pnp::LoadedDriver(kService), nullptr);
    EXPECT_EQ(sim::pnp::DisableDevice(r9.device), STATUS_INVALID_DEVICE_STATE) << "nothing runs on it any more";
    EXPECT_EQ(Unplug(r9.device), STATUS_SUCCESS);
}

// A reference on the function device object (a request still completing, a close on its way)
// holds the driver's unload back at removal; the driver unloads once the reference goes, from a
// system worker thread.
TEST_F(PlugAndPlay, AnUnloadHeldBackByAReferencedDeviceHappensWhenTheReferenceGoes)
{
    const sim::pnp::PlugResult r9 = PlugR9();
    ASSERT_EQ(r9.status, STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = IoGetAttachedDevice(r9.device.Pdo());
    ObReferenceObject(fdo);
    EXPECT_EQ(Unplug(r9.device), STATUS_SUCCESS);
    EXPECT_NE(sim::pnp::LoadedDriver(kService), nullptr) << "the device object is still referenced";
    ObDereferenceObject(fdo);
    machine_.RunFor(1000000);
    EXPECT_EQ(sim::pnp::LoadedDriver(kService), nullptr);
}

}  // namespace
