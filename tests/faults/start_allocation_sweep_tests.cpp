// Allocation failure at every allocation of device start and of the filter build, one run per
// allocation: each run either fails cleanly (no adapter, no wave filter, and nothing left once the
// device is pulled and the driver unloads: the machine's leak check) or carries on correctly.
#include <gtest/gtest.h>

#include "driver/adapter/usb_audio_adapter.h"
#include "tests/adapter/adapter_bench.h"
#include "tests/faults/fault_sweep.h"
#include "tests/faults/start_outcome.h"

namespace faulttest {
namespace {

using adaptertest::AdapterBench;

TEST(AllocationSweep, DeviceStart)
{
    int failedStarts = 0;
    int startsWithoutFilter = 0;
    const uint64_t points = SweepFaultPoints([&](uint64_t point) {
        AdapterBench bench;
        bench.Machine().Verify().SetMode(sim::VerifierMode::Record);
        NTSTATUS status;
        bool happened;
        {
            InjectedAllocationFailure failure(bench.Machine(), point);
            status = bench.Plug();
            happened = failure.Happened();
        }
        ExpectWholeOrNothing(bench, status);
        failedStarts += NT_SUCCESS(status) ? 0 : 1;
        startsWithoutFilter += NT_SUCCESS(status) && bench.FilterNames().empty() ? 1 : 0;
        bench.Unplug();
        ExpectNoReports(bench.Machine());
        return happened;
    });
    // The USB start, the model, the configuration, the registry reads, the adapter, the port, the
    // miniport and the filter: well over a hundred allocations.
    EXPECT_GT(points, 100u);
    EXPECT_GT(failedStarts, 0);
    EXPECT_GT(startsWithoutFilter, 0);
}

// The filter build on a started device, as the miniport's Init asks for it.
TEST(AllocationSweep, FilterBuild)
{
    int failedBuilds = 0;
    const uint64_t points = SweepFaultPoints([&](uint64_t point) {
        AdapterBench bench;
        bench.Machine().Verify().SetMode(sim::VerifierMode::Record);
        EXPECT_EQ(bench.Plug(), STATUS_SUCCESS);
        UsbAudioAdapter& adapter = bench.Adapter();
        NTSTATUS status;
        bool happened;
        {
            InjectedAllocationFailure failure(bench.Machine(), point);
            status = adapter.RebuildFilterDescriptor();
            happened = failure.Happened();
        }
        const PCFILTER_DESCRIPTOR& filter = *adapter.GetFilterDescriptor();
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(filter.PinCount, 4u);
            EXPECT_EQ(filter.NodeCount, 6u);
            EXPECT_EQ(filter.ConnectionCount, 8u);
        } else {
            ++failedBuilds;
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(filter.Pins, nullptr);
            EXPECT_EQ(filter.Nodes, nullptr);
            EXPECT_EQ(filter.Connections, nullptr);
            EXPECT_EQ(filter.PinCount + filter.NodeCount + filter.ConnectionCount, 0u);
        }
        bench.Unplug();
        ExpectNoReports(bench.Machine());
        return happened;
    });
    // Two data-range blocks and the RANGE reads behind them, pins, nodes, connections.
    EXPECT_GT(points, 10u);
    EXPECT_EQ(failedBuilds, int(points));
}

}  // namespace
}  // namespace faulttest
