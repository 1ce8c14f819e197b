// Memory touched at DISPATCH_LEVEL must be resident, and pool may only be freed at the IRQLs
// Windows allows: each rule broken once on purpose, with paged pool where non-paged belongs, and
// named by the verifier; the same code on non-paged pool passes.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/kernel.h"
#include "sim/devices/r9/r9_device.h"
#include "sim/kernel/machine.h"
#include "sim/usb/host_controller.h"

namespace {

constexpr ULONG kTestTag = 'tseT';
constexpr char kResidentRule[] = "paged memory where resident memory is required";
constexpr char kFreeRule[] = "pool freed at the wrong IRQL";

void Noop(KDPC*, PVOID, PVOID, PVOID) {}

template <class T> T* From(POOL_TYPE pool) { return static_cast<T*>(ExAllocatePoolWithTag(pool, sizeof(T), kTestTag)); }

void AcquireSpinLock(POOL_TYPE pool)
{
    auto* lock = From<KSPIN_LOCK>(pool);
    KeInitializeSpinLock(lock);
    KIRQL old;
    KeAcquireSpinLock(lock, &old);
    KeReleaseSpinLock(lock, old);
    ExFreePoolWithTag(lock, kTestTag);
}

void QueueDpc(POOL_TYPE pool)
{
    auto* dpc = From<KDPC>(pool);
    KeInitializeDpc(dpc, &Noop, nullptr);
    KeFlushQueuedDpcs();
    ExFreePoolWithTag(dpc, kTestTag);
}

void InitializeTimer(POOL_TYPE pool)
{
    auto* timer = From<KTIMER>(pool);
    KeInitializeTimer(timer);
    ExFreePoolWithTag(timer, kTestTag);
}

void InitializeEvent(POOL_TYPE pool)
{
    auto* event = From<KEVENT>(pool);
    KeInitializeEvent(event, NotificationEvent, FALSE);
    ExFreePoolWithTag(event, kTestTag);
}

void InitializeNonPagedLookaside(POOL_TYPE pool)
{
    auto* list = From<NPAGED_LOOKASIDE_LIST>(pool);
    ExInitializeNPagedLookasideList(list, nullptr, nullptr, POOL_NX_ALLOCATION, 64, kTestTag, 0);
    ExDeleteNPagedLookasideList(list);
    ExFreePoolWithTag(list, kTestTag);
}

// MmBuildMdlForNonPagedPool promises the pages can never go: on paged pool that is a lie.
void DescribeAsNonPaged(POOL_TYPE pool)
{
    void* buffer = ExAllocatePoolWithTag(pool, 256, kTestTag);
    PMDL mdl = IoAllocateMdl(buffer, 256, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    IoFreeMdl(mdl);
    ExFreePoolWithTag(buffer, kTestTag);
}

// A descriptor read through the USB stack with the URB, or only its transfer buffer, from `pool`.
void ReadDescriptor(POOL_TYPE urbPool, POOL_TYPE bufferPool)
{
    sim::usb::HostController usb;
    sim::usb::BusDevice& device = usb.Plug(std::make_unique<sim::devices::R9Device>());
    auto* urb = static_cast<PURB>(
        ExAllocatePoolWithTag(urbPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), kTestTag));
    void* buffer = ExAllocatePoolWithTag(bufferPool, sizeof(USB_DEVICE_DESCRIPTOR), kTestTag);
    UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0,
                                 0, buffer, nullptr, sizeof(USB_DEVICE_DESCRIPTOR), nullptr);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, device.Pdo(), nullptr, 0, nullptr, 0,
                                             TRUE, &done, &status);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    if (IoCallDriver(device.Pdo(), irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    ExFreePoolWithTag(buffer, kTestTag);
    ExFreePoolWithTag(urb, kTestTag);
}

void SubmitUrb(POOL_TYPE pool) { ReadDescriptor(pool, NonPagedPoolNx); }
void SubmitTransferBuffer(POOL_TYPE pool) { ReadDescriptor(NonPagedPoolNx, pool); }

// Freeing takes the pool's lock, which is not taken above DISPATCH_LEVEL (and for paged pool not
// at it).
void FreeRaised(POOL_TYPE pool, KIRQL irql)
{
    void* memory = ExAllocatePoolWithTag(pool, 32, kTestTag);
    KIRQL old;
    KeRaiseIrql(irql, &old);
    ExFreePoolWithTag(memory, kTestTag);
    KeLowerIrql(old);
    if (sim::Machine::Current().Pools().IsLive(memory)) {
        ExFreePoolWithTag(memory, kTestTag);  // the refused free left it
    }
}

void FreeAtDispatchLevel(POOL_TYPE pool) { FreeRaised(pool, DISPATCH_LEVEL); }
void FreeAtHighLevel(POOL_TYPE pool) { FreeRaised(pool == PagedPool ? NonPagedPoolNx : pool, HIGH_LEVEL); }

struct Case {
    const char* name;
    void (*use)(POOL_TYPE pool);
    const char* rule;
    // Whether the same use on non-paged pool is legal.
    bool legalWhenNonPaged = true;
};

class MemoryRules : public ::testing::TestWithParam<Case> {};

TEST_P(MemoryRules, PagedPoolIsReportedNonPagedIsNot)
{
    const Case& c = GetParam();
    sim::Machine machine;
    machine.Verify().SetMode(sim::VerifierMode::Record);
    c.use(PagedPool);
    std::vector<std::string> reports = machine.Verify().Reports();
    ASSERT_EQ(reports.size(), 1u) << (reports.empty() ? std::string("no report") : reports.back());
    EXPECT_TRUE(machine.Verify().HasReport(c.rule)) << reports[0];

    machine.Verify().ClearReports();
    c.use(NonPagedPoolNx);
    reports = machine.Verify().Reports();
    if (c.legalWhenNonPaged) {
        EXPECT_TRUE(reports.empty()) << reports.front();
    }
    EXPECT_TRUE(machine.Pools().LiveAllocations().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Verifier, MemoryRules,
    ::testing::Values(Case{"SpinLock", AcquireSpinLock, kResidentRule}, Case{"Dpc", QueueDpc, kResidentRule},
                      Case{"Timer", InitializeTimer, kResidentRule}, Case{"Event", InitializeEvent, kResidentRule},
                      Case{"NonPagedLookasideList", InitializeNonPagedLookaside, kResidentRule},
                      Case{"MdlForNonPagedPool", DescribeAsNonPaged, kResidentRule},
                      Case{"Urb", SubmitUrb, kResidentRule}, Case{"UrbTransferBuffer", SubmitTransferBuffer, kResidentRule},
                      Case{"PagedFreeAtDispatchLevel", FreeAtDispatchLevel, kFreeRule},
                      Case{"FreeAboveDispatchLevel", FreeAtHighLevel, kFreeRule, false}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
