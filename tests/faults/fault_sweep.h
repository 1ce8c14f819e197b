// Fault sweeps: a scenario run once per point at which a fault can strike it, with the fault at that
// point, until a run no longer reaches its point. There is no fixed count: the sweep follows the code
// as it is, and a new allocation in it is swept the day it is added.
//
// A sweep over pin creation, say, is a few lines:
//
//   SweepFaultPoints([](uint64_t point) {
//       AdapterBench bench;                       // a fresh machine per run
//       EXPECT_EQ(bench.Plug(), STATUS_SUCCESS);  // set-up: its allocations are not swept
//       InjectedAllocationFailure failure(bench.Machine(), point);
//       ... create the pin; expect a clean failure or a working pin ...
//       bench.Unplug();                           // the driver unloads: the leak check runs
//       return failure.Happened();
//   });
//
// Other kinds of fault fit the same shape: the point-th transfer completion failing, surprise
// removal after the point-th request.
#pragma once

#include <cstdint>
#include <functional>

#include "sim/kernel/machine.h"

namespace faulttest {

// Calls scenario(1), scenario(2), … until a call returns false (its point was not reached), and
// returns the number of runs that reached their point. A sweep that does not end within `limit`
// runs fails the test.
uint64_t SweepFaultPoints(const std::function<bool(uint64_t point)>& scenario, uint64_t limit = 5000);

// The nth allocation from now on fails: of any tag, or only of `tag`, and only from paged pool when
// asked. Disarmed when it goes.
class InjectedAllocationFailure {
public:
    InjectedAllocationFailure(sim::Machine& machine, uint64_t nth, ULONG tag = 0, bool onlyPaged = false);
    ~InjectedAllocationFailure();
    InjectedAllocationFailure(const InjectedAllocationFailure&) = delete;
    InjectedAllocationFailure& operator=(const InjectedAllocationFailure&) = delete;

    // Whether the armed allocation came and failed.
    bool Happened() const;

private:
    sim::Pool& pool_;
    uint64_t failedBefore_;
};

}  // namespace faulttest
