#include "sim/kernel/pool.h"

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sstream>

#include "sim/kernel/verifier.h"

namespace sim {

namespace {
// Fresh pool is not zeroed on Windows; a visible pattern makes reads of uninitialised fields
// show up in tests instead of passing by luck.
constexpr unsigned char kFreshPoolFill = 0xA5;
constexpr unsigned char kFreedPoolFill = 0xDD;
}  // namespace

bool IsPagedPoolType(POOL_TYPE type) { return (type & 1) != 0; }

std::string TagText(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = char((tag >> (8 * i)) & 0xff);
        text += (c >= 0x20 && c < 0x7f) ? c : '.';
    }
    return text;
}

Pool::~Pool()
{
    for (auto& [address, allocation] : live_) {
        (void)allocation;
        std::free(address);
    }
}

void Pool::SetAllocationHook(AllocationHook hook)
{
    std::lock_guard<std::mutex> guard(lock_);
    hook_ = std::move(hook);
}

void* Pool::Allocate(POOL_TYPE type, size_t size, ULONG tag)
{
    AllocationHook hook;
    {
        std::lock_guard<std::mutex> guard(lock_);
        hook = hook_;
    }
    if (hook) {
        hook(size, tag);
    }
    std::lock_guard<std::mutex> guard(lock_);
    ++allocations_;
    if (failCountdown_ > 0 && (failTag_ == 0 || failTag_ == tag) && (!failOnlyPaged_ || IsPagedPoolType(type))) {
        if (--failCountdown_ == 0) {
            ++failures_;
            return nullptr;
        }
    }
    if (size == 0) {
        size = 1;
    }
    void* address = std::malloc(size);
    if (address == nullptr) {
        ++failures_;
        return nullptr;
    }
    std::memset(address, kFreshPoolFill, size);
    live_[address] = PoolAllocation{address, size, tag, type, allocations_};
    return address;
}

void Pool::Free(void* address, ULONG expectedTag)
{
    if (address == nullptr) {
        verifier_.Report("pool free of a null pointer", "ExFreePool(NULL)");
        return;
    }
    PoolAllocation allocation{};
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = live_.find(address);
        if (found == live_.end()) {
            std::ostringstream detail;
            detail << "address " << address << " is not allocated (freed twice or never allocated)";
            verifier_.Report("bad pool free", detail.str());
            return;
        }
        allocation = found->second;
        if (expectedTag != 0 && expectedTag != allocation.tag) {
            verifier_.Report("pool freed with another tag", "allocated as '" + TagText(allocation.tag) +
                                                                "', freed as '" + TagText(expectedTag) + "'");
            return;
        }
        live_.erase(found);
    }
    std::memset(address, kFreedPoolFill, allocation.size);
    std::free(address);
}

bool Pool::IsLive(const void* address) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return live_.count(const_cast<void*>(address)) != 0;
}

bool Pool::IsPaged(const void* address) const
{
    std::lock_guard<std::mutex> guard(lock_);
    auto after = live_.upper_bound(const_cast<void*>(address));
    if (after == live_.begin()) {
        return false;
    }
    const PoolAllocation& allocation = std::prev(after)->second;
    const auto* start = static_cast<const char*>(allocation.address);
    return static_cast<const char*>(address) < start + allocation.size && IsPagedPoolType(allocation.type);
}

void Pool::InjectFailure(uint64_t nth, ULONG onlyTag, bool onlyPaged)
{
    std::lock_guard<std::mutex> guard(lock_);
    failCountdown_ = nth;
    failTag_ = onlyTag;
    failOnlyPaged_ = onlyPaged;
}

uint64_t Pool::AllocationCount() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return allocations_;
}

uint64_t Pool::FailedCount() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return failures_;
}

std::vector<PoolAllocation> Pool::LiveAllocations(ULONG onlyTag) const
{
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<PoolAllocation> result;
    for (const auto& [address, allocation] : live_) {
        (void)address;
        if (onlyTag == 0 || allocation.tag == onlyTag) {
            result.push_back(allocation);
        }
    }
    return result;
}

std::string Pool::LeakReport() const
{
    std::map<ULONG, std::pair<size_t, size_t>> byTag;
    for (const PoolAllocation& allocation : LiveAllocations()) {
        byTag[allocation.tag].first += 1;
        byTag[allocation.tag].second += allocation.size;
    }
    std::ostringstream report;
    for (const auto& [tag, totals] : byTag) {
        report << "'" << TagText(tag) << "': " << totals.first << " allocation(s), " << totals.second
               << " bytes\n";
    }
    return report.str();
}

}  // namespace sim
