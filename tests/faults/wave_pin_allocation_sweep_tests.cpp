// Allocation failure at every allocation of opening a Windows audio stream on the R9's wave filter,
// one run per allocation: the filter opened, the pin created in the endpoint's saved format (PortCls
// pin, miniport stream, DMA buffer, service group), taken to pause, primed and run, as the audio
// service does it. An open that fails leaves nothing streaming and nothing reserved, and the same
// open succeeds once memory is back; an open that went on moves packets. Every run ends with the
// device pulled out and the driver unloaded: the machine's leak check.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/audio_service/endpoint_lookup.h"
#include "sim/audio_service/endpoint_stream.h"
#include "tests/adapter/adapter_bench.h"
#include "tests/faults/fault_sweep.h"
#include "tests/faults/start_outcome.h"

namespace faulttest {
namespace {

using sim::audio::EndpointStream;
using sim::audio::Flow;

const std::u16string kR9Instance = u"USB\\VID_3A5C&PID_0009\\R9-00000001";
constexpr int64_t kPeriodNs = 10 * 1000 * 1000;

struct Case {
    const char* name;
    Flow flow;
};

class WavePinSweep : public ::testing::TestWithParam<Case> {};

std::unique_ptr<EndpointStream> NewEndpointStream(Flow flow)
{
    PDEVICE_OBJECT pdo = nullptr;
    std::u16string filter;
    WAVEFORMATEXTENSIBLE format = {};
    EXPECT_TRUE(sim::audio::FindEndpointFilter(kR9Instance, flow, pdo, filter));
    EXPECT_TRUE(sim::audio::SavedDeviceFormat(kR9Instance, flow, format));
    return std::make_unique<EndpointStream>(flow, pdo, filter, format);
}

// A few periods of silence or recording; the pin moves packets through the driver meanwhile.
void ExpectPacketsMove(adaptertest::AdapterBench& bench, EndpointStream& stream, Flow flow)
{
    for (int period = 0; period < 10; ++period) {
        if (flow == Flow::Render) {
            stream.RenderPeriod({});
        } else {
            stream.CapturePeriod({});
        }
        bench.Machine().RunFor(kPeriodNs);
    }
    EXPECT_GT(stream.Counters().packets, 0u);
}

TEST_P(WavePinSweep, OpenFailsCleanlyOrStreams)
{
    const Flow flow = GetParam().flow;
    int failedOpens = 0;
    const uint64_t points = SweepFaultPoints([&](uint64_t point) {
        adaptertest::AdapterBench bench;
        bench.Machine().Verify().SetMode(sim::VerifierMode::Record);
        bench.SetDeviceSetting(u"Initialized", 1);
        bench.SaveEndpointFormats(48000, 24);
        EXPECT_EQ(bench.Plug(), STATUS_SUCCESS);
        auto stream = NewEndpointStream(flow);
        NTSTATUS status;
        bool happened;
        {
            InjectedAllocationFailure failure(bench.Machine(), point);
            status = stream->Open();
            happened = failure.Happened();
        }
        if (!NT_SUCCESS(status)) {
            ++failedOpens;
            stream.reset();
            EXPECT_EQ(bench.Adapter().Engine().RunCount(kDirectionOut), 0u);
            EXPECT_EQ(bench.Adapter().Engine().RunCount(kDirectionIn), 0u);
            stream = NewEndpointStream(flow);
            status = stream->Open();
            EXPECT_EQ(status, STATUS_SUCCESS) << "an open after the failed one";
        }
        if (NT_SUCCESS(status)) {
            ExpectPacketsMove(bench, *stream, flow);
        }
        stream->Close();
        stream.reset();
        bench.Unplug();
        ExpectNoReports(bench.Machine());
        return happened;
    });
    EXPECT_GT(points, 10u);
    EXPECT_GT(failedOpens, 0);
}

INSTANTIATE_TEST_SUITE_P(AllocationSweep, WavePinSweep,
                         ::testing::Values(Case{"Render", Flow::Render}, Case{"Capture", Flow::Capture}),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace faulttest
