// The dialog's device list: what a first start shows and stores, the device the settings name
// drawn bold, a click while a host streams, devices that go and come, and descriptions with "&".
#include "common/change_events.h"
#include "common/settings_store.h"
#include "controlpanel/resource_ids.h"
#include "tests/controlpanel/panel_bench.h"

namespace paneltest {
namespace {

const std::u16string kFirst = u"R9-00000001";
const std::u16string kSecond = u"R9-00000002";

// The named events of an ASIO driver whose settings thread listens, to see what the panel
// announces.
class ListeningDriver {
public:
    ListeningDriver()
        : listener_(CreateEventW(nullptr, TRUE, TRUE, kListenerEventName)),
          change_(CreateEventW(nullptr, FALSE, FALSE, kChangeEventName))
    {
    }
    ~ListeningDriver()
    {
        CloseHandle(change_);
        CloseHandle(listener_);
    }
    bool Announced() const { return WaitForSingleObject(change_, 0) == WAIT_OBJECT_0; }

private:
    HANDLE listener_;
    HANDLE change_;
};

TEST(PanelDevices, FirstStartWithoutSettingsMakesTheDeviceActiveAndAnnouncesIt)
{
    PanelMachine machine;
    machine.PlugR9(kFirst);
    ListeningDriver driver;
    PanelProcess panel;
    ASSERT_NE(panel.Window(), nullptr);
    ASSERT_EQ(panel.ListItems().size(), 1u);
    EXPECT_EQ(panel.ListSelection(), 0);
    EXPECT_EQ(panel.BoldItems(), std::vector<int>{0});
    EXPECT_EQ(panel.Text(kSettingGroup), panel.ListItems()[0]);
    // The defaults' "selected" cannot be read back: the first device became the one in use.
    EXPECT_EQ(ReadSelected(), machine.InstanceId(kFirst));
    EXPECT_TRUE(driver.Announced());
    EXPECT_TRUE(panel.Enabled(kBufferTrackbar));
    EXPECT_EQ(panel.Text(kBufferSizeReadout), u"512 Samples");
    // Bit depth stays hidden, disabled and empty.
    EXPECT_FALSE(panel.Visible(kBitDepthCombo));
    EXPECT_FALSE(panel.Enabled(kBitDepthCombo));
    EXPECT_FALSE(panel.Visible(kBitDepthLabel));
    EXPECT_EQ(SendMessageW(panel.Item(kBitDepthCombo), CB_GETCOUNT, 0, 0), 0);
}

TEST(PanelDevices, WindowTitleIconAndInformationText)
{
    PanelMachine machine;
    PanelProcess panel;
    WCHAR title[64] = {};
    GetWindowTextW(panel.Window(), title, 64);
    EXPECT_EQ(std::u16string(title), u"TAVO R9 Control Panel");
    EXPECT_NE(SendMessageW(panel.Window(), WM_QUERYDRAGICON, 0, 0), 0);
    const std::u16string text = panel.Text(kInformationText);
    const std::u16string first = u"TAVO R9 Control Panel\r\nVersion 1.0.0.1  built ";
    ASSERT_EQ(text.compare(0, first.size(), first), 0) << sim::Utf16ToUtf8(text);
    // "mm/dd/yyyy", then the line of this panel and the ASIO line, each ending in CR LF.
    const std::u16string date = text.substr(first.size(), 10);
    EXPECT_EQ(date[2], u'/');
    EXPECT_EQ(date[5], u'/');
    EXPECT_EQ(text.substr(first.size() + 10),
              u"\r\nDevice, sampling rate and ASIO buffer size\r\n"
              u"ASIO Technology by Steinberg Media Technologies GmbH\r\n");
}

TEST(PanelDevices, NoDeviceLeavesTheControlsOff)
{
    PanelMachine machine;
    PanelProcess panel;
    EXPECT_TRUE(panel.ListItems().empty());
    EXPECT_EQ(panel.Text(kSettingGroup), u"Setting");
    EXPECT_FALSE(panel.Enabled(kRateCombo));
    EXPECT_FALSE(panel.Enabled(kRateLabel));
    EXPECT_TRUE(panel.ComboEntries().empty());
    EXPECT_FALSE(panel.Enabled(kBufferTrackbar));
    EXPECT_EQ(panel.TrackbarPosition(), 0);
    EXPECT_EQ(panel.Text(kBufferSizeReadout), u"----");
    EXPECT_TRUE(panel.BoldItems().empty());
}

class TwoDevices : public ::testing::Test {
protected:
    void SetUp() override
    {
        machine.PlugR9(kFirst);
        machine.PlugR9(kSecond);
        machine.SetDescription(kFirst, u"TAVO R9 (first)");
        machine.SetDescription(kSecond, u"TAVO R9 (second)");
    }

