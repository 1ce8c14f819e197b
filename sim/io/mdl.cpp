// Memory descriptor lists. The host has one address space, so a buffer's system address is its
// own address; what is kept from Windows is the bookkeeping a driver can get wrong: the MDL's
// size and page array, its place on the IRP, and that only locked or non-paged pages may be mapped.
#include <sstream>

#include "sim/io/io_manager.h"

namespace {
// "Mdl " in a pool dump.
constexpr ULONG kMdlTag = ' ldM';
}  // namespace

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp)
{
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, ULONGLONG(Length));
    size_t size = sizeof(MDL) + size_t(pages) * sizeof(PFN_NUMBER);
    // The MDL's Size field is 16 bits: that bounds the buffer one MDL can describe.
    if (size > MAXUSHORT) {
        return nullptr;
    }
    auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kMdlTag));
    if (mdl == nullptr) {
        return nullptr;
    }
    RtlZeroMemory(mdl, size);
    mdl->Size = SHORT(size);
    mdl->MdlFlags = MDL_ALLOCATED_FIXED_SIZE;
    mdl->StartVa = PAGE_ALIGN(VirtualAddress);
    mdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
    mdl->ByteCount = Length;
    if (Irp != nullptr) {
        if (!SecondaryBuffer) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL* link = &Irp->MdlAddress;
            while (*link != nullptr) {
                link = &(*link)->Next;
            }
            *link = mdl;
        }
    }
    return mdl;
}

void IoFreeMdl(PMDL Mdl) { ExFreePoolWithTag(Mdl, kMdlTag); }

void MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    PMDL mdl = MemoryDescriptorList;
    PVOID address = MmGetMdlVirtualAddress(mdl);
    sim::RequireResident(address, "buffer", __func__);
    PFN_NUMBER first = reinterpret_cast<ULONG_PTR>(mdl->StartVa) >> PAGE_SHIFT;
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(address, mdl->ByteCount);
    for (ULONG page = 0; page < pages; ++page) {
        MmGetMdlPfnArray(mdl)[page] = first + page;
    }
    mdl->MappedSystemVa = address;
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority)
{
    if ((Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0) {
        return Mdl->MappedSystemVa;
    }
    if ((Mdl->MdlFlags & MDL_PAGES_LOCKED) == 0) {
        // Windows bug-checks: pages that are not locked may be paged out under the mapping.
        sim::io::Report("MDL mapped without its pages locked", "MDL " + sim::io::Describe(Mdl));
        return nullptr;
    }
    Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
    Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return Mdl->MappedSystemVa;
}
