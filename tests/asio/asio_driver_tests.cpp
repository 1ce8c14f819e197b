// The driver object on the R9: init and its failures, the one-host rule across processes, names,
// channels, buffer sizes and latencies, and a control-panel change reaching a driver without
// buffers.
#include <cstring>

#include "asio/product_table.h"
#include "common/change_events.h"
#include "sim/user/processes.h"
#include "tests/asio/driver_bench.h"

namespace asiotest {
namespace {

using asiokerneltest::AsioBench;

constexpr DWORD kQueryLatency = 0x222030;

TEST(AsioDriverInit, SecondInitIsRefusedAndTheObjectStaysUsable)
{
    AsioBench bench;
    DriverRef driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue) << ErrorText(driver.Get());
    EXPECT_EQ(driver->init(nullptr), ASIOFalse);
    EXPECT_EQ(ErrorText(driver.Get()), "ASIO driver was initialized before this time.\n");
    LONG inputs = 0;
    LONG outputs = 0;
    EXPECT_EQ(driver->getChannels(&inputs, &outputs), ASE_OK);
    EXPECT_EQ(inputs, 4);
    EXPECT_EQ(outputs, 4);
    EXPECT_EQ(driver->getChannels(nullptr, &outputs), ASE_InvalidParameter);
    char name[32] = {};
    driver->getDriverName(name);
    EXPECT_STREQ(name, "TAVO R9 ASIO Driver");
    EXPECT_EQ(driver->getDriverVersion(), 1);
    // init claimed the device for this host.
    EXPECT_NE(bench.NewClient()->Claim(), 0u);
}

TEST(AsioDriverInit, NoDeviceLeavesTheObjectLoaded)
{
    adaptertest::AdapterBench machine;
    sim::user::ProcessScope host(u"C:\\Program Files\\Host\\host.exe");
    {
        DriverRef driver;
        EXPECT_EQ(driver->init(nullptr), ASIOFalse);
        EXPECT_EQ(ErrorText(driver.Get()), "No device\n");
        LONG size[4] = {};
        EXPECT_EQ(driver->getBufferSize(&size[0], &size[1], &size[2], &size[3]), ASE_NotPresent);
        EXPECT_EQ(driver->start(), ASE_NotPresent);
    }
    // Nothing was chosen for the user: "selected" still holds what the defaults put there.
    WCHAR selected[64] = {};
    EXPECT_EQ(CSettingsStore().ReadSetting(kSettingSelected, selected, sizeof selected), kSettingsQueryFailed);
}

// A second host program: its driver's init result and error text, as its exit code.
int SecondHostMain(int, WCHAR**)
{
    DriverRef driver;
    if (driver->init(nullptr) == ASIOTrue) {
        return 3;
    }
    return ErrorText(driver.Get()) == "Used by another ASIO host\n" ? 1 : 2;
}

DWORD RunSecondHost() { return RunProgram(W("C:\\Program Files\\Other\\other.exe")); }

TEST(AsioDriverInit, OneHostInTheSystemAtATime)
{
    AsioBench bench;
    sim::user::RegisterProgram(u"C:\\Program Files\\Other\\other.exe", &SecondHostMain);
    {
        DriverRef first;
        ASSERT_EQ(first->init(nullptr), ASIOTrue);
        WriteSetting(kSettingSamplingRate, 96000);
        EXPECT_EQ(RunSecondHost(), 1u);
        // The refused driver leaves the running host's settings alone as it goes.
        EXPECT_EQ(ReadDwordSetting(kSettingSamplingRate), 96000u);
        LONG inputs = 0;
        LONG outputs = 0;
        EXPECT_EQ(first->getChannels(&inputs, &outputs), ASE_OK) << "the first host is not disturbed";
    }
    EXPECT_EQ(RunSecondHost(), 3u) << "the host lock goes with the first driver object";
}

TEST(AsioDriverQueries, BufferSizeIsTheControlPanelsOnly)
{
    struct Case {
        DWORD index;
        LONG frames;
    } cases[] = {{14, 512}, {0, 64}, {126, 4096}, {127, 0}, {1000, 0}};
    for (const Case& c : cases) {
        AsioBench bench;
        WriteSetting(kSettingBufferSizeIndex, c.index);
        DriverRef driver;
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        LONG size[4] = {-1, -1, -1, -1};
        ASSERT_EQ(driver->getBufferSize(&size[0], &size[1], &size[2], &size[3]), ASE_OK);
        EXPECT_EQ(size[0], c.frames) << "index " << c.index;
        EXPECT_EQ(size[1], c.frames) << "index " << c.index;
        EXPECT_EQ(size[2], c.frames) << "index " << c.index;
        EXPECT_EQ(size[3], 0) << "index " << c.index;
    }
}

TEST(AsioDriverQueries, DsdFormatCountsOneBitSamples)
{
    AsioBench bench;
    DriverRef driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    UseDsdFormat(driver.Get());
    LONG size[4] = {};
    ASSERT_EQ(driver->getBufferSize(&size[0], &size[1], &size[2], &size[3]), ASE_OK);
    EXPECT_EQ(size[0], 16384);
    EXPECT_EQ(size[2], 16384);
    EXPECT_EQ(size[3], 0);
    ASIOChannelInfo info = {};
    info.isInput = ASIOTrue;
    ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.type, ASIOSTDSDInt8MSB1);
}