    PanelMachine machine;
};

TEST_F(TwoDevices, TheStoredSecondDeviceIsShownSelectedAndBold)
{
    StoreSelected(machine.InstanceId(kSecond));
    PanelProcess panel;
    EXPECT_EQ(panel.ListItems(), (std::vector<std::u16string>{u"TAVO R9 (first)", u"TAVO R9 (second)"}));
    EXPECT_EQ(panel.ListSelection(), 1);
    EXPECT_EQ(panel.BoldItems(), std::vector<int>{1});
    EXPECT_EQ(panel.Text(kSettingGroup), u"TAVO R9 (second)");
    const auto drawn = panel.DrawnListItems();
    ASSERT_EQ(drawn.size(), 2u);
    // The selected item in the highlight colours, the other in the window's.
    EXPECT_EQ(drawn[1].background, GetSysColor(COLOR_HIGHLIGHT));
    EXPECT_EQ(drawn[0].background, GetSysColor(COLOR_WINDOW));
}

TEST_F(TwoDevices, ClickingAnotherDeviceWhileAHostStreamsOnlyShowsIt)
{
    StoreSelected(machine.InstanceId(kFirst));
    PanelProcess panel;
    {
        StreamingEvent streaming;
        panel.ClickDevice(1);
        EXPECT_EQ(panel.ListSelection(), 1);
        EXPECT_EQ(panel.Text(kSettingGroup), u"TAVO R9 (second)");
        EXPECT_EQ(panel.BoldItems(), std::vector<int>{0});
        EXPECT_EQ(ReadSelected(), machine.InstanceId(kFirst));
        // A device that is only shown has no buffer size to set.
        EXPECT_FALSE(panel.Enabled(kBufferTrackbar));
        EXPECT_EQ(panel.Text(kBufferSizeReadout), u"----");
    }
    // Once no host streams, choosing it makes it the device in use.
    panel.ClickDevice(0);
    panel.ClickDevice(1);
    EXPECT_EQ(panel.BoldItems(), std::vector<int>{1});
    EXPECT_EQ(ReadSelected(), machine.InstanceId(kSecond));
    EXPECT_TRUE(panel.Enabled(kBufferTrackbar));
}

TEST(PanelDevices, UnpluggingTheActiveDevice)
{
    const struct {
        const char* name;
        const std::u16string& active;
        std::vector<std::u16string> listed;
        std::vector<int> bold;
        std::u16string caption;
    } cases[] = {
        // The active index (1) lies beyond the list: nothing is bold.
        {"the second", kSecond, {u"TAVO R9 (first)"}, {}, u"Setting"},
        // The device now at the active index is shown and bold, and "selected" is kept.
        {"the first", kFirst, {u"TAVO R9 (second)"}, {0}, u"TAVO R9 (second)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PanelMachine local;
        local.PlugR9(kFirst);
        local.PlugR9(kSecond);
        local.SetDescription(kFirst, u"TAVO R9 (first)");
        local.SetDescription(kSecond, u"TAVO R9 (second)");
        const std::u16string stored = local.InstanceId(c.active);
        StoreSelected(stored);
        PanelProcess panel;
        local.UnplugR9(c.active);
        Settle();
        EXPECT_EQ(panel.ListItems(), c.listed);
        EXPECT_EQ(panel.BoldItems(), c.bold);
        EXPECT_EQ(panel.Text(kSettingGroup), c.caption);
        EXPECT_EQ(ReadSelected(), stored);
    }
}

TEST(PanelDevices, ADeviceThatArrivesIsListed)
{
    PanelMachine local;
    local.PlugR9(kFirst);
    PanelProcess panel;
    ASSERT_EQ(panel.ListItems().size(), 1u);
    local.PlugR9(kSecond);
    Settle();
    EXPECT_EQ(panel.ListItems().size(), 2u);
    EXPECT_EQ(panel.BoldItems(), std::vector<int>{0});
}

TEST(PanelDevices, AnAmpersandInADescriptionIsShownAsItself)
{
    PanelMachine machine;
    machine.PlugR9(kFirst);
    machine.SetDescription(kFirst, u"Rock & Roll R9");
    PanelProcess panel;
    ASSERT_EQ(panel.ListItems(), std::vector<std::u16string>{u"Rock && Roll R9"});
    const auto drawn = panel.DrawnListItems();
    ASSERT_EQ(drawn.size(), 1u);
    EXPECT_EQ(drawn[0].shown, u"Rock & Roll R9");
    EXPECT_EQ(drawn[0].underlined, -1);
    const auto caption = sim::user::TextsDrawnIn(panel.Item(kSettingGroup));
    ASSERT_FALSE(caption.empty());
    EXPECT_EQ(caption.back().shown, u"Rock & Roll R9");
    EXPECT_EQ(caption.back().underlined, -1);
}

}  // namespace
}  // namespace paneltest
