// What the IRP routines of the I/O manager share among themselves.
#pragma once

#include <functional>
#include <string>

#include "sim/api/kernel.h"

namespace sim::io {

class IoManager;

// "Irp " in a pool dump.
constexpr ULONG kIrpTag = ' prI';

std::string IrpText(const IRP* irp);

// Forgets the IRP and, if IoAllocateIrp made it, returns it to the pool.
void FreeTrackedIrp(PIRP irp);

// Forgets the dispatch records of the IRP's stack locations (it is freed or starts over).
void ForgetDispatchesLocked(IoManager& io, const IRP* irp, CCHAR stackCount);

// The I/O manager's part of completion, once every stack location has been walked: a thread IRP
// reports its result to its caller and is freed; any other IRP should never get here.
void FinishCompletedIrp(PIRP irp);

// Thread IRPs' buffers: the system buffer of buffered requests (the input copied in), copied
// back to the caller's output on completion; and the MDLs, freed with the IRP.
bool AttachSystemBuffer(PIRP irp, PVOID input, ULONG inputLength, ULONG size);
void FreeIrpBuffers(PIRP irp);
// Fails the build of a request part-way: what was set up so far goes. Returns null.
PIRP Abandon(PIRP irp);
// Makes the IRP a thread IRP of the calling thread; `outputLength` bounds the copy-back.
void MakeThreadIrp(PIRP irp, PKEVENT event, PIO_STATUS_BLOCK statusBlock, ULONG outputLength);

// Sends a create, cleanup or close request for the file object to the top of its device's stack
// and waits for it; the calling thread must be at PASSIVE_LEVEL. `prepare` may fill in more of
// the IRP and the stack location the driver sees (a user-mode create's parameters).
NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR majorFunction,
                         const std::function<void(PIRP, PIO_STACK_LOCATION)>& prepare = {});

}  // namespace sim::io
