// The C++ runtime a kernel module needs and the compiler does not supply under -nostdlib:
// allocation over the pool and the pure-virtual trap. Nothing here may need a static constructor,
// because no loader runs them for a driver image.
#include "platform/kernel_new.h"

namespace {

// Plain `new` has no way to say where the object should live; non-executable non-paged pool
// is what every kernel object of this driver may safely be touched from (any IRQL).
constexpr POOL_TYPE kDefaultPoolType = NonPagedPoolNx;

void* AllocateZeroed(size_t size, POOL_TYPE poolType, ULONG tag) noexcept
{
    // A zero-byte pool request is a caller bug on Windows (BAD_POOL_CALLER); C++ allows new of 0 bytes.
    if (size == 0) {
        size = 1;
    }
    void* memory = ExAllocatePoolWithTag(poolType, size, tag);
    if (memory != nullptr) {
        RtlZeroMemory(memory, size);
    }
    return memory;
}

void FreePool(void* memory) noexcept
{
    // delete cannot know which tag the object was allocated with; tag 0 frees without a tag check.
    if (memory != nullptr) {
        ExFreePoolWithTag(memory, 0);
    }
}

}  // namespace

void* operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept
{
    return AllocateZeroed(size, poolType, tag);
}

void* operator new(size_t size) noexcept
{
    return AllocateZeroed(size, kDefaultPoolType, kDefaultPoolTag);
}

void* operator new[](size_t size) noexcept
{
    return AllocateZeroed(size, kDefaultPoolType, kDefaultPoolTag);
}

void operator delete(void* memory) noexcept
{
    FreePool(memory);
}

void operator delete[](void* memory) noexcept
{
    FreePool(memory);
}

void operator delete(void* memory, size_t) noexcept
{
    FreePool(memory);
}

void operator delete[](void* memory, size_t) noexcept
{
    FreePool(memory);
}

// Reached only through a call on a partly constructed or destroyed object: stop the machine with
// the caller's address rather than run whatever the vtable slot holds.
extern "C" void __cxa_pure_virtual()
{
    KeBugCheckEx(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG>(STATUS_NOT_IMPLEMENTED),
                 reinterpret_cast<ULONG_PTR>(__builtin_return_address(0)), 0, 0);
}
