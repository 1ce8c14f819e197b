// Where USBD_CreateConfigurationRequestEx gets its URB memory. One place, so that the URB can come
// from the simulated non-paged pool (tag 'DBSU') and be released with ExFreePool like on Windows.
#pragma once

#include <cstddef>

namespace sim::usb {

// Uninitialised memory for a URB of `size` bytes, or null when none is left.
void* AllocateUrbMemory(size_t size);
// Releases memory from AllocateUrbMemory; null is ignored.
void FreeUrbMemory(void* urb);

}  // namespace sim::usb
