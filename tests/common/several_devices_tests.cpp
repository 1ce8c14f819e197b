// The device list and the control client where the machine holds more than one R9, devices that
// answer less than the R9 does, and endpoints that are not the device's: through the driver and
// the simulated devices, as the control panel and the ASIO driver meet them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/device_list.h"
#include "sim/devices/r9/r9_descriptors.h"
#include "sim/devices/r9/r9_device.h"
#include "sim/kernel/machine.h"
#include "sim/pnp/audio_endpoint_builder.h"
#include "sim/pnp/device_interfaces.h"
#include "sim/pnp/driver_store.h"
#include "sim/pnp/endpoint_store.h"
#include "sim/pnp/plug_and_play.h"
#include "sim/registry/machine_registry.h"
#include "sim/usb/descriptors/descriptor_set.h"
#include "sim/user/processes.h"
#include "tests/common/other_audio_driver.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace {

using sim::devices::R9Device;
using sim::devices::R9Variant;
using sim::devices::SampleRateSubrange;
using sim::pnp::EndpointFlow;

const std::u16string kR9HardwareId = u"USB\\VID_3A5C&PID_0009";
const std::u16string kCinebarHardwareId = u"USB\\VID_2CC2&PID_0005";
const std::u16string kFirstR9 = u"USB\\VID_3A5C&PID_0009\\R9-00000001";
const std::u16string kSecondR9 = u"USB\\VID_3A5C&PID_0009\\R9-00000002";
const std::u16string kThirdR9 = u"USB\\VID_3A5C&PID_0009\\R9-00000003";

const WCHAR* Text(const std::u16string& text) { return reinterpret_cast<const WCHAR*>(text.c_str()); }

// A mix format the audio service never derives (mono, 8 bits, 22050 Hz), written into an
// endpoint's mix formats to see whether a reset rewrote them. The driver's rate change patches only
// the rate of its own endpoints' formats; a reset rewrites them whole.
constexpr ULONG kUntouchedRate = 22050;
constexpr USHORT kUntouchedChannels = 1;

// A machine with the R9's driver installed (also for the render-only speaker that stands in for
// a device without capture), taking devices into its USB ports one by one.
class Bench {
public:
    Bench()
    {
        EXPECT_EQ(sim::pnp::InstallDriver({u"TVR9AUDIO", &DriverEntry, {kR9HardwareId, kCinebarHardwareId}}),
                  STATUS_SUCCESS);
    }
    ~Bench()
    {
        while (!plugged_.empty()) {
            Unplug(*plugged_.back());
        }
    }

    sim::pnp::PlugResult Plug(std::unique_ptr<sim::usb::UsbDeviceModel> model)
    {
        sim::pnp::PlugResult result = sim::pnp::PlugDevice(usb_, std::move(model));
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        plugged_.push_back(&result.device);
        return result;
    }
    R9Device& PlugR9(const std::u16string& serialNumber,
                     const std::function<void(R9Device&)>& beforePlug = [](R9Device&) {})
    {
        auto model = std::make_unique<R9Device>(R9Variant::HighSpeedUac2, serialNumber);
        R9Device& r9 = *model;
        beforePlug(r9);
        devices_[serialNumber] = &Plug(std::move(model)).device;
        return r9;
    }
    void UnplugR9(const std::u16string& serialNumber) { Unplug(*devices_.at(serialNumber)); }
    void Unplug(sim::usb::BusDevice& device)
    {
        EXPECT_EQ(sim::pnp::UnplugDevice(usb_, device), STATUS_SUCCESS);
        plugged_.erase(std::find(plugged_.begin(), plugged_.end(), &device));
    }

private:
    sim::Machine machine_;
    sim::usb::HostController usb_;
    std::vector<sim::usb::BusDevice*> plugged_;
    std::map<std::u16string, sim::usb::BusDevice*> devices_;
};

std::vector<DWORD> ProbedRates(const CAudioDevice& device)
{
    std::vector<DWORD> rates;
    for (const RateCaps& caps : device.Capabilities()) {
        rates.push_back(caps.rate);
    }
    return rates;
}

std::u16string Lower(std::u16string text)
{
    for (char16_t& c : text) {
        if (c >= u'A' && c <= u'Z') {
            c = char16_t(c - u'A' + u'a');
        }
    }
    return text;
}

