// The I/O manager's side of user-mode handles to devices: file objects opened on a device on
// behalf of a user-mode caller, and the requests sent on them (NtCreateFile, NtClose,
// NtDeviceIoControlFile, NtReadFile, NtWriteFile, NtCancelIoFile as the Win32 layer calls them).
//
// As on Windows:
// - opening sends IRP_MJ_CREATE with the file object's name (the rest of the path after the
//   device's name) to the top of the device's stack; a failed create leaves nothing behind;
// - every open file object counts in its device's ReferenceCount until its close request;
// - closing the last handle sends IRP_MJ_CLEANUP; the file object's last reference (handles and
//   requests in flight each hold one) sends IRP_MJ_CLOSE, so a request still pending after the
//   cleanup delays the close until it completes. A driver must finish every request of the file
//   object in its cleanup; the verifier reports one left pending;
// - device controls use the transfer method of their code, reads and writes the buffering the
//   top device object declares (DO_BUFFERED_IO, DO_DIRECT_IO with an MDL over the caller's
//   memory, or neither); RequestorMode is UserMode;
// - a request that fails at once (an error status, not pended) is not reported to `completion`:
//   the caller learns its status from SendUserRequest alone. Every other request reports once,
//   when it completes, possibly at DISPATCH_LEVEL on another thread;
// - requests belong to the thread that sent them: CancelThreadRequests cancels them, and a
//   thread that ends has its requests cancelled and waited for.
#pragma once

#include <functional>
#include <string>

#include "sim/api/kernel.h"

namespace sim {
struct SimThread;
}

namespace sim::io {

class UserFile;

struct OpenParameters {
    ACCESS_MASK access = 0;
    ULONG shareAccess = 0;
    ULONG createDisposition = 1;  // FILE_OPEN
    ULONG createOptions = 0;
    bool synchronous = true;  // opened without FILE_FLAG_OVERLAPPED: I/O is serialised per file object
};

// Opens `fileName` on `device` (the device a name resolved to; the request goes to the top of
// its stack). On success `*file` counts one handle and holds one reference, which its user
// gives back with ReleaseFileReference after closing its handles.
NTSTATUS OpenUserFile(PDEVICE_OBJECT device, const std::u16string& fileName, const OpenParameters& parameters,
                      UserFile** file);
// Opens `fileName` relative to an open file object (NtCreateFile with a root directory, as a
// kernel-streaming pin is created on its filter): the create goes to the same device with
// RelatedFileObject set, and the new file object keeps `related` referenced until its close.
NTSTATUS OpenRelatedUserFile(UserFile* related, const std::u16string& fileName, const OpenParameters& parameters,
                             UserFile** file);
// A second handle to the same file object (DuplicateHandle).
void AddFileHandle(UserFile* file);
// One handle closed: the last sends IRP_MJ_CLEANUP. At PASSIVE_LEVEL.
void CloseFileHandle(UserFile* file);
// The reference OpenUserFile gave; the last reference of all sends IRP_MJ_CLOSE.
void ReleaseFileReference(UserFile* file);

bool IsSynchronous(const UserFile* file);
// The file object behind the user file, as drivers see it.
PFILE_OBJECT FileObjectOf(UserFile* file);
// The device the file was opened on (its FILE_OBJECT's DeviceObject).
PDEVICE_OBJECT FileDevice(UserFile* file);
// Signalled when a request without an event of its own completes (the file object's event).
KEVENT* FileEvent(UserFile* file);
// Serialises the requests of a synchronous file object.
void LockFile(UserFile* file);
void UnlockFile(UserFile* file);

struct UserRequest {
    UCHAR majorFunction = IRP_MJ_DEVICE_CONTROL;
    ULONG controlCode = 0;
    PVOID input = nullptr;  // device control input; the buffer of a write
    ULONG inputLength = 0;
    PVOID output = nullptr;  // device control output; the buffer of a read
    ULONG outputLength = 0;
    // Called once when a request completes (status, byte count). Not called for a request that
    // failed without pending.
    std::function<void(NTSTATUS, ULONG_PTR)> completion;
};

// Sends the request for the calling thread; returns what IoCallDriver returned (or the build's
// failure). At PASSIVE_LEVEL.
NTSTATUS SendUserRequest(UserFile* file, UserRequest request);

// IoCancelIrp on every request the thread sent on the file (all its requests when `file` is
// null); returns how many are still in flight.
size_t CancelThreadRequests(UserFile* file, SimThread* thread);
size_t ThreadRequestsInFlight(UserFile* file, SimThread* thread);

}  // namespace sim::io
