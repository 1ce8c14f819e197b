// The device list and the control client against the R9 and its driver on the simulated machine.
#include <gtest/gtest.h>

#include <memory>

#include "common/device_list.h"
#include "sim/devices/r9/r9_device.h"
#include "sim/kernel/machine.h"
#include "sim/pnp/driver_store.h"
#include "sim/pnp/endpoint_store.h"
#include "sim/pnp/plug_and_play.h"
#include "sim/registry/machine_registry.h"
#include "sim/user/processes.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace {

const WCHAR kInstanceId[] = W("USB\\VID_3A5C&PID_0009\\R9-00000001");

// A machine with the R9 plugged in and its driver installed under `service`.
class R9Machine {
public:
    explicit R9Machine(const char16_t* service = u"TVR9AUDIO")
    {
        usb_ = std::make_unique<sim::usb::HostController>();
        EXPECT_EQ(sim::pnp::InstallDriver({service, &DriverEntry, {u"USB\\VID_3A5C&PID_0009"}}), STATUS_SUCCESS);
        sim::pnp::PlugResult result = sim::pnp::PlugDevice(*usb_, std::make_unique<sim::devices::R9Device>());
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        device_ = &result.device;
    }
    ~R9Machine()
    {
        if (device_ != nullptr) {
            Unplug();
        }
    }
    void Unplug()
    {
        EXPECT_EQ(sim::pnp::UnplugDevice(*usb_, *device_), STATUS_SUCCESS);
        device_ = nullptr;
    }

private:
    sim::Machine machine_;
    std::unique_ptr<sim::usb::HostController> usb_;
    sim::usb::BusDevice* device_ = nullptr;
};

TEST(DeviceList, ListsTheR9WithItsRatesAndCapabilities)
{
    R9Machine machine;
    {
        sim::user::ProcessScope panel(u"C:\\panel.exe");
        CDeviceList list;
        EXPECT_EQ(list.GetSelected(), nullptr);
        list.Enumerate();
        ASSERT_EQ(list.Count(), 1u);
        const CAudioDevice& r9 = list.Device(0);
        EXPECT_EQ(std::u16string(r9.InstanceId()), std::u16string(kInstanceId));
        const std::u16string path = r9.ControlPath();
        EXPECT_EQ(path.substr(path.size() - 5), u"\\asio");
        EXPECT_EQ(path.find(u"\\wave"), std::u16string::npos);
        EXPECT_EQ(path, sim::Utf8ToUtf16("\\\\?\\usb#vid_3a5c&pid_0009#r9-00000001#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\asio"));
        EXPECT_EQ(r9.LowestRate(), 44100u);
        EXPECT_EQ(r9.HighestRate(), 384000u);
        std::vector<DWORD> rates;
        for (const RateCaps& caps : r9.Capabilities()) {
            rates.push_back(caps.rate);
            EXPECT_EQ(caps.renderChannels, 4u);
            EXPECT_EQ(caps.captureChannels, 4u);
        }
        EXPECT_EQ(rates, (std::vector<DWORD>{44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000}))
            << "32000 lies below the range, 705600 above it";
        EXPECT_EQ(r9.DsdSupported(), 1u);
        EXPECT_EQ(r9.GetCurrentRate(), 44100u);

        EXPECT_TRUE(list.SelectByInstanceId(W("usb\\vid_3a5c&pid_0009\\r9-00000001")));
        EXPECT_EQ(list.GetSelected(), &list.Device(0));
        EXPECT_FALSE(list.SelectByInstanceId(W("USB\\VID_3A5C&PID_0009\\R9-00000002")));
        EXPECT_TRUE(list.FindByInstanceId(kInstanceId));
        EXPECT_FALSE(list.Select(1));
        EXPECT_EQ(list.SelectedIndex(), 0);
    }
}