WAVEFORMATEXTENSIBLE UntouchedFormat() { return sim::pnp::MakePcmFormat(kUntouchedRate, kUntouchedChannels, 8, 8); }

// An endpoint's stored mix format, the one a reset rewrites; all zero when it cannot be read.
WAVEFORMATEXTENSIBLE MixFormat(EndpointFlow flow, const std::u16string& endpoint)
{
    WAVEFORMATEXTENSIBLE format = {};
    sim::registry::Value mix;
    if (sim::registry::MachineRegistry().GetValue(sim::pnp::EndpointPropertiesPath(flow, endpoint),
                                                  sim::pnp::kFormatProperties[3], mix) &&
        mix.data.size() == sim::pnp::kFormatPropertyBytes) {
        std::memcpy(&format, mix.data.data() + 8, sizeof format);
    }
    return format;
}

bool IsUntouched(EndpointFlow flow, const std::u16string& endpoint)
{
    return MixFormat(flow, endpoint).Format.nChannels == kUntouchedChannels;
}

// Whether the endpoint's mix format is what the audio service derives for the device now: reset.
bool WasReset(EndpointFlow flow, const std::u16string& endpoint, const std::u16string& instancePath)
{
    const auto derived = sim::pnp::CurrentDefaultFormat(instancePath, flow == EndpointFlow::Render);
    const WAVEFORMATEXTENSIBLE stored = MixFormat(flow, endpoint);
    return derived.has_value() && std::memcmp(&stored, &*derived, sizeof stored) == 0;
}

// Writes an active endpoint for the device with `instancePath` under a key name of the test's
// choosing (the collection lists endpoints in the order of their key names), its formats untouched.
void WriteEndpoint(EndpointFlow flow, const std::u16string& name, const std::u16string& instancePath)
{
    sim::registry::Store& store = sim::registry::MachineRegistry();
    const std::u16string flowKey = std::u16string(sim::pnp::kEndpointStorePath) +
                                   (flow == EndpointFlow::Render ? u"\\Render\\" : u"\\Capture\\") + name;
    store.SetDword(flowKey, u"DeviceState", sim::pnp::kDeviceStateActive);
    const std::u16string properties = sim::pnp::EndpointPropertiesPath(flow, name);
    store.SetString(properties, sim::pnp::kDevicePathProperty, u"{1}." + instancePath);
    for (const char16_t* property : sim::pnp::kFormatProperties) {
        store.SetValue(properties, property, REG_BINARY, sim::pnp::SerializeFormat(UntouchedFormat()));
    }
}

// Gives an existing endpoint untouched mix formats.
void MarkUntouched(EndpointFlow flow, const std::u16string& endpoint)
{
    for (size_t i = 1; i < std::size(sim::pnp::kFormatProperties); ++i) {
        sim::registry::MachineRegistry().SetValue(sim::pnp::EndpointPropertiesPath(flow, endpoint),
                                                  sim::pnp::kFormatProperties[i], REG_BINARY,
                                                  sim::pnp::SerializeFormat(UntouchedFormat()));
    }
}

// The device's render and capture endpoints, given untouched mix formats.
sim::pnp::DeviceEndpoints MarkEndpointsUntouched(const std::u16string& instancePath)
{
    const sim::pnp::DeviceEndpoints endpoints{sim::pnp::FindAudioEndpoint(EndpointFlow::Render, instancePath),
                                              sim::pnp::FindAudioEndpoint(EndpointFlow::Capture, instancePath)};
    EXPECT_FALSE(endpoints.render.empty());
    EXPECT_FALSE(endpoints.capture.empty());
    MarkUntouched(EndpointFlow::Render, endpoints.render);
    MarkUntouched(EndpointFlow::Capture, endpoints.capture);
    return endpoints;
}

