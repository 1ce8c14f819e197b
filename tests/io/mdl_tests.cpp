// MDLs: the page bookkeeping, their chain on an IRP, and which MDLs may be mapped.
#include <gtest/gtest.h>

#include "platform/kernel.h"
#include "sim/kernel/machine.h"

namespace {

TEST(Mdls, DescribeTheirPagesAndMapOnlyWhatIsResident)
{
    sim::Machine machine;
    machine.Verify().SetMode(sim::VerifierMode::Record);
    alignas(PAGE_SIZE) static unsigned char buffer[3 * PAGE_SIZE];
    unsigned char* start = buffer + PAGE_SIZE - 0x10;  // 0x20 bytes across a page boundary

    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL first = IoAllocateMdl(start, 0x20, FALSE, FALSE, irp);
    PMDL second = IoAllocateMdl(buffer, PAGE_SIZE, TRUE, FALSE, irp);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(irp->MdlAddress, first);
    EXPECT_EQ(first->Next, second) << "a secondary buffer is chained behind the first";
    EXPECT_EQ(first->Size, SHORT(sizeof(MDL) + 2 * sizeof(PFN_NUMBER)));
    EXPECT_EQ(first->StartVa, buffer);
    EXPECT_EQ(first->ByteOffset, PAGE_SIZE - 0x10u);
    EXPECT_EQ(MmGetMdlVirtualAddress(first), start);
    EXPECT_EQ(MmGetMdlByteCount(first), 0x20u);

    MmBuildMdlForNonPagedPool(first);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(first, NormalPagePriority | MdlMappingNoExecute), start);
    EXPECT_EQ(MmGetMdlPfnArray(first)[1], MmGetMdlPfnArray(first)[0] + 1);

    EXPECT_EQ(MmGetSystemAddressForMdlSafe(second, NormalPagePriority), nullptr);
    EXPECT_TRUE(machine.Verify().HasReport("MDL mapped without its pages locked"));

    IoFreeMdl(second);
    IoFreeMdl(first);
    IoFreeIrp(irp);
    EXPECT_EQ(machine.Verify().Reports().size(), 1u);
}

}  // namespace
