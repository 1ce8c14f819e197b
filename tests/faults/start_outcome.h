// What a device start may leave behind, whichever way it went: a failed start leaves no adapter and
// no wave filter; a start that went on has its rate programmed and, when the miniport got what it
// needed, the wave filter named after that rate. Never anything in between.
#pragma once

#include "sim/kernel/machine.h"
#include "tests/adapter/adapter_bench.h"

namespace faulttest {

void ExpectWholeOrNothing(adaptertest::AdapterBench& bench, NTSTATUS status, ULONG rate = 44100);

// Fails the test with each report the verifier recorded (the machine runs in Record mode).
void ExpectNoReports(sim::Machine& machine);

}  // namespace faulttest
