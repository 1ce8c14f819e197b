// Rates, the clock source and future(): the lock setting, the device's range, native DSD and the
// I/O format, and the selectors the driver does not support.
#include "common/device_list.h"
#include "tests/asio/driver_bench.h"

namespace asiotest {
namespace {

using asiokerneltest::AsioBench;
using asiokerneltest::AsioBenchOptions;

DWORD DeviceRate()
{
    CDeviceList list;
    list.Enumerate();
    return list.Count() == 0 ? 0 : list.Device(0).GetCurrentRate();
}

ASIOIoFormat Format(LONG type)
{
    ASIOIoFormat format = {};
    format.FormatType = type;
    return format;
}

TEST(AsioRate, LockedRateTakesOnlyTheCurrentRate)
{
    AsioBench bench;
    WriteByteSetting(kSettingLock, 1);
    DriverRef driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(driver->canSampleRate(48000), ASE_OK);
    EXPECT_EQ(driver->canSampleRate(44100), ASE_NoClock);
    EXPECT_EQ(driver->setSampleRate(44100), ASE_NoClock);
    EXPECT_EQ(driver->setSampleRate(48000), ASE_OK);
    EXPECT_EQ(DeviceRate(), 48000u);
}

TEST(AsioRate, PcmRatesWithinTheDevicesRange)
{
    AsioBench bench;
    DriverRef driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    // The R9 runs from 44.1 to 384 kHz.
    struct Case {
        double rate;
        ASIOError answer;
    } cases[] = {{32000, ASE_NoClock}, {44100, ASE_OK},     {88200, ASE_OK},      {384000, ASE_OK},
                 {705600, ASE_NoClock}, {12345, ASE_NoClock}, {2822400, ASE_NoClock}, {48000.5, ASE_NoClock}};
    for (const Case& c : cases) {
        EXPECT_EQ(driver->canSampleRate(c.rate), c.answer) << c.rate;
    }
}

TEST(AsioRate, SetRateWhileInitializedReachesTheDeviceAndTheSetting)
{
    AsioBench bench;
    DriverRef driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(driver->setSampleRate(0), ASE_InvalidMode);
    EXPECT_EQ(driver->setSampleRate(32000), ASE_NoClock);
    ASSERT_EQ(driver->setSampleRate(96000), ASE_OK);
    EXPECT_EQ(DeviceRate(), 96000u);
    EXPECT_EQ(ReadDwordSetting(kSettingSamplingRate), 96000u);
    ASIOSampleRate rate = 0;
    ASSERT_EQ(driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 96000.0);
    EXPECT_EQ(driver->getSampleRate(nullptr), ASE_InvalidParameter);
}

TEST(AsioRate, NativeDsdRunsTheDeviceAtAThirtySecondOfTheBitRate)
{
    AsioBench bench;
    DriverRef driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    ASIOIoFormat dsd = Format(kASIODSDFormat);
    ASSERT_EQ(driver->future(kAsioCanDoIoFormat, &dsd), ASE_SUCCESS);
    ASSERT_EQ(driver->future(kAsioSetIoFormat, &dsd), ASE_SUCCESS);
    EXPECT_EQ(driver->canSampleRate(5644800), ASE_OK);
    EXPECT_EQ(driver->canSampleRate(44100), ASE_NoClock);
    ASSERT_EQ(driver->setSampleRate(5644800), ASE_OK);
    EXPECT_EQ(DeviceRate(), 176400u);
    ASIOSampleRate rate = 0;
    ASSERT_EQ(driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 5644800.0);
    ASIOIoFormat current = Format(-1);
    ASSERT_EQ(driver->future(kAsioGetIoFormat, &current), ASE_SUCCESS);
    EXPECT_EQ(current.FormatType, kASIODSDFormat);
}

TEST(AsioRate, DsdFormatIsRefusedByADeviceWithoutNativeDsd)
{
    AsioBenchOptions options;
    options.dsdModeRequest = false;
    AsioBench bench(options);
    DriverRef driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    ASIOIoFormat dsd = Format(kASIODSDFormat);
    EXPECT_EQ(driver->future(kAsioCanDoIoFormat, &dsd), ASE_InvalidParameter);
    EXPECT_EQ(driver->future(kAsioSetIoFormat, &dsd), ASE_InvalidParameter);
    ASIOIoFormat pcm = Format(kASIOPCMFormat);
    EXPECT_EQ(driver->future(kAsioCanDoIoFormat, &pcm), ASE_SUCCESS);
    ASIOIoFormat current = Format(-1);
    ASSERT_EQ(driver->future(kAsioGetIoFormat, &current), ASE_SUCCESS);
    EXPECT_EQ(current.FormatType, kASIOPCMFormat);
}

TEST(AsioRate, FutureSelectors)
{
    AsioBench bench;
    DriverRef driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    struct Case {
        LONG selector;
        ASIOError answer;
    } cases[] = {
        {kAsioEnableTimeCodeRead, ASE_SUCCESS}, {kAsioDisableTimeCodeRead, ASE_SUCCESS},
        {kAsioCanTimeInfo, ASE_SUCCESS},        {kAsioCanTimeCode, ASE_SUCCESS},
        {kAsioCanInputMonitor, ASE_SUCCESS},    {kAsioSetInputMonitor, ASE_SUCCESS},
        {kAsioTransport, ASE_InvalidParameter}, {kAsioCanTransport, ASE_InvalidParameter},
        {kAsioSetInputGain, ASE_InvalidParameter}, {kAsioGetOutputMeter, ASE_InvalidParameter},
        {kAsioSetIoFormat, ASE_InvalidParameter},  // no record
        {kAsioGetIoFormat, ASE_InvalidParameter},
        {kAsioCanDoIoFormat, ASE_InvalidParameter},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(driver->future(c.selector, nullptr), c.answer) << c.selector;
    }
    ASIOIoFormat odd = Format(7);
    EXPECT_EQ(driver->future(kAsioSetIoFormat, &odd), ASE_InvalidParameter);
}

TEST(AsioRate, OneInternalClock)
{
    AsioBench bench;
    DriverRef driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    ASIOClockSource clocks[2] = {};
    LONG count = 2;
    ASSERT_EQ(driver->getClockSources(clocks, &count), ASE_OK);
    EXPECT_EQ(count, 1);
    EXPECT_STREQ(clocks[0].name, "Internal");
    EXPECT_EQ(clocks[0].isCurrentSource, ASIOTrue);
    EXPECT_EQ(clocks[0].associatedChannel, -1);
    EXPECT_EQ(driver->setClockSource(1), ASE_NotPresent);
    EXPECT_EQ(driver->setClockSource(0), ASE_OK);
}

}  // namespace
}  // namespace asiotest
