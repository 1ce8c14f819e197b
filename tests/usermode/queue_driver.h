// A small function driver for the user-handle tests: it registers one device interface on its
// device and keeps every read pending in a queue (with a cancel routine) until the test completes
// it, as a driver of a streaming device does. Cleanup ends the file object's queued reads with
// STATUS_CANCELLED as the test chooses. What it sees is logged in order.
#pragma once

#include <string>
#include <vector>

#include "platform/kernel.h"

namespace queuedriver {

// {3C0F4E2A-6B1D-4A8E-9F52-7D2E1B0C9A11}
DEFINE_GUID(kInterfaceClass, 0x3C0F4E2A, 0x6B1D, 0x4A8E, 0x9F, 0x52, 0x7D, 0x2E, 0x1B, 0x0C, 0x9A, 0x11);

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

// "create \name", "cleanup", "close", "read 16", "cancel", "remove", ... in order.
std::vector<std::string> Log();
void ClearLog();
// Completes the oldest queued read with `fill` in every byte; false when none is queued.
bool CompleteOldestRead(unsigned char fill);
size_t QueuedReads();
enum class CleanupReads {
    Complete,       // cleanup completes them itself
    Leave,          // cleanup leaves them queued
    CompleteLater,  // cleanup takes them off the queue; a system thread it starts completes them
};
void SetCleanupReads(CleanupReads choice);

}  // namespace queuedriver
