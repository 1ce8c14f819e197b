// Allocation failure at every allocation of a stream's start, one run per allocation: the engine's
// StartDirection (both directions of the R9, which run together) and the ASIO stream's open and
// start through the private interface. A failed start leaves nothing running and nothing reserved,
// and the same start succeeds once memory is back; a start that went on streams. Every run ends
// with the device pulled out and the driver unloaded: the machine's leak check.
#include <gtest/gtest.h>

#include "sim/devices/r9/r9_descriptors.h"
#include "tests/asio_kernel/asio_bench.h"
#include "tests/engine/engine_bench.h"
#include "tests/faults/fault_sweep.h"
#include "tests/faults/start_outcome.h"

namespace faulttest {
namespace {

using asiokerneltest::AsioBench;
using r9sim::StreamRequest;
using enginetest::EngineBench;
using enginetest::kMillisecondNs;

constexpr uint8_t kRenderData = sim::devices::r9::kRenderEndpoint;
constexpr uint8_t kCaptureData = sim::devices::r9::kCaptureEndpoint;

// Both directions move packets for the next 100 ms.
void ExpectStreaming(EngineBench& bench)
{
    const uint64_t rendered = bench.Bus().Counters(kRenderData).packets;
    const uint64_t captured = bench.Bus().Counters(kCaptureData).packets;
    bench.RunFor(100 * kMillisecondNs);
    EXPECT_GT(bench.Bus().Counters(kRenderData).packets, rendered);
    EXPECT_GT(bench.Bus().Counters(kCaptureData).packets, captured);
}

TEST(AllocationSweep, StreamStart)
{
    int failedStarts = 0;
    const uint64_t points = SweepFaultPoints([&](uint64_t point) {
        EngineBench bench;
        bench.Machine().Verify().SetMode(sim::VerifierMode::Record);
        bench.RunStream(kDirectionOut);
        bench.RunStream(kDirectionIn);
        NTSTATUS status;
        bool happened;
        {
            InjectedAllocationFailure failure(bench.Machine(), point);
            status = bench.Adapter().StartDirection(kDirectionOut);
            happened = failure.Happened();
        }
        if (!NT_SUCCESS(status)) {
            ++failedStarts;
            EXPECT_EQ(bench.Engine().RunCount(kDirectionOut), 0u);
            EXPECT_EQ(bench.Engine().RunCount(kDirectionIn), 0u);
            EXPECT_TRUE(bench.Machine().LiveSystemThreads().empty());
            EXPECT_EQ(bench.Adapter().UsbAudio().GetCurrentAlternate(kDirectionOut), 0u);
            EXPECT_EQ(bench.Adapter().UsbAudio().GetCurrentAlternate(kDirectionIn), 0u);
            status = bench.Adapter().StartDirection(kDirectionOut);
            EXPECT_EQ(status, STATUS_SUCCESS) << "a start after the failed one";
        }
        if (NT_SUCCESS(status)) {
            ExpectStreaming(bench);
            EXPECT_EQ(bench.Adapter().StopDirection(kDirectionOut), STATUS_SUCCESS);
        }
        bench.Unplug();
        ExpectNoReports(bench.Machine());
        return happened;
    });
    // The interface selections' URBs and IRPs, the threads, the request contexts and their
    // transfer buffers.
    EXPECT_GT(points, 10u);
    EXPECT_GT(failedStarts, 0);
}

// Open and start of a full-duplex ASIO stream by a claimed handle, as the ASIO driver sends them.
// The I/O manager's own allocations for each request are swept too: a request that cannot be sent
// fails the Win32 call, which the client sees like any refusal.
TEST(AllocationSweep, AsioStreamOpenAndStart)
{
    int failedOpens = 0;
    int failedStarts = 0;
    const uint64_t points = SweepFaultPoints([&](uint64_t point) {
        AsioBench bench;
        bench.Bench().Machine().Verify().SetMode(sim::VerifierMode::Record);
        auto client = bench.NewClient();
        EXPECT_EQ(client->Claim(), 0u);
        const StreamRequest request;
        DWORD opened;
        DWORD started = ERROR_NOT_READY;
        bool happened;
        {
            InjectedAllocationFailure failure(bench.Bench().Machine(), point);
            opened = client->Open(request);
            if (opened == 0) {
                started = client->Start();
            }
            happened = failure.Happened();
        }
        if (opened != 0) {
            ++failedOpens;
            EXPECT_FALSE(bench.Adapter().Engine().Asio().IsOpen());
            EXPECT_EQ(client->Open(request), 0u) << "an open after the failed one";
            started = client->Start();
        } else if (started != 0) {
            ++failedStarts;
            EXPECT_TRUE(bench.Bench().Machine().LiveSystemThreads().empty());
            started = client->Start();
        }
        EXPECT_EQ(started, 0u) << "a start after the failed one";
        if (started == 0) {
            EXPECT_TRUE(client->Stream(20));
            EXPECT_EQ(client->Stop(), 0u);
        }
        EXPECT_EQ(client->CloseStream(), 0u);
        client.reset();
        bench.Bench().Unplug();
        ExpectNoReports(bench.Bench().Machine());
        return happened;
    });
    EXPECT_GT(points, 10u);
    EXPECT_GT(failedOpens, 0);
    EXPECT_GT(failedStarts, 0);
}

}  // namespace
}  // namespace faulttest