TEST(SeveralDevices, TwoR9sAreListedInEnumerationOrderAndAnotherDriversInterfaceIsNot)
{
    Bench bench;
    // Another vendor's device with its own audio driver: its wave filter is an audio interface with
    // a "\wave" reference string too, and only its service name tells it apart. Plugged first, so
    // that its driver unloads last.
    ASSERT_EQ(sim::pnp::InstallDriver({u"usbaudio", &otheraudiodriver::DriverEntry, {u"USB\\VID_1397&PID_0507"}}),
              STATUS_SUCCESS);
    const auto dump = sim::usb::ReadBinaryFile(std::string(R9_USB_FIXTURES_DIR) + "/behringer_umc202hd_192k.bin");
    ASSERT_TRUE(dump.has_value());
    sim::usb::DescriptorSet behringer = sim::usb::DescriptorSetFromDump(*dump);
    behringer.languageIds = {0x0409};
    const sim::pnp::PlugResult other =
        bench.Plug(std::make_unique<sim::devices::AudioClassDevice>(behringer, sim::usb::UsbSpeed::High));
    ASSERT_NE(other.node, nullptr);
    bench.PlugR9(u"R9-00000002");
    bench.PlugR9(u"R9-00000001");
    const auto interfaces = sim::pnp::DeviceInterfaces();
    ASSERT_TRUE(std::any_of(interfaces.begin(), interfaces.end(), [&](const sim::pnp::DeviceInterfaceRecord& record) {
        return record.enabled && record.instancePath == other.node->InstancePath() &&
               Lower(record.referenceString).rfind(u"wave", 0) == 0;
    })) << "the other driver's wave filter is there to be left out";

    sim::user::ProcessScope panel(u"C:\\panel.exe");
    CDeviceList list;
    list.Enumerate();
    ASSERT_EQ(list.Count(), 2u);
    // Plugged second, listed first: SetupAPI lists the interfaces in the order of their keys.
    EXPECT_EQ(std::u16string(list.Device(0).InstanceId()), kFirstR9);
    EXPECT_EQ(std::u16string(list.Device(1).InstanceId()), kSecondR9);
    EXPECT_EQ(std::u16string(list.Device(1).ControlPath()),
              u"\\\\?\\usb#vid_3a5c&pid_0009#r9-00000002#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\asio");
    for (size_t i = 0; i < list.Count(); ++i) {
        EXPECT_EQ(ProbedRates(list.Device(i)),
                  (std::vector<DWORD>{44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000}));
    }

    // Instance IDs as Windows compares them: without case.
    EXPECT_TRUE(list.SelectByInstanceId(Text(Lower(kSecondR9))));
    EXPECT_EQ(list.SelectedIndex(), 1);
    EXPECT_EQ(list.GetSelected(), &list.Device(1));
    EXPECT_TRUE(list.FindByInstanceId(W("usb\\vid_3a5c&pid_0009\\R9-00000001")));
    EXPECT_FALSE(list.FindByInstanceId(Text(other.node->InstancePath())));
}

TEST(SeveralDevices, ARateChangeReachesOnlyItsOwnDeviceAndItsOwnEndpoints)
{
    Bench bench;
    R9Device& first = bench.PlugR9(u"R9-00000001");
    R9Device& second = bench.PlugR9(u"R9-00000002");
    const sim::pnp::DeviceEndpoints firstEndpoints = MarkEndpointsUntouched(kFirstR9);

    sim::user::ProcessScope panel(u"C:\\panel.exe");
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    CDeviceList list;
    list.Enumerate();
    ASSERT_EQ(list.Count(), 2u);
    ASSERT_TRUE(list.Device(1).SetRate(96000));
    EXPECT_EQ(second.CurrentRate(0), 96000u);
    EXPECT_EQ(first.CurrentRate(0), 44100u);
    EXPECT_EQ(list.Device(0).GetCurrentRate(), 44100u);
    EXPECT_EQ(list.Device(1).GetCurrentRate(), 96000u);
    EXPECT_TRUE(WasReset(EndpointFlow::Render, sim::pnp::FindAudioEndpoint(EndpointFlow::Render, kSecondR9), kSecondR9));
    EXPECT_TRUE(
        WasReset(EndpointFlow::Capture, sim::pnp::FindAudioEndpoint(EndpointFlow::Capture, kSecondR9), kSecondR9));
    for (const auto& [flow, endpoint] : {std::pair{EndpointFlow::Render, firstEndpoints.render},
                                         std::pair{EndpointFlow::Capture, firstEndpoints.capture}}) {
        EXPECT_TRUE(IsUntouched(flow, endpoint));
        EXPECT_EQ(MixFormat(flow, endpoint).Format.nSamplesPerSec, kUntouchedRate);
    }
    CoUninitialize();
}

