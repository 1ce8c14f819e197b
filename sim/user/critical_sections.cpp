// Critical sections. Windows keeps them in the process's memory and blocks contending threads on
// a keyed event; here a mutant stands for that, so a contended EnterCriticalSection is a real wait
// on the simulated scheduler (taking virtual time) and recursion works as on Windows. One
// difference: a thread that ends while owning a critical section leaves it abandoned, where
// Windows would leave it owned for ever; well-behaved code never does either.
#include "sim/user/user_machine.h"

namespace {

KMUTANT* MutantOf(LPCRITICAL_SECTION section)
{
    if (section == nullptr || section->LockSemaphore == nullptr) {
        sim::Machine::Current().Verify().Report("critical section", "used without InitializeCriticalSection");
        return nullptr;
    }
    return static_cast<KMUTANT*>(section->LockSemaphore);
}

}  // namespace

void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    *lpCriticalSection = CRITICAL_SECTION{};
    lpCriticalSection->LockCount = -1;
    auto* mutant = new KMUTANT;
    KeInitializeMutex(mutant, 0);
    mutant->ApcDisable = 0;
    lpCriticalSection->LockSemaphore = mutant;
}

void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    KMUTANT* mutant = MutantOf(lpCriticalSection);
    if (mutant == nullptr) {
        return;
    }
    DISPATCHER_HEADER* object = &mutant->Header;
    sim::user::UserModeWait(&object, 1, WaitAny, sim::user::DeadlineAfterMilliseconds(INFINITE), false);
    lpCriticalSection->OwningThread = reinterpret_cast<HANDLE>(ULONG_PTR(GetCurrentThreadId()));
    ++lpCriticalSection->RecursionCount;
}

void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    KMUTANT* mutant = MutantOf(lpCriticalSection);
    if (mutant == nullptr) {
        return;
    }
    if (lpCriticalSection->OwningThread != reinterpret_cast<HANDLE>(ULONG_PTR(GetCurrentThreadId()))) {
        sim::Machine::Current().Verify().Report("critical section", "LeaveCriticalSection by a thread that does not own it");
        return;
    }
    if (--lpCriticalSection->RecursionCount == 0) {
        lpCriticalSection->OwningThread = nullptr;
    }
    KeReleaseMutex(mutant, FALSE);
}

void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    delete MutantOf(lpCriticalSection);
    *lpCriticalSection = CRITICAL_SECTION{};
}
