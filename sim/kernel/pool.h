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

class Pool {
public:
    explicit Pool(Verifier& verifier) : verifier_(verifier) {}
    ~Pool();

    void* Allocate(POOL_TYPE type, size_t size, ULONG tag);
    // expectedTag 0 accepts any tag (ExFreePool).
    void Free(void* address, ULONG expectedTag);
    bool IsLive(const void* address) const;

    // The nth allocation from now (1 = the next one) fails; 0 cancels. With a tag filter only
    // allocations of that tag count.
    void InjectFailure(uint64_t nth, ULONG onlyTag = 0);
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
    AllocationHook hook_;
};

}  // namespace sim