TEST(DeviceList, AnotherServiceNameOrCaseIsNotListed)
{
    R9Machine machine(u"tvr9audio");
    sim::user::ProcessScope panel(u"C:\\panel.exe");
    CDeviceList list;
    list.Enumerate();
    EXPECT_EQ(list.Count(), 0u);
}

TEST(DeviceList, SelectionIsAnIndexThatEnumerationLeavesAlone)
{
    R9Machine machine;
    sim::user::ProcessScope panel(u"C:\\panel.exe");
    CDeviceList list;
    list.Enumerate();
    ASSERT_TRUE(list.Select(0));
    list.Enumerate();
    EXPECT_EQ(list.SelectedIndex(), 0);
    EXPECT_NE(list.GetSelected(), nullptr);
}

TEST(AudioDevice, RateChangeResetsTheEndpointsThatBelongToTheDevice)
{
    R9Machine machine;
    sim::user::ProcessScope panel(u"C:\\panel.exe");
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    CDeviceList list;
    list.Enumerate();
    ASSERT_EQ(list.Count(), 1u);
    const CAudioDevice& r9 = list.Device(0);
    ASSERT_TRUE(r9.SetRate(96000));
    EXPECT_EQ(r9.GetCurrentRate(), 96000u);
    // The mix formats follow the device rate again; the device format is left to the service.
    const std::u16string render =
        sim::pnp::FindAudioEndpoint(sim::pnp::EndpointFlow::Render, kInstanceId);
    ASSERT_FALSE(render.empty());
    sim::registry::Value mix;
    ASSERT_TRUE(sim::registry::MachineRegistry().GetValue(
        sim::pnp::EndpointPropertiesPath(sim::pnp::EndpointFlow::Render, render), sim::pnp::kFormatProperties[3], mix));
    WAVEFORMATEXTENSIBLE format;
    std::memcpy(&format, mix.data.data() + 8, sizeof format);
    EXPECT_EQ(format.Format.nSamplesPerSec, 96000u);
    EXPECT_FALSE(r9.SetRate(12345)) << "a rate the device does not offer is refused";
    EXPECT_TRUE(r9.SetInUrbSize(8));
    EXPECT_TRUE(r9.GetInUrbSize());
    CoUninitialize();
}

TEST(AudioDevice, UnpluggedDeviceAnswersNothing)
{
    R9Machine machine;
    CAudioDevice r9;
    {
        sim::user::ProcessScope panel(u"C:\\panel.exe");
        CDeviceList list;
        list.Enumerate();
        ASSERT_EQ(list.Count(), 1u);
        r9 = list.Device(0);
    }
    machine.Unplug();
    sim::user::ProcessScope panel(u"C:\\panel.exe");
    EXPECT_EQ(r9.GetCurrentRate(), 0u);
    EXPECT_FALSE(r9.SetRate(48000));
    CDeviceList list;
    list.Enumerate();
    EXPECT_EQ(list.Count(), 0u);
}

TEST(AudioDevice, TextsThatDoNotFitTheirFieldsAreDecided)
{
    sim::Machine machine;
    sim::user::ProcessScope panel(u"C:\\panel.exe");
    std::u16string longPath(kPathCharacters, u'a');
    CAudioDevice device;
    EXPECT_FALSE(device.Init(reinterpret_cast<const WCHAR*>(longPath.c_str()), W("R9"), kInstanceId))
        << "a cut control path would open another object";
    EXPECT_FALSE(device.Init(W("\\\\?\\nothing\\asio"), W("R9"), reinterpret_cast<const WCHAR*>(longPath.c_str())));
    std::u16string longDescription(300, u'd');
    EXPECT_FALSE(device.Init(W("\\\\?\\nothing\\asio"), reinterpret_cast<const WCHAR*>(longDescription.c_str()),
                             kInstanceId))
        << "no such device";
    EXPECT_EQ(std::u16string(device.Description()), std::u16string(kDescriptionCharacters - 1, u'd'))
        << "a description is cut to its field";
}

}  // namespace
