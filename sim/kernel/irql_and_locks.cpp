// IRQL per thread and spin locks. A spin lock really spins between host threads; the KSPIN_LOCK
// value holds its owner so that the verifier can name a wrong release.
#include <sstream>
#include <thread>

#include "sim/api/kernel.h"
#include "sim/kernel/machine.h"

namespace {

using sim::Machine;
using sim::SimThread;

void Violation(const char* rule, const std::string& detail) { Machine::Current().Verify().Report(rule, detail); }

std::string IrqlText(const char* function, KIRQL irql)
{
    std::ostringstream text;
    text << function << " at IRQL " << int(irql);
    return text.str();
}

void SpinAcquire(PKSPIN_LOCK lock, SimThread* self, const char* function)
{
    sim::RequireResident(lock, "spin lock", function);
    ULONG_PTR owner = reinterpret_cast<ULONG_PTR>(self);
    // Other processors write the lock word while this one looks: the read is atomic too.
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == owner) {
        Violation("spin lock acquired recursively", std::string(function) + " by '" + self->name +
                                                        "', which already holds it (a real machine hangs here)");
        return;
    }
    ULONG_PTR expected = 0;
    while (!__atomic_compare_exchange_n(lock, &expected, owner, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
        expected = 0;
        std::this_thread::yield();
    }
    ++self->spinLocksHeld;
}

bool SpinRelease(PKSPIN_LOCK lock, SimThread* self, const char* function)
{
    ULONG_PTR owner = reinterpret_cast<ULONG_PTR>(self);
    ULONG_PTR held = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (held != owner) {
        Violation("spin lock released by a thread that does not own it",
                  std::string(function) + " on '" + self->name + "', lock " +
                      (held == 0 ? "not held" : "held by '" + reinterpret_cast<SimThread*>(held)->name + "'"));
        return false;
    }
    if (self->irql < DISPATCH_LEVEL) {
        Violation("spin lock released at the wrong IRQL", IrqlText(function, self->irql));
    }
    --self->spinLocksHeld;
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
    return true;
}

void RequireDispatchLevel(SimThread* self, const char* function)
{
    if (self->irql < DISPATCH_LEVEL) {
        Violation("IRQL too low", IrqlText(function, self->irql) + "; it must be called at DISPATCH_LEVEL");
    }
}

}  // namespace

KIRQL KeGetCurrentIrql() { return sim::RequireCurrentThread(__func__)->irql; }

void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    SimThread* self = sim::RequireCurrentThread(__func__);
    if (NewIrql < self->irql) {
        Violation("IRQL lowered by KeRaiseIrql", IrqlText(__func__, self->irql) + " to " + std::to_string(NewIrql));
    }
    *OldIrql = self->irql;
    sim::SetThreadIrql(self, NewIrql);
}

void KeLowerIrql(KIRQL NewIrql)
{
    SimThread* self = sim::RequireCurrentThread(__func__);
    if (NewIrql > self->irql) {
        Violation("IRQL raised by KeLowerIrql", IrqlText(__func__, self->irql) + " to " + std::to_string(NewIrql));
    }
    if (NewIrql < DISPATCH_LEVEL && self->spinLocksHeld > 0) {
        Violation("IRQL lowered below DISPATCH_LEVEL while holding a spin lock", IrqlText(__func__, NewIrql));
    }
    sim::SetThreadIrql(self, NewIrql);
}

KIRQL KeRaiseIrqlToDpcLevel()
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

void SimVerifyPagedCode(const char* function)
{
    SimThread* self = sim::RequireCurrentThread(function);
    if (self->irql > APC_LEVEL) {
        Violation("paged code above APC_LEVEL", IrqlText(function, self->irql));
    }
}

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql)
{
    SimThread* self = sim::RequireCurrentThread(__func__);
    if (self->irql > DISPATCH_LEVEL) {
        Violation("IRQL too high", IrqlText(__func__, self->irql));
    }
    *OldIrql = self->irql;
    sim::SetThreadIrql(self, DISPATCH_LEVEL);
    SpinAcquire(SpinLock, self, __func__);
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    SimThread* self = sim::RequireCurrentThread(__func__);
    if (SpinRelease(SpinLock, self, __func__)) {
        sim::SetThreadIrql(self, NewIrql);
    }
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    SimThread* self = sim::RequireCurrentThread(__func__);
    RequireDispatchLevel(self, __func__);
    SpinAcquire(SpinLock, self, __func__);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    SpinRelease(SpinLock, sim::RequireCurrentThread(__func__), __func__);
}

BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    SimThread* self = sim::RequireCurrentThread(__func__);
    RequireDispatchLevel(self, __func__);
    sim::RequireResident(SpinLock, "spin lock", __func__);
    ULONG_PTR expected = 0;
    if (!__atomic_compare_exchange_n(SpinLock, &expected, reinterpret_cast<ULONG_PTR>(self), false,
                                     __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
        return FALSE;
    }
    ++self->spinLocksHeld;
    return TRUE;
}

void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle)
{
    KeAcquireSpinLock(SpinLock, &LockHandle->OldIrql);
    LockHandle->LockQueue.Lock = SpinLock;
    LockHandle->LockQueue.Next = nullptr;
}

void KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle)
{
    KeReleaseSpinLock(LockHandle->LockQueue.Lock, LockHandle->OldIrql);
}

void KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle)
{
    KeAcquireSpinLockAtDpcLevel(SpinLock);
    LockHandle->LockQueue.Lock = SpinLock;
    LockHandle->LockQueue.Next = nullptr;
}

void KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle)
{
    KeReleaseSpinLockFromDpcLevel(LockHandle->LockQueue.Lock);
}
