// BuildFilter under allocation failure: whichever allocation fails (the data-range blocks, the clock
// requests behind them, the pin, node and connection tables), the build ends with
// STATUS_INSUFFICIENT_RESOURCES and leaves nothing but the data ranges a streaming interface owns.
#include <set>

#include "tests/filter/filter_test_support.h"

namespace filtertest {
namespace {

class FilterAllocationTest : public FilterTest {
protected:
    // Every allocation alive now was alive before, or is a data-range block a streaming interface
    // holds; nothing alive before is gone.
    void ExpectNothingElseAlive(const std::vector<sim::PoolAllocation>& before)
    {
        std::set<uint64_t> earlier;
        for (const sim::PoolAllocation& allocation : before) {
            earlier.insert(allocation.sequence);
        }
        const std::set<const void*> held = {Render()->DataRanges, Capture()->DataRanges};
        size_t kept = 0;
        for (const sim::PoolAllocation& allocation : machine_.Pools().LiveAllocations()) {
            if (earlier.count(allocation.sequence) != 0) {
                ++kept;
            } else {
                EXPECT_EQ(held.count(allocation.address), 1u)
                    << "left alive: " << allocation.size << " bytes, tag " << sim::TagText(allocation.tag);
            }
        }
        EXPECT_EQ(kept, before.size());
    }
};

TEST_F(FilterAllocationTest, EveryFailedAllocationEndsTheBuildCleanly)
{
    ASSERT_NO_FATAL_FAILURE(Start(TwoChainDevice20()));
    ASSERT_EQ(driver_->SetSampleRate(48000), STATUS_SUCCESS);
    const std::vector<sim::PoolAllocation> before = machine_.Pools().LiveAllocations();

    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    uint64_t nth = 1;
    for (; nth <= 500; ++nth) {
        SCOPED_TRACE(testing::Message() << "allocation " << nth << " fails");
        const uint64_t failedBefore = machine_.Pools().FailedCount();
        machine_.Pools().InjectFailure(nth);
        status = driver_->BuildFilter(&filter_);
        machine_.Pools().InjectFailure(0);
        if (machine_.Pools().FailedCount() == failedBefore) {
            break;
        }
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(filter_.Pins, nullptr);
        EXPECT_EQ(filter_.PinCount, 0u);
        EXPECT_EQ(filter_.Nodes, nullptr);
        EXPECT_EQ(filter_.NodeCount, 0u);
        EXPECT_EQ(filter_.Connections, nullptr);
        EXPECT_EQ(filter_.ConnectionCount, 0u);
        ExpectNothingElseAlive(before);
    }
    // Five tables at least: two data-range blocks, pins, nodes, connections.
    EXPECT_GT(nth, 5u);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(filter_.PinCount, 4u);
    EXPECT_EQ(filter_.NodeCount, 5u);
    EXPECT_EQ(filter_.ConnectionCount, 7u);
    EXPECT_EQ(AudioRanges(Render()->DataRanges, Render()->DataRangeCount).size(), 3u);
}

}  // namespace
}  // namespace filtertest
