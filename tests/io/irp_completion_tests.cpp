// Completion through a filter → FDO → PDO stack: which routines run, in which order, with which
// device object, how the pending mark travels up, and how a routine takes an IRP back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/kernel.h"
#include "sim/kernel/machine.h"
#include "tests/io/device_stack.h"

namespace {

using iotest::Completion;
using iotest::CreatorIrp;
using iotest::CompleteNow;
using iotest::DeviceStack;
using iotest::LaterCompletion;
using iotest::PassDown;

constexpr int64_t kMillisecond = 1000000;
constexpr ULONG kIrpTag = ' prI';

// A level that watches completion on its way up and lets it go on.
NTSTATUS ForwardWithRoutine(const iotest::Level& level, Completion& routine, PIRP irp)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    routine.Set(irp);
    return IoCallDriver(level.lower, irp);
}

TEST(IrpCompletion, RoutinesRunBottomUpWithTheDeviceOfTheLevelThatSetThem)
{
    sim::Machine machine;
    DeviceStack stack;
    EXPECT_EQ(stack.pdo->StackSize, 1);
    EXPECT_EQ(stack.fdo.device->StackSize, 2);
    EXPECT_EQ(stack.Top()->StackSize, 3);
    EXPECT_EQ(stack.fdo.lower, stack.pdo);
    EXPECT_EQ(stack.filter.lower, stack.fdo.device) << "attaching to the PDO lands on the top of its stack";

    CreatorIrp request(stack.Top()->StackSize);
    Completion fdoRoutine, filterRoutine;
    auto record = [&](const char* who) {
        return [&request, who](PDEVICE_OBJECT device, PIRP irp) {
            request.calls.push_back({who, device, irp->IoStatus.Status});
            return STATUS_SUCCESS;
        };
    };
    fdoRoutine.routine = record("fdo");
    filterRoutine.routine = record("filter");
    stack.filter.dispatch = [&](PDEVICE_OBJECT, PIRP irp) { return ForwardWithRoutine(stack.filter, filterRoutine, irp); };
    stack.fdo.dispatch = [&](PDEVICE_OBJECT, PIRP irp) { return ForwardWithRoutine(stack.fdo, fdoRoutine, irp); };
    PDEVICE_OBJECT pdoSaw = nullptr;
    stack.pdoDispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
        pdoSaw = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
        return CompleteNow(irp, STATUS_SUCCESS, 7);
    };

    EXPECT_EQ(request.SendAndWait(stack.Top()), STATUS_SUCCESS);
    EXPECT_EQ(pdoSaw, stack.pdo) << "IoCallDriver records the target in the stack location";
    ASSERT_EQ(request.calls.size(), 3u);
    EXPECT_EQ(request.calls[0].who, "fdo");
    EXPECT_EQ(request.calls[0].device, stack.fdo.device);
    EXPECT_EQ(request.calls[1].who, "filter");
    EXPECT_EQ(request.calls[1].device, stack.filter.device);
    EXPECT_EQ(request.calls[2].who, "creator");
    EXPECT_EQ(request.calls[2].device, nullptr) << "no stack location of its own above the top";
    EXPECT_EQ(request.irp->IoStatus.Information, 7u);
}

