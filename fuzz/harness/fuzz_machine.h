// The simulated machine a fuzz target runs its inputs on. Its verifier aborts on any report, which
// libFuzzer records as a crash with the verifier's message and the input that caused it; a hang is
// caught by libFuzzer's -timeout, a host-memory fault by AddressSanitizer.
//
// Targets whose inputs leave state behind on the machine (the registry, Plug and Play's device
// nodes) make a fresh sim::Machine per input, whose destruction runs the leak check; the others
// share one machine for the whole run (SharedMachine), which saves its start-up, and prove after
// every input with RequireNothingLeft that the input left nothing on it.
#pragma once

#include "sim/kernel/machine.h"

namespace fuzz {

// Made on first use, on libFuzzer's thread, and kept until the process ends.
sim::Machine& SharedMachine();

// Reports to the verifier (and so aborts) any pool allocation, handle or system thread still alive.
void RequireNothingLeft(sim::Machine& machine);

}  // namespace fuzz