TEST(SeveralDevices, TheSelectionIsAnIndexThatOutlivesTheDevicesItDenoted)
{
    Bench bench;
    bench.PlugR9(u"R9-00000001");
    bench.PlugR9(u"R9-00000002");
    sim::user::ProcessScope panel(u"C:\\panel.exe");
    CDeviceList list;
    list.Enumerate();
    ASSERT_TRUE(list.Select(1));
    ASSERT_EQ(std::u16string(list.GetSelected()->InstanceId()), kSecondR9);

    bench.UnplugR9(u"R9-00000001");
    list.Enumerate();
    ASSERT_EQ(list.Count(), 1u);
    EXPECT_EQ(std::u16string(list.Device(0).InstanceId()), kSecondR9);
    EXPECT_EQ(list.SelectedIndex(), 1);
    EXPECT_EQ(list.GetSelected(), nullptr) << "the index lies beyond the list until the owner selects again";

    bench.PlugR9(u"R9-00000003");
    list.Enumerate();
    ASSERT_EQ(list.Count(), 2u);
    ASSERT_NE(list.GetSelected(), nullptr);
    EXPECT_EQ(std::u16string(list.GetSelected()->InstanceId()), kThirdR9) << "the second device, whichever it now is";
    EXPECT_TRUE(list.SelectByInstanceId(Text(kSecondR9)));
    EXPECT_EQ(list.SelectedIndex(), 0);
}

