// A three-level device stack for the I/O manager tests: a filter device over a function driver's
// FDO over the PDO of a simulated bus driver. The filter and the FDO belong to two test drivers
// loaded through the I/O manager, each with an AddDevice as Plug and Play would call it; what each
// level does with an IRP is a function the test sets (by default: pass it down untouched).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "sim/io/bus_driver.h"
#include "sim/io/drivers.h"

namespace iotest {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct Level {
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    Handler dispatch;
};

// Sends the IRP on to the next lower device with the current stack location, as a driver that
// does not care about the result does.
NTSTATUS PassDown(const Level& level, PIRP irp);

// Completes the IRP now with this result and returns its status, as the bottom driver does.
NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

// A completion routine made of a function; `Set` installs it in the next lower stack location
// for success, error and cancel.
struct Completion {
    Handler routine;
    void Set(PIRP irp);
    static NTSTATUS Run(PDEVICE_OBJECT device, PIRP irp, PVOID context);
};

// Keeps the IRP pending and completes it from a timer DPC at DISPATCH_LEVEL after `delay`, as a
// bus driver completes a transfer once the simulated hardware has finished it.
struct LaterCompletion {
    NTSTATUS Pend(PIRP pending, int64_t delayNanoseconds, NTSTATUS result, ULONG_PTR resultInformation = 0);
    static void Complete(KDPC* dpc, PVOID context, PVOID, PVOID);

    KTIMER timer;
    KDPC dpc;
    PIRP irp = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    KIRQL completionIrql = 0xff;
};

struct Call {
    std::string who;
    PDEVICE_OBJECT device;
    NTSTATUS status;
};

// The test as an IRP's creator: it allocates an IRP (IoAllocateIrp, so the pool holds it), sets
// its own routine in the first stack location, and takes the IRP back from completion with
// STATUS_MORE_PROCESSING_REQUIRED, recording the call.
struct CreatorIrp {
    explicit CreatorIrp(CCHAR stackSize);
    ~CreatorIrp();  // frees the IRP
    CreatorIrp(const CreatorIrp&) = delete;
    CreatorIrp& operator=(const CreatorIrp&) = delete;

    NTSTATUS SendAndWait(PDEVICE_OBJECT device);

    PIRP irp;
    KEVENT done;
    Completion creator;
    std::vector<Call> calls;
    bool pendingReturned = false;
};

class DeviceStack {
public:
    DeviceStack();
    ~DeviceStack();  // removes the stack as Plug and Play would and unloads both drivers
    DeviceStack(const DeviceStack&) = delete;
    DeviceStack& operator=(const DeviceStack&) = delete;

    PDEVICE_OBJECT Top() const { return filter.device; }

    sim::io::BusDriver bus{u"iotestbus"};
    Handler pdoDispatch = [](PDEVICE_OBJECT, PIRP irp) { return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST); };
    sim::io::DispatchFunction pdoHandler{[this](PDEVICE_OBJECT device, PIRP irp) { return pdoDispatch(device, irp); }};
    PDEVICE_OBJECT pdo = nullptr;
    PDRIVER_OBJECT functionDriver = nullptr;
    PDRIVER_OBJECT filterDriver = nullptr;
    Level fdo;
    Level filter;
};

}  // namespace iotest
