// The host's side of the callbacks without a driver: its answers to asioMessage, a reset request
// that only raises a flag and wakes the host's thread, the end of a stream of so many switches,
// one active host per process, and buffer switches through a software loopback that hands each
// output half back as an input half.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sim/kernel/machine.h"
#include "sim/user/processes.h"
#include "tools/asiohost/host_engine.h"

namespace asiohost {
namespace {

class HostEngineTest : public ::testing::Test {
protected:
    sim::Machine machine_;
    sim::user::ProcessScope process_{u"C:\\Tools\\asiohost.exe"};
};

TEST_F(HostEngineTest, AnswersAsAnAsio2Host)
{
    HostEngine engine;
    ASSERT_TRUE(engine.Active());
    const struct {
        LONG selector;
        LONG value;
        LONG answer;
    } cases[] = {
        {kAsioSelectorSupported, kAsioEngineVersion, 1},    {kAsioSelectorSupported, kAsioResetRequest, 1},
        {kAsioSelectorSupported, kAsioResyncRequest, 1},    {kAsioSelectorSupported, kAsioLatenciesChanged, 1},
        {kAsioSelectorSupported, kAsioSupportsTimeInfo, 1}, {kAsioSelectorSupported, kAsioBufferSizeChange, 0},
        {kAsioSelectorSupported, kAsioSupportsTimeCode, 0}, {kAsioSelectorSupported, kAsioMMCCommand, 0},
        {kAsioEngineVersion, 0, 2},                         {kAsioSupportsTimeInfo, 0, 1},
        {kAsioSupportsTimeCode, 0, 0},                      {kAsioBufferSizeChange, 1024, 0},
        {kAsioResyncRequest, 0, 1},                         {kAsioLatenciesChanged, 0, 1},
        {kAsioOverload, 0, 0},                              {kAsioNumMessageSelectors, 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(engine.AsioMessage(c.selector, c.value, nullptr, nullptr), c.answer)
            << "selector " << c.selector << ", value " << c.value;
    }
    EXPECT_EQ(engine.resyncRequests, 1);
    EXPECT_EQ(engine.overloads, 1);
    EXPECT_TRUE(engine.TakeLatencyChange());
    EXPECT_FALSE(engine.TakeLatencyChange());
    EXPECT_FALSE(engine.TakeResetRequest()) << "no reset asked for yet";
    engine.timeInfoAnswer = 0;
    EXPECT_EQ(engine.AsioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr), 0);
    EXPECT_EQ(engine.AsioMessage(kAsioSelectorSupported, kAsioSupportsTimeInfo, nullptr, nullptr), 0);
}

TEST_F(HostEngineTest, ResetRequestOnlyFlagsAndWakesTheHost)
{
    HostEngine engine;
    EXPECT_EQ(WaitForSingleObject(engine.WakeEvent(), 0), DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(engine.AsioMessage(kAsioResetRequest, 0, nullptr, nullptr), 1);
    EXPECT_EQ(engine.resetRequests, 1);
    EXPECT_EQ(WaitForSingleObject(engine.WakeEvent(), 0), DWORD(WAIT_OBJECT_0));
    EXPECT_TRUE(engine.TakeResetRequest());
    EXPECT_FALSE(engine.TakeResetRequest()) << "taken once";
}

TEST_F(HostEngineTest, TheStreamEndsAtTheSwitchesAskedFor)
{
    HostEngine engine;
    engine.WakeAfterSwitches(3);
    for (LONG i = 0; i < 2; ++i) {
        engine.BufferSwitch(i % 2, nullptr);
    }
    EXPECT_EQ(WaitForSingleObject(engine.WakeEvent(), 0), DWORD(WAIT_TIMEOUT));
    // The third wakes the host; those the driver makes before the host's stop are not its stream.
    for (LONG i = 2; i < 5; ++i) {
        engine.BufferSwitch(i % 2, nullptr);
    }
    EXPECT_EQ(engine.switches, 3u);
    EXPECT_EQ(WaitForSingleObject(engine.WakeEvent(), 0), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(engine.WakeEvent(), 0), DWORD(WAIT_TIMEOUT)) << "woken once";
}

TEST_F(HostEngineTest, OneActiveHostAtATime)
{
    {
        HostEngine first;
        HostEngine second;
        EXPECT_TRUE(first.Active());
        EXPECT_FALSE(second.Active());
    }
    HostEngine later;
    EXPECT_TRUE(later.Active()) << "the first stepped down";
}

// Two inputs and three outputs of Int32LSB; each switch's input halves hold what the outputs held
// `delayHalves` switches before, input 1 hearing output 1 and input 0 output 0. Output 2 has no
// input, input 3 no output.
TEST_F(HostEngineTest, SwitchesThroughASoftwareLoopback)
{
    constexpr LONG kFrames = 64;
    constexpr int kDelayHalves = 3;
    std::vector<std::vector<int32_t>> blocks(5, std::vector<int32_t>(2 * kFrames));
    const ASIOBufferInfo infos[5] = {
        {ASIOTrue, 0, {blocks[0].data(), blocks[0].data() + kFrames}},
        {ASIOTrue, 1, {blocks[1].data(), blocks[1].data() + kFrames}},
        {ASIOTrue, 3, {blocks[2].data(), blocks[2].data() + kFrames}},
        {ASIOFalse, 0, {blocks[3].data(), blocks[3].data() + kFrames}},
        {ASIOFalse, 1, {blocks[4].data(), blocks[4].data() + kFrames}},
    };
    HostEngine engine;
    ASSERT_TRUE(engine.StreamSignal(infos, 5, kFrames, ASIOSTInt32LSB, 24, 4));
    std::vector<std::vector<int32_t>> played[2];  // per output, every half it wrote
    for (LONG switchNumber = 0; switchNumber < 40; ++switchNumber) {
        const LONG half = switchNumber % 2;
        for (int k = 0; k < 2; ++k) {
            int32_t* input = static_cast<int32_t*>(infos[k].buffers[half]);
            const LONG heard = switchNumber - kDelayHalves;
            if (heard >= 0) {
                std::memcpy(input, played[k][size_t(heard)].data(), kFrames * sizeof(int32_t));
            }
        }
        engine.BufferSwitch(half, nullptr);
        for (int k = 0; k < 2; ++k) {
            const int32_t* output = static_cast<const int32_t*>(infos[3 + k].buffers[half]);
            played[k].emplace_back(output, output + kFrames);
        }
    }
    EXPECT_EQ(engine.switches, 40u);
    EXPECT_TRUE(engine.Input().Continuous()) << engine.Input().FirstBreak();
    EXPECT_EQ(engine.RoundTripFrames(), kDelayHalves * kFrames);
    EXPECT_EQ(engine.Input().SignalFrames(), uint64_t(40 - kDelayHalves) * kFrames);
    // The next half with the two inputs crossed breaks the count at once.
    for (int k = 0; k < 2; ++k) {
        std::memcpy(infos[k].buffers[0], played[1 - k][40 - kDelayHalves].data(), kFrames * sizeof(int32_t));
    }
    engine.BufferSwitch(0, nullptr);
    EXPECT_FALSE(engine.Input().Continuous());
    EXPECT_NE(engine.Input().FirstBreak().find("input 0 hears output 1"), std::string::npos)
        << engine.Input().FirstBreak();
}

}  // namespace
}  // namespace asiohost
