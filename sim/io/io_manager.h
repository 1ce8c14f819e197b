// The I/O manager's own state on one simulated machine: what it knows about every IRP (so that a
// second completion or the free of an IRP still inside a driver is caught before it corrupts
// anything), the namespace of named device objects, and the cancel spin lock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

#include "sim/api/kernel.h"
#include "sim/kernel/machine.h"

namespace sim {
struct SimThread;
}

namespace sim::io {

// Who holds an IRP. Windows keeps this implicit in the stack position; the simulation records it
// so that it can name the mistake instead of crashing later.
enum class IrpHolder {
    Creator,            // allocated, initialised or reused, and not sent yet
    LowerDriver,        // sent with IoCallDriver and not completed back
    CompletionRoutine,  // a completion routine is running and owns it
    ReclaimedByDriver,  // a completion routine below the top returned STATUS_MORE_PROCESSING_REQUIRED
    BackWithCreator,    // completed up to the top: only its creator may touch it now
};

struct IrpRecord {
    IrpHolder holder = IrpHolder::Creator;
    bool fromPool = false;  // IoAllocateIrp's; IoFreeIrp returns it to the pool
    uint64_t changes = 0;   // tells a completion walk whether another thread moved the IRP meanwhile
    bool boundedOutput = false;
    ULONG outputLength = 0;  // thread IRPs: the caller's output buffer, which the copy-back must fit
    // Requests from user-mode handles: the I/O manager's final processing, run once the buffers
    // are copied back (user_files.cpp).
    std::function<void(PIRP)> userFinish;
};

// A dispatch routine's call for one stack location, until both it has returned and completion has
// walked past that location: a routine that returns STATUS_PENDING must have marked its location
// with IoMarkIrpPending, and which of the two happens first is up to the driver.
struct DispatchRecord {
    bool returnedPending = false;
    bool walked = false;
    bool marked = false;
    const void* routine = nullptr;
};

class IoManager final : public MachineComponent {
public:
    static IoManager& Current();

    // The live IRP's record, or null once it is freed (or if it never was an IRP).
    IrpRecord* FindIrpLocked(const IRP* irp);

    std::mutex lock;  // guards everything below and the links between device objects
    std::unordered_map<const IRP*, IrpRecord> irps;
    std::unordered_map<const IO_STACK_LOCATION*, DispatchRecord> dispatches;
    std::map<std::u16string, PDEVICE_OBJECT> namedDevices;  // keyed by the upper-cased name
    ULONG nextGeneratedName = 1;
    KSPIN_LOCK cancelLock = 0;
    // Told when the last file object opened on a device has been closed; Plug and Play waits for
    // this before it sends the remove request of a surprise-removed device.
    std::function<void(PDEVICE_OBJECT)> lastFileClosed;
    // Told, from a system worker thread, when the last device object of a driver whose unload was
    // held back has gone: Windows unloads the driver then (the I/O manager checks for a pending
    // unload whenever the last reference of a deleted device object goes).
    std::function<void(const std::u16string& service)> heldBackUnloadDue;
};

std::u16string UpcaseName(const std::u16string& name);
std::u16string NameOf(PCUNICODE_STRING name);
std::string Narrow(const std::u16string& text);  // for verifier messages; non-ASCII shows as '?'
std::string Describe(const void* pointer);

void Report(const std::string& rule, const std::string& detail);

// Dispatch, completion and cancel routines must return at the IRQL and with the spin locks they
// were called with.
struct CalleeFrame {
    explicit CalleeFrame(const char* what);
    void Check(const void* routine) const;
    SimThread* thread;
    KIRQL irql;
    int spinLocks;
    const char* what;
};

}  // namespace sim::io
