// Buffers and the buffer switch through the kernel driver, with the R9 in loopback: the host's
// signal comes back continuous, the halves alternate, the sample position counts, outputReady
// saves one buffer of latency, and the failures a host must survive (a rate change while running,
// a control-panel change, the device pulled out) end in a reset request.
#include <cstring>

#include "common/change_events.h"
#include "sim/user/processes.h"
#include "tests/asio/driver_bench.h"

namespace asiotest {
namespace {

using asiokerneltest::AsioBench;

constexpr uint32_t kValidBits = 24;  // the R9's converters, in 32-bit containers

// A host that creates every channel of the given directions and streams its signal.
class StreamingHost {
public:
    StreamingHost(IASIO* driver, LONG frames, bool inputs = true, bool outputs = true) : driver_(driver)
    {
        for (LONG channel = 0; channel < 4; ++channel) {
            if (inputs) {
                infos_.push_back({ASIOTrue, channel, {}});
            }
            if (outputs) {
                infos_.push_back({ASIOFalse, channel, {}});
            }
        }
        result = driver->createBuffers(infos_.data(), LONG(infos_.size()), frames, host.Callbacks());
        if (result == ASE_OK) {
            EXPECT_TRUE(host.StreamSignal(infos_.data(), int(infos_.size()), frames, ASIOSTInt32LSB, kValidBits, 4));
        }
    }
    ~StreamingHost()
    {
        driver_->stop();
        driver_->disposeBuffers();
    }

    TestHost host;
    ASIOError result;

private:
    IASIO* driver_;
    std::vector<ASIOBufferInfo> infos_;
};

TEST(AsioStreaming, DuplexSignalComesBackContinuousAndThePositionCounts)
{
    AsioBench bench;
    DriverRef driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    ASIOSamples position = {1, 1};
    ASIOTimeStamp stamp = {1, 1};
    ASSERT_EQ(driver->getSamplePosition(&position, &stamp), ASE_OK);
    EXPECT_EQ(position.hi | position.lo | stamp.hi | stamp.lo, 0u) << "nothing before the first switch";

    StreamingHost streaming(driver.Get(), 256);
    ASSERT_EQ(streaming.result, ASE_OK);
    ASIOChannelInfo info = {};
    info.isInput = ASIOTrue;
    ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.isActive, ASIOTrue);
    ASSERT_EQ(driver->start(), ASE_OK);
    Sleep(1000);
    ASSERT_EQ(driver->stop(), ASE_OK);
    const TestHost& host = streaming.host;
    // 48000 / 256 switches a second, give or take the start.
    EXPECT_NEAR(host.switches, 187, 3);
    for (size_t i = 0; i < host.halves.size(); ++i) {
        EXPECT_EQ(host.halves[i], LONG(i % 2)) << "switch " << i;
        EXPECT_EQ(host.positions[i], ULONG(256 * (i + 1))) << "switch " << i;
    }
    EXPECT_TRUE(host.Input().Continuous()) << host.Input().FirstBreak();
    EXPECT_GT(host.RoundTripFrames(), 0);
    EXPECT_EQ(host.resetRequests, 0);
    EXPECT_TRUE(host.otherMessages.empty());
    ASSERT_EQ(driver->getSamplePosition(&position, &stamp), ASE_OK);
    EXPECT_EQ(position.lo, ULONG(256 * host.switches));
}

TEST(AsioStreaming, OutputReadyHearsEachHalfOneSwitchSooner)
{
    int64_t roundTrips[2] = {};
    for (int callsOutputReady = 0; callsOutputReady < 2; ++callsOutputReady) {
        AsioBench bench;
        DriverRef driver;
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        StreamingHost streaming(driver.Get(), 256);
        ASSERT_EQ(streaming.result, ASE_OK);
        streaming.host.CallOutputReady(callsOutputReady != 0 ? driver.Get() : nullptr);
        ASSERT_EQ(driver->start(), ASE_OK);
        Sleep(500);
        ASSERT_EQ(driver->stop(), ASE_OK);
        EXPECT_TRUE(streaming.host.Input().Continuous()) << streaming.host.Input().FirstBreak();
        roundTrips[callsOutputReady] = streaming.host.RoundTripFrames();
    }
    EXPECT_EQ(roundTrips[0] - roundTrips[1], 256);
}

TEST(AsioStreaming, OutputOnlyIsTimedByItsWrites)
{
    AsioBench bench;
    DriverRef driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    TestHost host;
    host.timeInfoAnswer = 0;
    ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 3, {}}};
    ASSERT_EQ(driver->createBuffers(infos, 2, 512, host.Callbacks()), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    Sleep(1000);
    ASSERT_EQ(driver->stop(), ASE_OK);
    // Two halves are queued before the first write completes, then one switch per completion.
    EXPECT_NEAR(host.switches, 48000 / 512 + 2, 3);
    EXPECT_EQ(host.resetRequests, 0);
    EXPECT_TRUE(host.positions.empty()) << "a host without time info gets bufferSwitch";
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
}