TEST(AsioDriverQueries, ChannelInfoFromTheProductTable)
{
    AsioBench bench;
    DriverRef driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    const char* inputs[] = {"Input1", "Input2", "Input3(DRY)", "Input4(DRY)"};
    const char* outputs[] = {"Output1", "Output2", "Output3(REAMP)", "Output4(REAMP)"};
    for (LONG channel = 0; channel < 4; ++channel) {
        for (ASIOBool input : {ASIOTrue, ASIOFalse}) {
            ASIOChannelInfo info = {};
            info.channel = channel;
            info.isInput = input;
            info.isActive = ASIOTrue;
            ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
            EXPECT_STREQ(info.name, input ? inputs[channel] : outputs[channel]);
            EXPECT_EQ(info.isActive, ASIOFalse);
            EXPECT_EQ(info.channelGroup, 0);
            EXPECT_EQ(info.type, ASIOSTInt32LSB);
        }
    }
    for (LONG channel : {-1, 4}) {
        ASIOChannelInfo info = {};
        info.channel = channel;
        info.isInput = ASIOTrue;
        EXPECT_EQ(driver->getChannelInfo(&info), ASE_InvalidParameter) << channel;
    }
    EXPECT_EQ(driver->getChannelInfo(nullptr), ASE_InvalidParameter);
}

TEST(AsioChannelNames, MadeFromTheDescriptionWhenTheProductHasNone)
{
    const ProductInfo* r9 = FindProductInfo(W("USB\\VID_3A5C&PID_0009\\R9-00000001"));
    ASSERT_NE(r9, nullptr);
    EXPECT_EQ(FindProductInfo(W("usb\\vid_3a5c&pid_0009\\r9-00000001")), nullptr) << "keys match case-sensitively";
    EXPECT_EQ(FindProductInfo(W("USB\\VID_3A5C&PID_0010\\R9-00000001")), nullptr);
    struct Case {
        const ProductInfo* product;
        const WCHAR* description;
        bool input;
        int channel;
        const char* name;
    } cases[] = {
        {r9, W("TAVO R9"), false, 2, "Output3(REAMP)"},
        {r9, W("TAVO R9"), true, 4, "TAVO R9 In 05"},  // beyond the product's names
        {nullptr, W("2- TAVO R9"), true, 0, "TAVO R9 In 01"},
        {nullptr, W("12-34 5"), false, 1, "12-34 5 Out 02"},  // nothing but digits, dashes, blanks
        {nullptr, W("ABCDEFGHIJKLMNOPQRSTUVWXYZabcd"), false, 2, "ABCDEFGHIJKLMNOPQRSTU... Out 03"},
        {nullptr, W("ABCDEFGHIJKLMNOPQRSTUVWX"), true, 9, "ABCDEFGHIJKLMNOPQRSTUVWX In 10"},
        {nullptr, W("ABCDEFGHIJKLMNOPQRSTUVWXY"), true, 0, "ABCDEFGHIJKLMNOPQRSTU... In 01"},
        {nullptr, W("Caf\u00E9 R9"), true, 0, "Caf\xE9 R9 In 01"},
    };
    for (const Case& c : cases) {
        char name[32];
        std::memset(name, 'x', sizeof name);
        ChannelName(c.product, c.description, c.input, c.channel, name);
        EXPECT_STREQ(name, c.name);
    }
}

// The kernel driver's capture request length, which the input latency counts.
DWORD CaptureRequestMs(AsioBench& bench)
{
    DWORD value = 0;
    EXPECT_EQ(bench.NewClient()->Control(kQueryLatency, nullptr, 0, &value, sizeof value), 0u);
    return value;
}

