// Executive pool: every allocation is tracked with its tag, type and size, so that a free with
// the wrong tag, a double free and a leak are reported by the verifier. Allocation failures can
// be injected to exercise the product's error paths.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "sim/api/kernel_pool.h"

namespace sim {

class Verifier;

struct PoolAllocation {
    void* address;
    size_t size;
    ULONG tag;
    POOL_TYPE type;
    uint64_t sequence;
};

std::string TagText(ULONG tag);  // the four characters as a pool dump shows them
bool IsPagedPoolType(POOL_TYPE type);

// Memory the kernel touches at DISPATCH_LEVEL or above must be resident: a page fault there bug-
// checks the machine (IRQL_NOT_LESS_OR_EQUAL, or DRIVER_VERIFIER_DETECTED_VIOLATION under the
// verifier), even when the page happens to be present. Paged pool is the pageable memory the
// simulation hands out, so the kernel and the USB stack call this where Windows requires resident
// memory: spin locks, DPC, timer and other dispatcher objects, URBs and their transfer buffers, the
// buffer an MDL for non-paged pool describes. `what` names the object, `function` the call.
void RequireResident(const void* address, const char* what, const char* function);

class Pool {
public:
    explicit Pool(Verifier& verifier) : verifier_(verifier) {}
    ~Pool();

    void* Allocate(POOL_TYPE type, size_t size, ULONG tag);
    // expectedTag 0 accepts any tag (ExFreePool).
    void Free(void* address, ULONG expectedTag);
    bool IsLive(const void* address) const;
    // Whether the address lies inside a live allocation from paged pool.
    bool IsPaged(const void* address) const;

    // The nth allocation from now (1 = the next one) fails; 0 cancels. With a tag filter only
    // allocations of that tag count; with onlyPaged only those from paged pool.
    void InjectFailure(uint64_t nth, ULONG onlyTag = 0, bool onlyPaged = false);
    uint64_t AllocationCount() const;  // successful and failed, since the machine started
    uint64_t FailedCount() const;

    // Runs on the allocating thread before every allocation, as a breakpoint on the pool would
    // stop it there: a test acts at a precise point inside the product. Null removes it.
    using AllocationHook = std::function<void(size_t size, ULONG tag)>;
    void SetAllocationHook(AllocationHook hook);

    std::vector<PoolAllocation> LiveAllocations(ULONG onlyTag = 0) const;
    std::string LeakReport() const;  // one line per tag: count and bytes

private:
    Verifier& verifier_;
    mutable std::mutex lock_;
    std::map<void*, PoolAllocation> live_;
    uint64_t allocations_ = 0;
    uint64_t failures_ = 0;
    uint64_t failCountdown_ = 0;
    ULONG failTag_ = 0;
    bool failOnlyPaged_ = false;
    AllocationHook hook_;
};

}  // namespace sim