TEST(IrpCompletion, RoutineTakesTheIrpBackAndItsDriverCompletesItAgain)
{
    sim::Machine machine;
    DeviceStack stack;
    CreatorIrp request(stack.Top()->StackSize);

    // The FDO waits for the lower driver, then finishes the request itself: the pattern of start
    // and query requests that a function driver handles on the way up.
    KEVENT lowerDone;
    KeInitializeEvent(&lowerDone, NotificationEvent, FALSE);
    Completion fdoRoutine, filterRoutine;
    int fdoRoutineRuns = 0;
    fdoRoutine.routine = [&](PDEVICE_OBJECT, PIRP) {
        ++fdoRoutineRuns;
        KeSetEvent(&lowerDone, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
    filterRoutine.routine = [&](PDEVICE_OBJECT device, PIRP irp) {
        request.calls.push_back({"filter", device, irp->IoStatus.Status});
        return STATUS_SUCCESS;
    };
    stack.filter.dispatch = [&](PDEVICE_OBJECT, PIRP irp) { return ForwardWithRoutine(stack.filter, filterRoutine, irp); };
    NTSTATUS lowerStatus = STATUS_PENDING;
    stack.fdo.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        ForwardWithRoutine(stack.fdo, fdoRoutine, irp);
        KeWaitForSingleObject(&lowerDone, Executive, KernelMode, FALSE, nullptr);
        lowerStatus = irp->IoStatus.Status;
        return CompleteNow(irp, STATUS_SUCCESS, 99);
    };
    LaterCompletion bus;
    stack.pdoDispatch = [&](PDEVICE_OBJECT, PIRP irp) { return bus.Pend(irp, kMillisecond, STATUS_DEVICE_BUSY); };

    EXPECT_EQ(request.SendAndWait(stack.Top()), STATUS_SUCCESS);
    EXPECT_EQ(fdoRoutineRuns, 1);
    EXPECT_EQ(lowerStatus, STATUS_DEVICE_BUSY);
    ASSERT_EQ(request.calls.size(), 2u);
    EXPECT_EQ(request.calls[0].who, "filter");
    EXPECT_EQ(request.calls[0].status, STATUS_SUCCESS) << "the routines above see the FDO's result";
    EXPECT_EQ(request.calls[1].who, "creator");
    EXPECT_EQ(request.irp->IoStatus.Information, 99u);
    EXPECT_FALSE(request.pendingReturned) << "the FDO returned synchronously, so the pend stopped there";
}

// How SL_PENDING_RETURNED travels from the PDO to the creator: a level that skips shares the
// PDO's stack location; a level with its own location but no routine is marked by the I/O
// manager; a level with a routine is marked only if the routine marks it again. A routine that
// forgets leaves its driver returning STATUS_PENDING for an unmarked level, which the verifier
// reports (Windows' Driver Verifier bug-checks).
enum class FdoForwarding { Skip, CopyWithoutRoutine, RoutineMarksPending, RoutineForgetsPending };

struct PendingCase {
    const char* name;
    bool pdoPends;
    FdoForwarding fdo;
    bool creatorSeesPending;
    const char* report = nullptr;
};

class PendingPropagation : public ::testing::TestWithParam<PendingCase> {};

TEST_P(PendingPropagation, ReachesTheCreatorAsDocumented)
{
    const PendingCase& c = GetParam();
    sim::Machine machine;
    machine.Verify().SetMode(sim::VerifierMode::Record);
    DeviceStack stack;
    CreatorIrp request(stack.Top()->StackSize);
    Completion fdoRoutine;
    fdoRoutine.routine = [&](PDEVICE_OBJECT, PIRP irp) {
        if (c.fdo == FdoForwarding::RoutineMarksPending && irp->PendingReturned) {
            IoMarkIrpPending(irp);
        }
        return STATUS_SUCCESS;
    };
    stack.fdo.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        switch (c.fdo) {
        case FdoForwarding::Skip:
            return PassDown(stack.fdo, irp);
        case FdoForwarding::CopyWithoutRoutine:
            IoCopyCurrentIrpStackLocationToNext(irp);
            return IoCallDriver(stack.fdo.lower, irp);
        default:
            return ForwardWithRoutine(stack.fdo, fdoRoutine, irp);
        }
    };
    LaterCompletion bus;
    stack.pdoDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        return c.pdoPends ? bus.Pend(irp, kMillisecond, STATUS_SUCCESS) : CompleteNow(irp, STATUS_SUCCESS);
    };

    NTSTATUS returned = request.SendAndWait(stack.Top());
    EXPECT_EQ(returned, c.pdoPends ? STATUS_PENDING : STATUS_SUCCESS);
    EXPECT_EQ(request.pendingReturned, c.creatorSeesPending);
    if (c.pdoPends) {
        EXPECT_EQ(bus.completionIrql, DISPATCH_LEVEL);
        EXPECT_EQ(machine.Now(), kMillisecond);
    }
    const std::vector<std::string> reports = machine.Verify().Reports();
    if (c.report == nullptr) {
        EXPECT_TRUE(reports.empty()) << reports.front();
    } else {
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_TRUE(machine.Verify().HasReport(c.report)) << reports.front();
    }
}