TEST(AsioDriverQueries, LatenciesFollowTheMeasuredTable)
{
    AsioBench bench(AtRate(44100));
    const DWORD requestMs = CaptureRequestMs(bench);
    DriverRef driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    TestHost host;
    // Before createBuffers the size of the settings (512); after it, the created size.
    struct Case {
        LONG frames;
        LONG roundTrip;  // 359 + (4980 - 359) x (frames - 64) / (2048 - 64)
    } cases[] = {{512, 1402}, {128, 508}};
    LONG in = 0;
    LONG out = 0;
    ASSERT_EQ(driver->getLatencies(&in, &out), ASE_OK);
    const LONG extra = LONG(44100 * requestMs / 1000) + 22;
    EXPECT_EQ(in, extra + cases[0].frames);
    EXPECT_EQ(out, cases[0].roundTrip - in);

    ASIOBufferInfo infos[2] = {{ASIOTrue, 0, {}}, {ASIOFalse, 0, {}}};
    ASSERT_EQ(driver->createBuffers(infos, 2, cases[1].frames, host.Callbacks()), ASE_OK);
    ASSERT_EQ(driver->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(in, extra + cases[1].frames);
    EXPECT_EQ(out, cases[1].roundTrip - in);
    EXPECT_EQ(driver->getLatencies(nullptr, &out), ASE_InvalidParameter);
}

TEST(AsioDriverQueries, NoLatenciesAtADsdRate)
{
    AsioBench bench;
    DriverRef driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    UseDsdFormat(driver.Get());
    ASSERT_EQ(driver->setSampleRate(2822400), ASE_OK);
    LONG in = 0;
    LONG out = 0;
    EXPECT_EQ(driver->getLatencies(&in, &out), ASE_NotPresent);
}

TEST(AsioDriverSettings, BufferSizeChangeWithoutBuffersIsTakenQuietly)
{
    AsioBench bench;
    DriverRef driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    TestHost host;
    {
        // As the control panel changes a setting: under the lock, then the signal.
        CSettingsLock lock;
        ASSERT_TRUE(lock.Create());
        CSettingsLockHolder held(lock);
        WriteSetting(kSettingBufferSizeIndex, 2);
        NotifySettingsChanged();
    }
    LONG size[4] = {};
    WaitUntil([&] { return driver->getBufferSize(&size[0], &size[1], &size[2], &size[3]) == ASE_OK && size[2] == 128; });
    EXPECT_EQ(size[2], 128);
    EXPECT_EQ(host.resetRequests, 0);
}

}  // namespace
}  // namespace asiotest

namespace asiotest {
namespace {

const WCHAR kPanelPath[] = W("C:\\Program Files\\TAVO\\tvr9audiocp.exe");
const WCHAR kPanelStarted[] = W("r9-test-panel-started");

int PanelMain(int argc, WCHAR**)
{
    HANDLE started = OpenEventW(EVENT_MODIFY_STATE, FALSE, kPanelStarted);
    SetEvent(started);
    CloseHandle(started);
    return argc;
}

void InstallControlPanel()
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, W("SOFTWARE\\TAVO\\R9 Driver Setup"), 0, nullptr, 0,
                              KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    // Stored without its terminator, as some installers write it.
    ASSERT_EQ(RegSetValueExW(key, W("ControlPanel"), 0, REG_SZ, reinterpret_cast<const BYTE*>(kPanelPath),
                             DWORD(wcslen(kPanelPath) * sizeof(WCHAR))),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST(AsioControlPanel, StartsTheInstalledProgramAndIsFineWithoutOne)
{
    AsioBench bench;
    sim::user::RegisterProgram(kPanelPath, &PanelMain);
    HANDLE started = CreateEventW(nullptr, TRUE, FALSE, kPanelStarted);
    DriverRef driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(driver->controlPanel(), ASE_OK);
    Sleep(100);
    EXPECT_EQ(WaitForSingleObject(started, 0), DWORD(WAIT_TIMEOUT)) << "nothing is installed";
    InstallControlPanel();
    EXPECT_EQ(driver->controlPanel(), ASE_OK);
    EXPECT_EQ(WaitForSingleObject(started, 1000), WAIT_OBJECT_0);
    CloseHandle(started);
}

}  // namespace
}  // namespace asiotest
