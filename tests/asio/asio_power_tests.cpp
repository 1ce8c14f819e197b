// System suspend and resume as Windows runs them: the power broadcast to every top-level window,
// and the device going to D3 and back through the kernel driver. The host's buffer switches go
// on through the suspension and after the resume; a device that does not come back ends in a
// reset request.
#include "sim/pnp/pnp_manager.h"
#include "sim/user/window_manager.h"
#include "tests/asio/driver_bench.h"

namespace asiotest {
namespace {

using asiokerneltest::AsioBench;

void Suspend(AsioBench& bench)
{
    // Programs hear of the suspend first; then the devices power down.
    sim::user::SendToAllWindows(WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
    ASSERT_EQ(sim::pnp::SetDevicePower(bench.Bench().Bus().Pdo(), PowerDeviceD3), STATUS_SUCCESS);
}

void PowerUp(AsioBench& bench)
{
    ASSERT_EQ(sim::pnp::SetDevicePower(bench.Bench().Bus().Pdo(), PowerDeviceD0), STATUS_SUCCESS);
}

void Resume() { sim::user::SendToAllWindows(WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0); }

class AsioPowerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        ASSERT_EQ(driver->createBuffers(infos, 2, 256, host.Callbacks()), ASE_OK);
    }
    void TearDown() override
    {
        driver->stop();
        driver->disposeBuffers();
    }

    AsioBench bench;
    DriverRef driver;
    TestHost host;
    ASIOBufferInfo infos[2] = {{ASIOTrue, 0, {}}, {ASIOFalse, 0, {}}};
};

TEST_F(AsioPowerTest, SwitchesGoOnThroughSuspendAndAfterResume)
{
    ASSERT_EQ(driver->start(), ASE_OK);
    Sleep(100);
    Suspend(bench);
    const int atSuspend = host.switches;
    // The keep-alive timer asks for ceil(256 / 48 kHz) = 6 ms, but window timers run no faster
    // than every 10 ms.
    Sleep(600);
    EXPECT_NEAR(host.switches - atSuspend, 60, 2);
    PowerUp(bench);
    Resume();
    const int atResume = host.switches;
    Sleep(500);
    EXPECT_NEAR(host.switches - atResume, 500 * 48 / 256, 3);
    EXPECT_EQ(host.resetRequests, 0);
    for (size_t i = 1; i < host.positions.size(); ++i) {
        ASSERT_EQ(host.positions[i] - host.positions[i - 1], 256u) << "switch " << i;
    }
}

TEST_F(AsioPowerTest, ResumeWaitsForTheDeviceToComeBack)
{
    ASSERT_EQ(driver->start(), ASE_OK);
    Sleep(100);
    Suspend(bench);
    Sleep(100);
    Resume();
    Sleep(350);  // still off: tried again every 100 ms
    PowerUp(bench);
    Sleep(150);
    const int afterPowerUp = host.switches;
    Sleep(500);
    EXPECT_NEAR(host.switches - afterPowerUp, 500 * 48 / 256, 3);
    EXPECT_EQ(host.resetRequests, 0);
}

TEST_F(AsioPowerTest, DeviceThatStaysOffEndsInAResetRequest)
{
    ASSERT_EQ(driver->start(), ASE_OK);
    Sleep(100);
    Suspend(bench);
    Resume();
    Sleep(1100);  // ten tries, 100 ms apart
    EXPECT_EQ(host.resetRequests, 1);
    const int switches = host.switches;
    Sleep(100);
    EXPECT_EQ(host.switches, switches) << "the keep-alive timer stopped";
    PowerUp(bench);
}

TEST_F(AsioPowerTest, SuspendWhilePreparedChangesNothing)
{
    Suspend(bench);
    Sleep(100);
    PowerUp(bench);
    Resume();
    EXPECT_EQ(host.switches, 0);
    EXPECT_EQ(host.resetRequests, 0);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK) << "still prepared";
}

}  // namespace
}  // namespace asiotest
