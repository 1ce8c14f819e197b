#include "sim/usb/descriptors/urb_memory.h"

#include "sim/api/kernel.h"

namespace sim::usb {

// USBD allocates the URBs it builds from non-paged pool under its own tag, and the caller frees
// them with ExFreePool; the simulated pool tracks them like any other allocation.
void* AllocateUrbMemory(size_t size)
{
    return ExAllocatePoolWithTag(NonPagedPool, size, 'DBSU');
}

void FreeUrbMemory(void* urb)
{
    ExFreePool(urb);
}

}  // namespace sim::usb
