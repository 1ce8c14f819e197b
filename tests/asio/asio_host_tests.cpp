// The test ASIO host (tools/asiohost) with the installed driver: a reset request is acted on by
// releasing and re-creating the driver on the host's own thread, never in the callback (and when
// the device was pulled out, the new object's init says why the stream ends); the program reports
// the driver and streams through it; without a device it prints the driver's own error; and a
// process has one active host.
#include <sstream>

#include "common/change_events.h"
#include "common/settings_store.h"
#include "tests/asio/driver_bench.h"
#include "tools/asiohost/program.h"
#include "tools/r9sim/asio_driver_install.h"

namespace asiotest {
namespace {

using asiokerneltest::AsioBench;

// Streams through the installed driver while `meanwhile` runs on another thread of the host
// process; whether the stream ran as asked.
bool StreamWhile(InstalledAsioHost& host, LPTHREAD_START_ROUTINE meanwhile, void* parameter,
                 const asiohost::StreamOptions& options, asiohost::StreamReport& report)
{
    HANDLE thread = CreateThread(nullptr, 0, meanwhile, parameter, 0, nullptr);
    EXPECT_NE(thread, nullptr);
    const bool streamed = host.session.Stream(options, report);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return streamed;
}

// The control panel, a while after the stream started: the user picks 256-frame buffers.
DWORD WINAPI ControlPanelPicks256Frames(LPVOID)
{
    Sleep(300);
    WriteSetting(kSettingBufferSizeIndex, 6);
    NotifySettingsChanged();
    return 0;
}

TEST(AsioHost, ResetRequestRecreatesTheDriverOutsideTheCallback)
{
    AsioBench bench;
    InstalledAsioHost host;
    asiohost::StreamOptions options;  // the driver's preferred buffer size, 512 frames at first
    options.milliseconds = 1000;
    asiohost::StreamReport report;
    ASSERT_TRUE(StreamWhile(host, &ControlPanelPicks256Frames, nullptr, options, report)) << report.failure;

    EXPECT_EQ(report.resetRequests, 1);
    EXPECT_EQ(report.recreations, 1);
    EXPECT_NE(host.engine.resetThread, 0u);
    EXPECT_NE(host.engine.resetThread, GetCurrentThreadId()) << "the driver asks from a thread of its own";
    EXPECT_EQ(host.session.RecreatingThread(), GetCurrentThreadId()) << "the host re-creates on its own thread";
    // The new driver object offers the control panel's size, and the host streams with it.
    EXPECT_EQ(report.bufferSize, 256);
    EXPECT_TRUE(report.Continuous()) << report.firstBreak;
    // 512-frame halves until the change (300 ms after the host began; creating and starting the
    // driver took part of that), then, once the new object started, 256-frame halves counted from
    // a new start.
    const std::vector<ULONG>& positions = host.engine.positions;
    size_t restart = 1;
    while (restart < positions.size() && positions[restart] != 256) {
        ++restart;
    }
    ASSERT_LT(restart, positions.size());
    EXPECT_GT(double(restart), 0.1 * 48000 / 512);
    EXPECT_LT(double(restart), 0.3 * 48000 / 512);
    for (size_t i = 0; i < positions.size(); ++i) {
        const ULONG expected = i < restart ? ULONG(512 * (i + 1)) : ULONG(256 * (i - restart + 1));
        ASSERT_EQ(positions[i], expected) << "switch " << i;
    }
    EXPECT_GT(double(positions.size() - restart), 0.5 * 48000 / 256);
}

DWORD WINAPI PullOutLater(LPVOID parameter)
{
    Sleep(300);
    static_cast<AsioBench*>(parameter)->Bench().PullOut();
    return 0;
}

TEST(AsioHost, DevicePulledOutEndsTheStreamWithTheDriversOwnReason)
{
    AsioBench bench;
    InstalledAsioHost host;
    asiohost::StreamOptions options;
    options.milliseconds = 2000;
    asiohost::StreamReport report;
    EXPECT_FALSE(StreamWhile(host, &PullOutLater, &bench, options, report));
    // The driver asked for a reset; the host built it again, and the new object found no device.
    EXPECT_EQ(report.resetRequests, 1);
    EXPECT_EQ(report.recreations, 1);
    EXPECT_EQ(report.failedAt, asiohost::StreamStep::Init);
    EXPECT_EQ(report.failure, "init failed: No device");
    EXPECT_EQ(report.breaks, 0u) << report.firstBreak;
}

TEST(AsioHost, ProgramReportsTheDriverAndStreamsThroughIt)
{
    AsioBench bench;
    ASSERT_EQ(r9sim::InstallAsioDriver(), S_OK);
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(asiohost::RunProgram({"TAVO R9 ASIO Driver", "--stream", "2"}, out, err), 0) << out.str() << err.str();
    const std::string text = out.str();
    for (const char* line : {
             "driver: TAVO R9 ASIO Driver {8B530174-8B34-48B8-AA68-B3170BDFC34E}\n",
             "name: TAVO R9 ASIO Driver, version 1\n",
             "init: ok\n",
             "channels: 4 in, 4 out\n",
             "  in   2  Input3(DRY)                     Int32LSB (18), group 0\n",
             "  out  3  Output4(REAMP)                  Int32LSB (18), group 0\n",
             "buffer sizes: min 512, max 512, preferred 512, granularity 0 (one size)\n",
             "sample rate: 48000 Hz\n",
             "can run at: 44100 48000 88200 96000 176400 192000 352800 384000 Hz\n",
             "clock sources: 1\n  0  Internal (current)\n",
             "native DSD: yes (current format: PCM); DSD rates: 2822400 5644800 11289600\n",
             "stream: 4 in, 4 out, 2 s\n",
             "reset requests: 0, driver re-created 0 times\n",
             "input: continuous",
             "round trip: ",
             "getLatencies: input 584 + output 842 = 1426",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
    }
}

TEST(AsioHost, WithoutADeviceTheProgramPrintsTheDriversOwnError)
{
    adaptertest::AdapterBench machine;
    sim::user::ProcessScope host(u"C:\\Tools\\asiohost.exe");
    ASSERT_EQ(r9sim::InstallAsioDriver(), S_OK);
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(asiohost::RunProgram({"1"}, out, err), 1);
    EXPECT_NE(out.str().find("init: failed: No device\n"), std::string::npos) << out.str();
    ASSERT_EQ(r9sim::UninstallAsioDriver(), S_OK);
    std::ostringstream list;
    EXPECT_EQ(asiohost::RunProgram({"--list"}, list, err), 0);
    EXPECT_EQ(list.str(), "ASIO drivers: 0\n");
}

TEST(AsioHost, OneActiveHostPerProcess)
{
    AsioBench bench;
    InstalledAsioHost first;
    asiohost::HostEngine second;
    EXPECT_FALSE(second.Active());
    asiohost::HostSession session(CLSID_QyxAsioDriver, second);
    asiohost::StreamReport report;
    asiohost::StreamOptions options;
    options.milliseconds = 100;
    EXPECT_FALSE(session.Stream(options, report));
    EXPECT_EQ(report.failure, "another host of this process holds the ASIO callbacks");
}

}  // namespace
}  // namespace asiotest
