#include "fuzz/harness/fuzz_machine.h"

namespace fuzz {

sim::Machine& SharedMachine()
{
    // Deliberately never destroyed: libFuzzer leaves through exit(), and a machine torn down
    // from an atexit handler would run its threads' shutdown after the C++ runtime started going.
    static sim::Machine* machine = new sim::Machine();
    return *machine;
}

void RequireNothingLeft(sim::Machine& machine)
{
    // A completion routine may still be returning its IRP after the last request reported.
    KeFlushQueuedDpcs();
    machine.VerifyNothingLeaked();
}

}  // namespace fuzz