INSTANTIATE_TEST_SUITE_P(
    IrpCompletion, PendingPropagation,
    ::testing::Values(PendingCase{"Synchronous", false, FdoForwarding::CopyWithoutRoutine, false},
                      PendingCase{"PendedThroughASkippingLevel", true, FdoForwarding::Skip, true},
                      PendingCase{"PendedThroughALevelWithoutRoutine", true, FdoForwarding::CopyWithoutRoutine, true},
                      PendingCase{"PendedThroughARoutineThatMarksItsLevel", true, FdoForwarding::RoutineMarksPending,
                                  true},
                      PendingCase{"LostInARoutineThatDoesNotMarkItsLevel", true, FdoForwarding::RoutineForgetsPending,
                                  false, "STATUS_PENDING returned without IoMarkIrpPending"}),
    [](const ::testing::TestParamInfo<PendingCase>& info) { return std::string(info.param.name); });

TEST(IrpCompletion, CancelCallsTheRoutineUnderTheCancelLockWithTheHoldingDevice)
{
    sim::Machine machine;
    DeviceStack stack;
    CreatorIrp request(stack.Top()->StackSize);
    PDEVICE_OBJECT cancelledOn = nullptr;
    KIRQL cancelIrql = 0xff;
    static iotest::Handler onCancel;
    onCancel = [&](PDEVICE_OBJECT device, PIRP irp) {
        cancelledOn = device;
        cancelIrql = KeGetCurrentIrql();
        IoReleaseCancelSpinLock(irp->CancelIrql);
        return CompleteNow(irp, STATUS_CANCELLED);
    };
    stack.pdoDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT device, PIRP irp) { onCancel(device, irp); });
        return STATUS_PENDING;
    };

    EXPECT_EQ(IoCallDriver(stack.Top(), request.irp), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(request.irp));
    KeWaitForSingleObject(&request.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(cancelledOn, stack.pdo);
    EXPECT_EQ(cancelIrql, DISPATCH_LEVEL);
    ASSERT_EQ(request.calls.size(), 1u);
    EXPECT_EQ(request.calls[0].status, STATUS_CANCELLED);
    EXPECT_TRUE(request.irp->Cancel);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    EXPECT_FALSE(IoCancelIrp(request.irp)) << "no cancel routine any more";
    onCancel = nullptr;
}

TEST(IrpCompletion, ReusedIrpStartsOverWithItsAllocation)
{
    sim::Machine machine;
    DeviceStack stack;
    CreatorIrp request(stack.Top()->StackSize);
    stack.pdoDispatch = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        CompleteNow(irp, STATUS_UNSUCCESSFUL, 3);
        return STATUS_PENDING;
    };
    request.SendAndWait(stack.Top());
    ASSERT_TRUE(request.pendingReturned);
    PIRP before = request.irp;

    IoReuseIrp(request.irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(request.irp, before);
    EXPECT_EQ(request.irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(request.irp->IoStatus.Information, 0u);
    EXPECT_EQ(request.irp->CurrentLocation, request.irp->StackCount + 1);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(request.irp), reinterpret_cast<PIO_STACK_LOCATION>(request.irp + 1) + 3);
    EXPECT_FALSE(request.irp->PendingReturned);
    EXPECT_EQ(request.irp->AllocationFlags & IRP_ALLOCATED_FIXED_SIZE, IRP_ALLOCATED_FIXED_SIZE);
    EXPECT_EQ(machine.Pools().LiveAllocations(kIrpTag).size(), 1u);

    // Usable again from the top, like a new IRP.
    KeClearEvent(&request.done);
    request.calls.clear();
    IoGetNextIrpStackLocation(request.irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    request.creator.Set(request.irp);
    stack.pdoDispatch = [](PDEVICE_OBJECT, PIRP irp) { return CompleteNow(irp, STATUS_SUCCESS, 5); };
    EXPECT_EQ(request.SendAndWait(stack.Top()), STATUS_SUCCESS);
    ASSERT_EQ(request.calls.size(), 1u);
    EXPECT_EQ(request.calls[0].status, STATUS_SUCCESS);
    EXPECT_FALSE(request.pendingReturned);
}

}  // namespace
