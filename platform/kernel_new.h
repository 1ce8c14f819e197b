// Pool-backed allocation for kernel-mode objects, the same on both targets:
//   new (NonPagedPoolNx, kAdapterPoolTag) UsbAudioAdapter(...)
// chooses pool and tag. Memory comes back zero-filled, and a failed allocation yields null rather
// than throwing: check the result. The windows target implements the operator in platform/win,
// the host in the simulated machine's pool.
#pragma once

#include "platform/kernel.h"

// Pool tags are stored little-endian: the constant 'ABSU' shows as "USBA" in pool dumps.
inline constexpr ULONG kDefaultPoolTag = 'ABSU';

void* operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept;

// Kernel classes derive from PoolAllocated so that `delete` returns them to the pool they came
// from on both targets, and so that a plain `new` without pool and tag does not compile.
class PoolAllocated {
public:
    static void* operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept
    {
        return ::operator new(size, poolType, tag);
    }
    // delete cannot know the tag; tag 0 frees without a tag check.
    static void operator delete(void* memory) noexcept
    {
        if (memory != nullptr) {
            ExFreePoolWithTag(memory, 0);
        }
    }
    // Used by the compiler when a constructor of an object being created throws; never in the
    // kernel, but it must match the allocation function.
    static void operator delete(void* memory, POOL_TYPE, ULONG) noexcept { operator delete(memory); }
};