TEST(AsioStreaming, DisposeWhileRunningIsRefused)
{
    AsioBench bench;
    DriverRef driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    StreamingHost streaming(driver.Get(), 256);
    ASSERT_EQ(driver->start(), ASE_OK);
    EXPECT_EQ(driver->disposeBuffers(), ASE_NotPresent);
    EXPECT_EQ(driver->createBuffers(nullptr, 0, 256, streaming.host.Callbacks()), ASE_NotPresent);
}

TEST(AsioStreaming, RateChangeBeyondTheBuffersRangeAsksForAReset)
{
    AsioBench bench(AtRate(44100));
    DriverRef driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    StreamingHost streaming(driver.Get(), 64);
    ASSERT_EQ(streaming.result, ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    Sleep(100);
    // 88.2 kHz takes 128 frames at least: the 64-frame buffers cannot go on.
    EXPECT_EQ(driver->setSampleRate(88200), ASE_OK);
    const int switches = streaming.host.switches;
    Sleep(100);
    EXPECT_EQ(streaming.host.switches, switches) << "the stream stays stopped";
    EXPECT_EQ(streaming.host.resetRequests, 1);
    ASIOSampleRate rate = 0;
    ASSERT_EQ(driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 88200.0);
    EXPECT_EQ(ReadDwordSetting(kSettingSamplingRate), 88200u);
}

TEST(AsioStreaming, ControlPanelRateChangeReachesTheRunningHost)
{
    AsioBench bench;
    DriverRef driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    StreamingHost streaming(driver.Get(), 256);
    ASSERT_EQ(driver->start(), ASE_OK);
    Sleep(50);
    WriteSetting(kSettingSamplingRate, 96000);
    NotifySettingsChanged();
    WaitUntil([&] { return streaming.host.resetRequests != 0; });
    EXPECT_EQ(streaming.host.resetRequests, 1);
    // Until the host has disposed of its buffers, they cannot run again.
    ASSERT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(driver->start(), ASE_NotPresent);
}

TEST(AsioStreaming, HostThatHangsInItsCallbackIsGivenUpByStop)
{
    AsioBench bench;
    DriverRef driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    TestHost host;
    ASIOBufferInfo infos[2] = {{ASIOTrue, 0, {}}, {ASIOFalse, 0, {}}};
    ASSERT_EQ(driver->createBuffers(infos, 2, 256, host.Callbacks()), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    Sleep(50);
    host.hangOnceMs = 60000;
    Sleep(50);
    // stop waits ten seconds for the streaming thread, then ends it and asks for a reset.
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(host.resetRequests, 1);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    const int switches = host.switches;
    Sleep(100);
    EXPECT_EQ(host.switches, switches);
}

TEST(AsioStreaming, DevicePulledOutMidStreamGivesAResetRequest)
{
    AsioBench bench;
    DriverRef driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    {
        StreamingHost streaming(driver.Get(), 256);
        ASSERT_EQ(driver->start(), ASE_OK);
        Sleep(100);
        bench.Bench().PullOut();
        WaitUntil([&] { return streaming.host.resetRequests != 0; });
        EXPECT_EQ(streaming.host.resetRequests, 1);
    }
    driver.Release();
}

}  // namespace
}  // namespace asiotest
