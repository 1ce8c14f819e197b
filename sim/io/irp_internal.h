// What the IRP routines of the I/O manager share among themselves.
#pragma once

#include <string>

#include "sim/api/kernel.h"

namespace sim::io {

// "Irp " in a pool dump.
constexpr ULONG kIrpTag = ' prI';

std::string IrpText(const IRP* irp);

// Forgets the IRP and, if IoAllocateIrp made it, returns it to the pool.
void FreeTrackedIrp(PIRP irp);

// The I/O manager's part of completion, once every stack location has been walked: a thread IRP
// reports its result to its caller and is freed; any other IRP should never get here.
void FinishCompletedIrp(PIRP irp);

// Sends a create, cleanup or close request for the file object to the top of its device's stack
// and waits for it; the calling thread must be at PASSIVE_LEVEL.
NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR majorFunction);

}  // namespace sim::io