// What the clock's RANGE offers decides the range, and each probe rate is asked about on its own.
TEST(DeviceAnswers, TheRatesProbedLieWithinTheRangeAndRefusedOnesAreLeftOut)
{
    const struct {
        const char* name;
        std::vector<SampleRateSubrange> ranges;
        DWORD lowest;
        DWORD highest;
        std::vector<DWORD> probed;
    } cases[] = {
        {"a gap at 88200", {{44100, 44100, 0}, {48000, 48000, 0}, {96000, 96000, 0}}, 44100, 96000,
         {44100, 48000, 96000}},
        {"refused rates in a row, the highest bound included",
         {{44100, 44100, 0}, {48000, 48000, 0}, {705600, 705600, 0}}, 44100, 705600, {44100, 48000, 705600}},
        {"a stepped range from 32000", {{32000, 96000, 16000}}, 32000, 96000, {32000, 48000, 96000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench;
        bench.PlugR9(u"R9-00000001", [&](R9Device& r9) { r9.Function().SetClockRanges(c.ranges); });
        sim::user::ProcessScope panel(u"C:\\panel.exe");
        CDeviceList list;
        list.Enumerate();
        ASSERT_EQ(list.Count(), 1u);
        const CAudioDevice& r9 = list.Device(0);
        EXPECT_EQ(r9.LowestRate(), c.lowest);
        EXPECT_EQ(r9.HighestRate(), c.highest);
        EXPECT_EQ(ProbedRates(r9), c.probed);
        for (const RateCaps& caps : r9.Capabilities()) {
            EXPECT_EQ(caps.renderChannels, 4u);
            EXPECT_EQ(caps.captureChannels, 4u);
        }
    }
}

// A clock that cannot tell its rates once the device runs: the driver reports the range as 0..0,
// and the device is listed without capabilities, its DSD flag read all the same.
TEST(DeviceAnswers, AClockWithoutRatesLeavesTheDeviceListedWithRangeZero)
{
    using sim::devices::r9::kRenderClockSourceId;
    const struct {
        const char* name;
        std::function<void(R9Device&)> loseRates;
    } cases[] = {
        {"RANGE stalled", [](R9Device& r9) { r9.Function().SetRangeStalled(kRenderClockSourceId, true); }},
        {"RANGE without subranges", [](R9Device& r9) { r9.Function().SetClockRanges({}); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench;
        R9Device& r9 = bench.PlugR9(u"R9-00000001");
        c.loseRates(r9);
        sim::user::ProcessScope panel(u"C:\\panel.exe");
        CDeviceList list;
        list.Enumerate();
        ASSERT_EQ(list.Count(), 1u);
        EXPECT_EQ(list.Device(0).LowestRate(), 0u);
        EXPECT_EQ(list.Device(0).HighestRate(), 0u);
        EXPECT_TRUE(list.Device(0).Capabilities().empty());
        EXPECT_EQ(list.Device(0).DsdSupported(), 1u);
    }
}

// The driver answers 0 for a rate the device already runs at: nothing changed, so the endpoints'
// mix formats stay as the user or the audio service left them.
TEST(AudioDevice, ARateThatChangesNothingLeavesTheEndpointsAlone)
{
    Bench bench;
    bench.PlugR9(u"R9-00000001");
    const auto [render, capture] = MarkEndpointsUntouched(kFirstR9);
    sim::user::ProcessScope panel(u"C:\\panel.exe");
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    CDeviceList list;
    list.Enumerate();
    ASSERT_EQ(list.Count(), 1u);
    const CAudioDevice& r9 = list.Device(0);

    EXPECT_TRUE(r9.SetRate(44100));
    EXPECT_TRUE(IsUntouched(EndpointFlow::Render, render));
    EXPECT_TRUE(IsUntouched(EndpointFlow::Capture, capture));

    EXPECT_TRUE(r9.SetRate(48000));
    EXPECT_TRUE(WasReset(EndpointFlow::Render, render, kFirstR9));
    EXPECT_TRUE(WasReset(EndpointFlow::Capture, capture, kFirstR9));
    EXPECT_EQ(MixFormat(EndpointFlow::Render, render).Format.nSamplesPerSec, 48000u);
    CoUninitialize();
}

// A speaker with render only (a real device's descriptors) under the R9's driver: its capability
// entries carry no capture channels, and a rate change resets the first of its render endpoints in
// collection order only.
TEST(AudioDevice, ARenderOnlyDeviceResetsItsFirstRenderEndpointOnly)
{
    Bench bench;
    const auto dump = sim::usb::ReadBinaryFile(std::string(R9_USB_FIXTURES_DIR) + "/teufel_cinebar_one.bin");
    ASSERT_TRUE(dump.has_value());
    sim::usb::DescriptorSet descriptors = sim::usb::DescriptorSetFromDump(*dump);
    descriptors.languageIds = {0x0409};
    const sim::pnp::PlugResult speaker =
        bench.Plug(std::make_unique<sim::devices::AudioClassDevice>(descriptors, sim::usb::UsbSpeed::Full));
    ASSERT_NE(speaker.node, nullptr);
    const std::u16string instance = speaker.node->InstancePath();
    const std::u16string render = sim::pnp::FindAudioEndpoint(EndpointFlow::Render, instance);
    ASSERT_FALSE(render.empty());
    ASSERT_TRUE(sim::pnp::FindAudioEndpoint(EndpointFlow::Capture, instance).empty());
    MarkUntouched(EndpointFlow::Render, render);
    // Listed before the speaker's: another device's endpoint. After it: a second render endpoint
    // of the speaker.
    const std::u16string foreign = u"{00000000-0000-4000-8000-000000000001}";
    const std::u16string secondRender = u"{ffffffff-ffff-4fff-bfff-ffffffffffff}";
    WriteEndpoint(EndpointFlow::Render, foreign, u"USB\\VID_3A5C&PID_0009\\R9-00000001");
    WriteEndpoint(EndpointFlow::Render, secondRender, instance);

    sim::user::ProcessScope panel(u"C:\\panel.exe");
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    CDeviceList list;
    list.Enumerate();
    ASSERT_EQ(list.Count(), 1u);
    const CAudioDevice& device = list.Device(0);
    ASSERT_FALSE(device.Capabilities().empty());
    EXPECT_EQ(device.Capabilities().front().renderChannels, 2u);
    EXPECT_EQ(device.Capabilities().front().captureChannels, 0u);
    EXPECT_EQ(device.Capabilities().front().captureBits, 0u);
    const DWORD newRate = device.GetCurrentRate() == 44100 ? 48000 : 44100;

    ASSERT_TRUE(device.SetRate(newRate));
    EXPECT_EQ(device.GetCurrentRate(), newRate);
    EXPECT_TRUE(WasReset(EndpointFlow::Render, render, instance));
    EXPECT_EQ(MixFormat(EndpointFlow::Render, render).Format.nSamplesPerSec, newRate);
    EXPECT_TRUE(IsUntouched(EndpointFlow::Render, foreign));
    EXPECT_TRUE(IsUntouched(EndpointFlow::Render, secondRender));
    CoUninitialize();
}

}  // namespace
