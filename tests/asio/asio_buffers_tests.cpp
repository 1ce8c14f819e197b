// createBuffers' checks: channel lists, buffer sizes at each rate and in the DSD format, the
// fill of new buffers, and a failure that leaves nothing behind.
#include <cstring>

#include "tests/asio/driver_bench.h"

namespace asiotest {
namespace {

using asiokerneltest::AsioBench;

TEST(AsioBuffers, BadChannelListsAreRefusedAndLeaveNothing)
{
    AsioBench bench;
    DriverRef driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    TestHost host;
    ASIOBufferInfo nine[9] = {};
    for (int i = 0; i < 9; ++i) {
        nine[i] = {i < 4 ? ASIOTrue : ASIOFalse, i % 4, {}};
    }
    ASIOBufferInfo twice[2] = {{ASIOTrue, 1, {}}, {ASIOTrue, 1, {}}};
    ASIOBufferInfo beyond[2] = {{ASIOTrue, 0, {}}, {ASIOFalse, 4, {}}};
    ASIOBufferInfo negative[1] = {{ASIOTrue, -1, {}}};
    struct Case {
        const char* what;
        ASIOBufferInfo* infos;
        LONG count;
        ASIOCallbacks* callbacks;
    } cases[] = {
        {"no channels", nine, 0, host.Callbacks()},
        {"more channels than the device has", nine, 9, host.Callbacks()},
        {"no callbacks", twice, 1, nullptr},
        {"no list", nullptr, 1, host.Callbacks()},
        {"the same input twice", twice, 2, host.Callbacks()},
        {"output 4 of 4", beyond, 2, host.Callbacks()},
        {"input -1", negative, 1, host.Callbacks()},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(driver->createBuffers(c.infos, c.count, 256, c.callbacks), ASE_InvalidParameter) << c.what;
        ASIOChannelInfo info = {};
        info.isInput = ASIOTrue;
        info.channel = 1;
        ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
        EXPECT_EQ(info.isActive, ASIOFalse) << c.what;
        EXPECT_EQ(driver->disposeBuffers(), ASE_NotPresent) << c.what << ": still initialised";
    }
    ASIOBufferInfo good[2] = {{ASIOTrue, 1, {}}, {ASIOFalse, 2, {}}};
    EXPECT_EQ(driver->createBuffers(good, 2, 256, host.Callbacks()), ASE_OK);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
}

TEST(AsioBuffers, SizesWithinTheRatesRange)
{
    struct Case {
        ULONG rate;
        LONG size;
        ASIOError answer;
    } cases[] = {
        {44100, 63, ASE_InvalidMode}, {44100, 64, ASE_OK},          {44100, 100, ASE_OK},
        {44100, 4096, ASE_OK},        {44100, 4097, ASE_InvalidMode}, {88200, 64, ASE_InvalidMode},
        {88200, 128, ASE_OK},         {192000, 255, ASE_InvalidMode}, {192000, 256, ASE_OK},
    };
    for (const Case& c : cases) {
        AsioBench bench(AtRate(c.rate));
        DriverRef driver;
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        TestHost host;
        ASIOBufferInfo infos[2] = {{ASIOTrue, 0, {}}, {ASIOFalse, 0, {}}};
        EXPECT_EQ(driver->createBuffers(infos, 2, c.size, host.Callbacks()), c.answer) << c.rate << " Hz, " << c.size;
        if (c.answer == ASE_OK) {
            // Both halves of a channel lie in one block, one after the other.
            EXPECT_EQ(static_cast<char*>(infos[0].buffers[1]) - static_cast<char*>(infos[0].buffers[0]), c.size * 4);
            EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
        }
    }
}

TEST(AsioBuffers, DsdSizesAreWholeWordsOfOneBitSamples)
{
    AsioBench bench;
    DriverRef driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    UseDsdFormat(driver.Get());
    ASSERT_EQ(driver->setSampleRate(2822400), ASE_OK);
    TestHost host;
    ASIOBufferInfo infos[2] = {{ASIOTrue, 0, {}}, {ASIOFalse, 1, {}}};
    EXPECT_EQ(driver->createBuffers(infos, 2, 16380, host.Callbacks()), ASE_InvalidParameter);
    ASSERT_EQ(driver->createBuffers(infos, 2, 16384, host.Callbacks()), ASE_OK);
    // 512 words of 32 one-bit samples per half, filled with DSD silence.
    const auto* half = static_cast<const BYTE*>(infos[1].buffers[0]);
    EXPECT_EQ(static_cast<const BYTE*>(infos[1].buffers[1]) - half, 512 * 4);
    for (int i = 0; i < 2 * 512 * 4; ++i) {
        ASSERT_EQ(half[i], 0x96) << i;
    }
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
}

TEST(AsioBuffers, PcmBuffersStartSilent)
{
    AsioBench bench;
    DriverRef driver;
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    TestHost host;
    ASIOBufferInfo infos[1] = {{ASIOFalse, 3, {}}};
    ASSERT_EQ(driver->createBuffers(infos, 1, 128, host.Callbacks()), ASE_OK);
    const auto* block = static_cast<const BYTE*>(infos[0].buffers[0]);
    for (int i = 0; i < 2 * 128 * 4; ++i) {
        ASSERT_EQ(block[i], 0) << i;
    }
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
}

}  // namespace
}  // namespace asiotest
