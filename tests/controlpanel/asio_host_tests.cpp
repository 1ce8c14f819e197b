// The control panel beside an ASIO host in another process: a rate chosen for buffers that do not
// run reaches the host as a reset request, a buffer size moved while it streams too, and a rate
// change that the running stream forbids is refused with the device-in-use message.
#include "asio/asio_driver.h"
#include "common/device_list.h"
#include "controlpanel/resource_ids.h"
#include "tests/asio/driver_bench.h"
#include "tests/controlpanel/panel_bench.h"

namespace paneltest {
namespace {

using asiokerneltest::AsioBench;
using asiotest::DriverRef;
using asiotest::TestHost;

const char16_t kDeviceInUse[] =
    u"Sound device is in use. You must close any application using this sound device before changing this setting.";

DWORD DeviceRate()
{
    CDeviceList list;
    list.Enumerate();
    return list.Count() == 0 ? 0 : list.Device(0).GetCurrentRate();
}

// The ASIO host process (the test's own) with the driver initialised and buffers of 256 frames at
// 44.1 kHz, and the control panel started beside it.
class HostAndPanel : public ::testing::Test {
protected:
    HostAndPanel() : bench(asiotest::AtRate(44100))
    {
        InstallControlPanel();
        EXPECT_EQ(driver->init(nullptr), ASIOTrue);
        infos[0] = {ASIOTrue, 0, {}};
        infos[1] = {ASIOFalse, 0, {}};
        EXPECT_EQ(driver->createBuffers(infos, 2, 256, host.Callbacks()), ASE_OK);
    }
    ~HostAndPanel() override
    {
        panel.reset();
        driver->stop();
        driver->disposeBuffers();
    }
    void StartPanel()
    {
        panel = std::make_unique<PanelProcess>();
        ASSERT_NE(panel->Window(), nullptr);
        ASSERT_EQ(panel->ComboEntries(), (std::vector<std::u16string>{u"44100 Hz", u"88200 Hz"}));
        ASSERT_EQ(panel->ComboSelection(), 0);
    }

    AsioBench bench;
    DriverRef driver;
    TestHost host;
    ASIOBufferInfo infos[2];
    std::unique_ptr<PanelProcess> panel;
};

TEST_F(HostAndPanel, ARateChosenForBuffersThatDoNotRunReachesTheHostAsAResetRequest)
{
    StartPanel();
    panel->ChooseRate(1);
    asiotest::WaitUntil([&] { return host.resetRequests != 0; });
    EXPECT_EQ(host.resetRequests, 1);
    EXPECT_EQ(DeviceRate(), 88200u);
    EXPECT_EQ(asiotest::ReadDwordSetting(kSettingSamplingRate), 88200u);
    EXPECT_TRUE(sim::user::MessageBoxesShown().empty());
}

TEST_F(HostAndPanel, ABufferSizeMovedWhileTheHostStreamsReachesItAsAResetRequest)
{
    ASSERT_EQ(driver->start(), ASE_OK);
    StartPanel();
    panel->DragTrackbarTo(30);
    asiotest::WaitUntil([&] { return host.resetRequests != 0; });
    EXPECT_EQ(host.resetRequests, 1);
    EXPECT_EQ(asiotest::ReadDwordSetting(kSettingBufferSizeIndex), 30u);
    LONG minimum = 0, maximum = 0, preferred = 0, granularity = 0;
    ASSERT_EQ(driver->getBufferSize(&minimum, &maximum, &preferred, &granularity), ASE_OK);
    EXPECT_EQ(preferred, (30 + 2) * 32);
}

TEST_F(HostAndPanel, ARateChangeTheRunningStreamForbidsIsRefusedWithTheMessage)
{
    ASSERT_EQ(driver->start(), ASE_OK);
    StartPanel();
    panel->ChooseRate(1);
    const auto boxes = sim::user::MessageBoxesShown();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kDeviceInUse);
    EXPECT_EQ(boxes[0].owner, panel->Window());
    EXPECT_EQ(boxes[0].type & MB_ICONEXCLAMATION, UINT(MB_ICONEXCLAMATION));
    EXPECT_TRUE(boxes[0].open);
    EXPECT_FALSE(IsWindowEnabled(panel->Window())) << "the box is modal to the panel";
    // The stored rate is the device's again before the box closes, the lock still held.
    EXPECT_EQ(asiotest::ReadDwordSetting(kSettingSamplingRate), 44100u);
    ASSERT_TRUE(sim::user::AnswerMessageBox(IDOK));
    Settle();
    EXPECT_EQ(panel->ComboSelection(), 0);
    EXPECT_TRUE(panel->Enabled(kRateCombo));
    EXPECT_EQ(DeviceRate(), 44100u);
    // The host streams on, untroubled.
    const int switches = host.switches;
    Sleep(100);
    EXPECT_GT(host.switches, switches);
    EXPECT_EQ(host.resetRequests, 0);
}

}  // namespace
}  // namespace paneltest
