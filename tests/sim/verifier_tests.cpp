// The verifier catches what would bug-check or corrupt a real machine, and names the culprit.
#include <gtest/gtest.h>

#include "platform/kernel.h"
#include "platform/kernel_new.h"
#include "sim/kernel/machine.h"

namespace {

constexpr ULONG kTestTag = 'tseT';  // "Test" in a pool dump

struct WaitingDpc {
    KDPC dpc;
    KEVENT never;
    KEVENT done;
    NTSTATUS status = STATUS_SUCCESS;
};

void WaitInsideDpc(KDPC*, PVOID context, PVOID, PVOID)
{
    auto* probe = static_cast<WaitingDpc*>(context);
    probe->status = KeWaitForSingleObject(&probe->never, Executive, KernelMode, FALSE, nullptr);
    KeSetEvent(&probe->done, IO_NO_INCREMENT, FALSE);
}

TEST(Verifier, WaitInADpcIsReported)
{
    sim::Machine machine;
    machine.Verify().SetMode(sim::VerifierMode::Record);
    WaitingDpc probe;
    KeInitializeEvent(&probe.never, NotificationEvent, FALSE);
    KeInitializeEvent(&probe.done, NotificationEvent, FALSE);
    KeInitializeDpc(&probe.dpc, &WaitInsideDpc, &probe);
    KeInsertQueueDpc(&probe.dpc, nullptr, nullptr);
    KeWaitForSingleObject(&probe.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_TRUE(machine.Verify().HasReport("wait at DISPATCH_LEVEL"));
    EXPECT_EQ(probe.status, STATUS_TIMEOUT) << "the illegal wait is refused, not performed";
}

TEST(Verifier, PollingWaitAtDispatchLevelIsLegal)
{
    sim::Machine machine;
    machine.Verify().SetMode(sim::VerifierMode::Record);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    KeLowerIrql(old);
    EXPECT_TRUE(machine.Verify().Reports().empty());
}

TEST(Verifier, SpinLockRulesAreEnforced)
{
    sim::Machine machine;
    machine.Verify().SetMode(sim::VerifierMode::Record);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);

    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&lock, &handle);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    LARGE_INTEGER timeout{};
    timeout.QuadPart = -10;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    EXPECT_TRUE(machine.Verify().HasReport("wait at DISPATCH_LEVEL"));
    KeReleaseInStackQueuedSpinLock(&handle);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    machine.Verify().ClearReports();
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_TRUE(machine.Verify().HasReport("IRQL too low"));
    machine.Verify().ClearReports();
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_TRUE(machine.Verify().HasReport("spin lock released at the wrong IRQL"));

    machine.Verify().ClearReports();
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_TRUE(machine.Verify().HasReport("spin lock released by a thread that does not own it"));
}

TEST(Verifier, PoolMisuseIsReportedWithTheTag)
{
    sim::Machine machine;
    machine.Verify().SetMode(sim::VerifierMode::Record);
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTestTag);
    ASSERT_NE(block, nullptr);
    ExFreePoolWithTag(block, 'ABSU');
    EXPECT_TRUE(machine.Verify().HasReport("pool freed with another tag"));
    ASSERT_TRUE(machine.Pools().IsLive(block)) << "a free with the wrong tag is refused";
    ExFreePoolWithTag(block, kTestTag);
    EXPECT_FALSE(machine.Pools().IsLive(block));
    ExFreePoolWithTag(block, kTestTag);
    EXPECT_TRUE(machine.Verify().HasReport("bad pool free"));

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 16, kTestTag), nullptr);
    KeLowerIrql(old);
    EXPECT_TRUE(machine.Verify().HasReport("pool allocated at the wrong IRQL"));
}

TEST(Verifier, LeakIsReportedWithItsTag)
{
    sim::Machine machine;
    machine.Verify().SetMode(sim::VerifierMode::Record);
    void* kept = ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTestTag);
    void* freed = ExAllocatePoolWithTag(NonPagedPoolNx, 10, 'ABSU');
    ExFreePoolWithTag(freed, 'ABSU');

    machine.VerifyNothingLeaked();
    std::vector<std::string> reports = machine.Verify().Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("'Test': 1 allocation(s), 100 bytes"), std::string::npos) << reports[0];
    EXPECT_EQ(reports[0].find("USBA"), std::string::npos);
    ExFreePoolWithTag(kept, kTestTag);
}

TEST(Verifier, InjectedAllocationFailureHitsExactlyTheNthAllocation)
{
    sim::Machine machine;
    machine.Pools().InjectFailure(3, kTestTag);
    void* first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTestTag);
    void* other = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'ABSU');  // another tag does not count
    void* second = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTestTag);
    void* third = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTestTag);
    void* fourth = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTestTag);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(other, nullptr);
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(third, nullptr);
    EXPECT_NE(fourth, nullptr);
    EXPECT_EQ(machine.Pools().FailedCount(), 1u);
    for (void* block : {first, second, fourth}) {
        ExFreePoolWithTag(block, kTestTag);
    }
    ExFreePoolWithTag(other, 'ABSU');
}

struct PoolCounted : PoolAllocated {
    explicit PoolCounted(int v) : value(v) {}
    int value;
};

TEST(Verifier, PoolAllocatedObjectsComeFromAndReturnToThePool)
{
    sim::Machine machine;
    auto* object = new (NonPagedPoolNx, kTestTag) PoolCounted(5);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(machine.Pools().LiveAllocations(kTestTag).size(), 1u);
    delete object;
    EXPECT_TRUE(machine.Pools().LiveAllocations(kTestTag).empty());

    machine.Pools().InjectFailure(1);
    EXPECT_EQ(new (NonPagedPoolNx, kTestTag) PoolCounted(6), nullptr) << "no constructor runs on null";
}

TEST(Verifier, LookasideListUseAfterDeleteIsReported)
{
    sim::Machine machine;
    machine.Verify().SetMode(sim::VerifierMode::Record);
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 56, kTestTag, 0);
    void* entry = ExAllocateFromNPagedLookasideList(&list);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(machine.Pools().LiveAllocations(kTestTag).size(), 1u);
    ExFreeToNPagedLookasideList(&list, entry);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_TRUE(machine.Verify().Reports().empty());

    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
    EXPECT_TRUE(machine.Verify().HasReport("lookaside list used after free"));
}

TEST(Verifier, DebuggerOutputShowsWhatTheDefaultFilterShows)
{
    sim::Machine machine;
    DbgPrint("UsbAudio!%s\n", "DriverEntry");
    DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_INFO_LEVEL, "trace %d\n", 7);
    DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_ERROR_LEVEL, "value %d\n", 42);
    EXPECT_EQ(machine.DebuggerOutput(), "UsbAudio!DriverEntry\nvalue 42\n");
    EXPECT_EQ(machine.TraceOutput(), "trace 7\n");
}

}  // namespace
