// The sampling-rate list and the buffer-size trackbar: which rates are offered for a device's
// range, a stored DSD rate, a stored rate that differs from the device's, and the trackbar's
// ends with what they send to the settings and the kernel driver.
#include <string>

#include "common/device_list.h"
#include "common/settings_store.h"
#include "controlpanel/resource_ids.h"
#include "tests/controlpanel/panel_bench.h"

namespace paneltest {
namespace {

using sim::devices::R9Device;
using sim::devices::SampleRateSubrange;

const std::u16string kFirst = u"R9-00000001";
const std::u16string kSecond = u"R9-00000002";
constexpr WPARAM kKeyLeft = 0x25;
constexpr WPARAM kKeyHome = 0x24;

std::function<void(R9Device&)> OfferingRates(std::vector<uint32_t> rates)
{
    return [rates](R9Device& r9) {
        std::vector<SampleRateSubrange> ranges;
        for (uint32_t rate : rates) {
            ranges.push_back({rate, rate, 0});
        }
        r9.Function().SetClockRanges(ranges);
    };
}

// The device's rate as the kernel driver reports it, and a new one asked for as the ASIO driver
// or another program would.
DWORD DeviceRate()
{
    CDeviceList list;
    list.Enumerate();
    return list.Count() == 0 ? 0 : list.Device(0).GetCurrentRate();
}

void SetDeviceRate(DWORD rate)
{
    CDeviceList list;
    list.Enumerate();
    ASSERT_EQ(list.Count(), 1u);
    ASSERT_TRUE(list.Device(0).SetRate(rate));
}

TEST(PanelRates, TheRatesOfferedForADevicesRange)
{
    const struct {
        const char* name;
        std::vector<uint32_t> rates;
        DWORD stored;
        std::vector<std::u16string> entries;
        bool enabled;
    } cases[] = {
        {"44100 to 96000", {44100, 48000, 88200, 96000}, 44100, {u"44100 Hz", u"88200 Hz"}, true},
        // The stored rate is what the kernel driver reports, so that nothing is re-applied.
        {"48000 to 192000: 48000 is no row of the PCM table", {48000, 96000, 192000}, 44100, {}, false},
        {"44100 alone", {44100}, 44100, {u"44100 Hz"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PanelMachine machine;
        machine.PlugR9(kFirst, OfferingRates(c.rates));
        ASSERT_EQ(DeviceRate(), c.stored);
        StoreDword(kSettingSamplingRate, c.stored);
        PanelProcess panel;
        EXPECT_EQ(panel.ComboEntries(), c.entries);
        EXPECT_EQ(panel.Enabled(kRateCombo), c.enabled);
        EXPECT_EQ(panel.Enabled(kRateLabel), c.enabled);
        if (!c.entries.empty()) {
            EXPECT_EQ(panel.ComboSelection(), 0);
        }
        EXPECT_TRUE(sim::user::MessageBoxesShown().empty());
    }
}

TEST(PanelRates, AStoredDsdRateIsShownAmongTheDsdRatesAndCannotBeChanged)
{
    PanelMachine machine;
    machine.PlugR9(kFirst, OfferingRates({44100, 48000, 88200, 96000, 176400, 192000}));
    StoreDword(kSettingSamplingRate, 5644800);
    PanelProcess panel;
    EXPECT_EQ(panel.ComboEntries(),
              (std::vector<std::u16string>{u"44100 Hz", u"88200 Hz", u"2.8224MHz", u"5.6448MHz", u"11.2896MHz"}));
    EXPECT_EQ(panel.ComboSelection(), 3);
    EXPECT_FALSE(panel.Enabled(kRateCombo));
    // 5.6448 MHz runs the device at 176.4 kHz: four times 44.1 kHz, so the smallest position is 6;
    // a DSD buffer counts 32 times the samples.
    EXPECT_EQ(panel.TrackbarMinimum(), 6);
    EXPECT_EQ(panel.TrackbarMaximum(), 126);
    EXPECT_EQ(panel.TrackbarPosition(), 14);
    EXPECT_EQ(panel.Text(kBufferSizeReadout), u"16384 Samples");
}

TEST(PanelRates, TheStoredRateWinsOverTheDevicesAtStart)
{
    PanelMachine machine;
    machine.PlugR9(kFirst);
    SetDeviceRate(88200);
    StoreDword(kSettingSamplingRate, 44100);
    PanelProcess panel;
    EXPECT_EQ(panel.ComboSelection(), 0);
    EXPECT_EQ(panel.ComboEntries()[0], u"44100 Hz");
    EXPECT_EQ(DeviceRate(), 44100u);
    EXPECT_TRUE(sim::user::MessageBoxesShown().empty());
}

TEST(PanelRates, ChoosingARateStoresItAndSetsTheDevice)
{
    PanelMachine machine;
    machine.PlugR9(kFirst);
    PanelProcess panel;
    ASSERT_EQ(panel.ComboEntries(), (std::vector<std::u16string>{u"44100 Hz", u"88200 Hz"}));
    panel.ChooseRate(1);
    EXPECT_EQ(panel.ComboSelection(), 1);
    EXPECT_EQ(DeviceRate(), 88200u);
    DWORD stored = 0;
    ASSERT_TRUE(ReadDword(kSettingSamplingRate, stored));
    EXPECT_EQ(stored, 88200u);
    // 88.2 kHz takes 128 frames at least: position 2.
    EXPECT_EQ(panel.TrackbarMinimum(), 2);
    EXPECT_TRUE(panel.Enabled(kRateCombo));
}

TEST(PanelBufferSize, TheTrackbarsEndsAndTheCaptureRequestLength)
{
    PanelMachine machine;
    machine.PlugR9(kFirst);
    machine.PlugR9(kSecond);
    StoreDword(kSettingSamplingRate, 44100);
    PanelProcess panel;
    ASSERT_TRUE(panel.Enabled(kBufferTrackbar));
    struct Step {
        const char* name;
        std::function<void()> act;
        LONG position;
        const char16_t* readout;
        DWORD urbSize;  // what every device received, 0 when nothing is sent
    } steps[] = {
        {"dragged to the largest size", [&] { panel.DragTrackbarTo(126); }, 126, u"4096 Samples", 8},
        {"one step back", [&] { sim::user::PressKey(panel.Item(kBufferTrackbar), kKeyLeft); }, 125, u"4064 Samples", 1},
        {"to the smallest size", [&] { sim::user::PressKey(panel.Item(kBufferTrackbar), kKeyHome); }, 0, u"64 Samples", 1},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        step.act();
        Settle();
        EXPECT_EQ(panel.TrackbarPosition(), step.position);
        EXPECT_EQ(panel.Text(kBufferSizeReadout), step.readout);
        DWORD stored = 0;
        ASSERT_TRUE(ReadDword(kSettingBufferSizeIndex, stored));
        EXPECT_EQ(stored, DWORD(step.position));
        for (const std::u16string& serial : {kFirst, kSecond}) {
            DWORD urbSize = 0;
            EXPECT_TRUE(machine.DeviceSetting(serial, u"IN URB Size", urbSize));
            EXPECT_EQ(urbSize, step.urbSize);
        }
    }
}

size_t WatcherNotices()
{
    const std::string output = sim::Machine::Current().DebuggerOutput();
    size_t count = 0;
    for (size_t at = output.find("CRegistryNotify"); at != std::string::npos; at = output.find("CRegistryNotify", at + 1)) {
        ++count;
    }
    return count;
}

// The panel's own write of "buffer_size_index" comes back through the registry watcher: once
// per watcher thread, one more than the machine's two processors.
TEST(PanelBufferSize, ThePanelsOwnWriteComesBackOncePerWatcherThread)
{
    PanelMachine machine;
    machine.PlugR9(kFirst);
    PanelProcess panel;
    const size_t before = WatcherNotices();
    panel.DragTrackbarTo(40);
    EXPECT_EQ(WatcherNotices() - before, 3u);
    EXPECT_EQ(panel.TrackbarPosition(), 40);
}

TEST(PanelBufferSize, AStoredPositionBelowTheRatesSmallestIsCorrected)
{
    PanelMachine machine;
    machine.PlugR9(kFirst);
    SetDeviceRate(96000);
    StoreDword(kSettingSamplingRate, 96000);
    StoreDword(kSettingBufferSizeIndex, 0);
    PanelProcess panel;
    DWORD stored = 0;
    ASSERT_TRUE(ReadDword(kSettingBufferSizeIndex, stored));
    EXPECT_EQ(stored, 2u);
    EXPECT_EQ(panel.TrackbarPosition(), 2);
    // 96 kHz is not offered: the panel then applies its first rate quietly, so the device runs
    // at 44.1 kHz and the whole range is allowed again.
    EXPECT_EQ(DeviceRate(), 44100u);
    EXPECT_EQ(panel.TrackbarMinimum(), 0);
    EXPECT_EQ(panel.Text(kBufferSizeReadout), u"128 Samples");
}

}  // namespace
}  // namespace paneltest
