// The host side of the kernel's pool-backed operator new (platform/kernel_new.h).
#include "platform/kernel_new.h"

void* operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept
{
    void* memory = ExAllocatePoolWithTag(poolType, size == 0 ? 1 : size, tag);
    if (memory != nullptr) {
        RtlZeroMemory(memory, size == 0 ? 1 : size);
    }
    return memory;
}
