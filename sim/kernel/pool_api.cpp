// Pool and lookaside lists. Lookaside lists keep no cache of their own: every entry comes from
// and returns to the tracked pool, so that a leak, a double free and an entry returned to the
// wrong list are all visible, and injected allocation failures reach the list's users.
#include <mutex>
#include <set>
#include <sstream>

#include "sim/api/kernel.h"
#include "sim/kernel/machine.h"

namespace {
using sim::Machine;

std::mutex g_listsLock;
std::set<const void*> g_liveLists;

bool LookasideIsLive(const void* list, const char* function)
{
    std::lock_guard<std::mutex> guard(g_listsLock);
    if (g_liveLists.count(list) == 0) {
        std::ostringstream detail;
        detail << function << " on list " << list << ", which is not initialised or already deleted";
        Machine::Current().Verify().Report("lookaside list used after free", detail.str());
        return false;
    }
    return true;
}

void InitializeLookaside(GENERAL_LOOKASIDE* list, const void* key, PALLOCATE_FUNCTION allocate, PFREE_FUNCTION free,
                         POOL_TYPE type, SIZE_T size, ULONG tag, USHORT depth)
{
    RtlZeroMemory(list, sizeof *list);
    list->Type = type;
    list->Tag = tag;
    list->Size = ULONG(size);
    list->Allocate = allocate;
    list->Free = free;
    list->Depth = depth == 0 ? 4 : depth;
    list->MaximumDepth = 256;
    std::lock_guard<std::mutex> guard(g_listsLock);
    g_liveLists.insert(key);
}

void DeleteLookaside(const void* key, const char* function)
{
    if (LookasideIsLive(key, function)) {
        std::lock_guard<std::mutex> guard(g_listsLock);
        g_liveLists.erase(key);
    }
}

PVOID AllocateFromLookaside(GENERAL_LOOKASIDE* list, const void* key, const char* function)
{
    if (!LookasideIsLive(key, function)) {
        return nullptr;
    }
    // Several processors use a list at once (it takes no lock): its statistics count atomically.
    __atomic_fetch_add(&list->TotalAllocates, 1, __ATOMIC_RELAXED);
    __atomic_fetch_add(&list->AllocateMisses, 1, __ATOMIC_RELAXED);
    return list->Allocate != nullptr ? list->Allocate(list->Type, list->Size, list->Tag)
                                     : ExAllocatePoolWithTag(list->Type, list->Size, list->Tag);
}

void FreeToLookaside(GENERAL_LOOKASIDE* list, const void* key, PVOID entry, const char* function)
{
    if (!LookasideIsLive(key, function)) {
        return;
    }
    __atomic_fetch_add(&list->TotalFrees, 1, __ATOMIC_RELAXED);
    __atomic_fetch_add(&list->FreeMisses, 1, __ATOMIC_RELAXED);
    if (list->Free != nullptr) {
        list->Free(entry);
    } else {
        ExFreePoolWithTag(entry, list->Tag);
    }
}
}  // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    sim::SimThread* self = sim::RequireCurrentThread(__func__);
    bool paged = sim::IsPagedPoolType(PoolType);
    if ((paged && self->irql > APC_LEVEL) || self->irql > DISPATCH_LEVEL) {
        Machine::Current().Verify().Report("pool allocated at the wrong IRQL",
                                           std::string(paged ? "paged" : "non-paged") + " pool at IRQL " +
                                               std::to_string(self->irql));
        return nullptr;
    }
    return Machine::Current().Pools().Allocate(PoolType, NumberOfBytes, Tag);
}

namespace sim {
void RequireResident(const void* address, const char* what, const char* function)
{
    Machine& machine = Machine::Current();
    if (machine.Pools().IsPaged(address)) {
        std::ostringstream detail;
        detail << function << ": " << what << " at " << address << " is in paged pool";
        machine.Verify().Report("paged memory where resident memory is required", detail.str());
    }
}
}  // namespace sim

namespace {
// Freeing takes the pool's lock: any pool at DISPATCH_LEVEL at most, paged pool below it.
bool FreeIrqlIsLegal(PVOID address, const char* function)
{
    sim::SimThread* self = sim::RequireCurrentThread(function);
    Machine& machine = Machine::Current();
    const bool paged = address != nullptr && machine.Pools().IsPaged(address);
    if (self->irql > DISPATCH_LEVEL || (paged && self->irql > APC_LEVEL)) {
        machine.Verify().Report("pool freed at the wrong IRQL", std::string(function) + " of " +
                                                                    (paged ? "paged" : "non-paged") + " pool at IRQL " +
                                                                    std::to_string(self->irql));
        return false;
    }
    return true;
}
}  // namespace

void ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    if (FreeIrqlIsLegal(P, __func__)) {
        Machine::Current().Pools().Free(P, Tag);
    }
}

void ExFreePool(PVOID P)
{
    if (FreeIrqlIsLegal(P, __func__)) {
        Machine::Current().Pools().Free(P, 0);
    }
}

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate, PFREE_FUNCTION Free,
                                     ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth)
{
    // Entries are taken and returned at DISPATCH_LEVEL, through the list's head.
    sim::RequireResident(Lookaside, "non-paged lookaside list", __func__);
    POOL_TYPE type = (Flags & POOL_NX_ALLOCATION) != 0 ? NonPagedPoolNx : NonPagedPool;
    InitializeLookaside(&Lookaside->L, Lookaside, Allocate, Free, type, Size, Tag, Depth);
    KeInitializeSpinLock(&Lookaside->Lock);
}

void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) { DeleteLookaside(Lookaside, __func__); }

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    return AllocateFromLookaside(&Lookaside->L, Lookaside, __func__);
}

void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    FreeToLookaside(&Lookaside->L, Lookaside, Entry, __func__);
}

void ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate, PFREE_FUNCTION Free,
                                    ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth)
{
    PAGED_CODE();
    InitializeLookaside(&Lookaside->L, Lookaside, Allocate, Free, PagedPool, Size, Tag, Depth);
    KeInitializeSpinLock(&Lookaside->Lock);
}

void ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside) { DeleteLookaside(Lookaside, __func__); }

PVOID ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside)
{
    PAGED_CODE();
    return AllocateFromLookaside(&Lookaside->L, Lookaside, __func__);
}

void ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    PAGED_CODE();
    FreeToLookaside(&Lookaside->L, Lookaside, Entry, __func__);
}
