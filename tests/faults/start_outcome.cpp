#include "tests/faults/start_outcome.h"

#include <string>
#include <vector>

#include "driver/adapter/usb_audio_adapter.h"
#include "driver/adapter/wave_registration.h"

namespace faulttest {

void ExpectWholeOrNothing(adaptertest::AdapterBench& bench, NTSTATUS status, ULONG rate)
{
    if (!NT_SUCCESS(status)) {
        EXPECT_FALSE(bench.Started());
        EXPECT_TRUE(bench.FilterNames().empty());
        return;
    }
    ASSERT_TRUE(bench.Started());
    ULONG current = 0;
    EXPECT_EQ(bench.Adapter().GetSampleRate(&current), STATUS_SUCCESS);
    EXPECT_EQ(current, rate);
    EXPECT_EQ(bench.Device().CurrentRate(0), rate);
    // Without the port, the miniport or the filter description the device offers only its private
    // interface, and the start still succeeds.
    const std::vector<std::u16string> filters = bench.FilterNames();
    const char16_t* name = reinterpret_cast<const char16_t*>(WaveSubdeviceName(rate));
    EXPECT_TRUE(filters.empty() || (name != nullptr && filters == std::vector<std::u16string>{name}));
}

void ExpectNoReports(sim::Machine& machine)
{
    for (const std::string& report : machine.Verify().Reports()) {
        ADD_FAILURE() << report;
    }
}

}  // namespace faulttest
