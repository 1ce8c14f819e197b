#include "tests/faults/fault_sweep.h"

#include <gtest/gtest.h>

namespace faulttest {

uint64_t SweepFaultPoints(const std::function<bool(uint64_t point)>& scenario, uint64_t limit)
{
    uint64_t point = 1;
    for (; point <= limit; ++point) {
        SCOPED_TRACE(testing::Message() << "fault at point " << point);
        if (!scenario(point)) {
            return point - 1;
        }
    }
    ADD_FAILURE() << "the sweep still reached its point after " << limit << " runs";
    return limit;
}

InjectedAllocationFailure::InjectedAllocationFailure(sim::Machine& machine, uint64_t nth, ULONG tag, bool onlyPaged)
    : pool_(machine.Pools()), failedBefore_(machine.Pools().FailedCount())
{
    pool_.InjectFailure(nth, tag, onlyPaged);
}

InjectedAllocationFailure::~InjectedAllocationFailure() { pool_.InjectFailure(0); }

bool InjectedAllocationFailure::Happened() const { return pool_.FailedCount() > failedBefore_; }

}  // namespace faulttest
