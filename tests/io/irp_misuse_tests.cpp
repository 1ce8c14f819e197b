// IRP mistakes that bug-check a real machine are reported by the verifier, named, and refused, so
// that the machine stays usable and nothing leaks.
#include <gtest/gtest.h>

#include <string>

#include "platform/kernel.h"
#include "sim/kernel/machine.h"
#include "tests/io/device_stack.h"

namespace {

using iotest::CompleteNow;
using iotest::CreatorIrp;
using iotest::DeviceStack;

constexpr ULONG kIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_BUFFERED, FILE_ANY_ACCESS);

void CompleteThreadIrpTwice(DeviceStack& stack)
{
    stack.pdoDispatch = [](PDEVICE_OBJECT, PIRP irp) {
        CompleteNow(irp, STATUS_SUCCESS);
        IoCompleteRequest(irp, IO_NO_INCREMENT);  // the I/O manager has freed it: only the call is made
        return STATUS_SUCCESS;
    };
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    IoCallDriver(stack.Top(), IoBuildDeviceIoControlRequest(kIoctl, stack.Top(), nullptr, 0, nullptr, 0, FALSE,
                                                            &event, &status));
}

void CompleteCreatorIrpTwice(DeviceStack& stack)
{
    stack.pdoDispatch = [](PDEVICE_OBJECT, PIRP irp) {
        CompleteNow(irp, STATUS_SUCCESS);
        return CompleteNow(irp, STATUS_SUCCESS);
    };
    CreatorIrp request(stack.Top()->StackSize);
    request.SendAndWait(stack.Top());
}

void FreeTwice(DeviceStack&)
{
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoFreeIrp(irp);
    IoFreeIrp(irp);
}

void FreeWhileALowerDriverHoldsIt(DeviceStack& stack)
{
    PIRP held = nullptr;
    stack.pdoDispatch = [&held](PDEVICE_OBJECT, PIRP irp) {
        held = irp;
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    };
    CreatorIrp request(stack.Top()->StackSize);
    IoCallDriver(stack.Top(), request.irp);
    IoFreeIrp(request.irp);
    CompleteNow(held, STATUS_SUCCESS);  // the bus driver finishes it; then the creator frees it
}

void CompleteAboveDispatchLevel(DeviceStack& stack)
{
    stack.pdoDispatch = [](PDEVICE_OBJECT, PIRP irp) {
        KIRQL old;
        KeRaiseIrql(HIGH_LEVEL, &old);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        KeLowerIrql(old);
        return CompleteNow(irp, STATUS_SUCCESS);
    };
    CreatorIrp request(stack.Top()->StackSize);
    request.SendAndWait(stack.Top());
}

void CompleteWithCancelRoutineSet(DeviceStack& stack)
{
    stack.pdoDispatch = [](PDEVICE_OBJECT, PIRP irp) {
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoSetCancelRoutine(irp, nullptr);
        return CompleteNow(irp, STATUS_SUCCESS);
    };
    CreatorIrp request(stack.Top()->StackSize);
    request.SendAndWait(stack.Top());
}

// The bus driver finishes the request at once but tells its caller the result comes later, without
// marking its stack location: the I/O manager would wait for a completion already gone.
void ReturnPendingWithoutMarking(DeviceStack& stack)
{
    stack.pdoDispatch = [](PDEVICE_OBJECT, PIRP irp) {
        CompleteNow(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    };
    CreatorIrp request(stack.Top()->StackSize);
    request.SendAndWait(stack.Top());
}

// An IRP with one stack location sent into a stack of three: the filter passes it on without
// giving back its own location, so nothing is left for the FDO (Windows bug-checks with
// NO_MORE_IRP_STACK_LOCATIONS).
void SendThroughATallerStack(DeviceStack& stack)
{
    NTSTATUS lowerCall = STATUS_SUCCESS;
    stack.filter.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        lowerCall = IoCallDriver(stack.filter.lower, irp);
        return CompleteNow(irp, lowerCall);
    };
    CreatorIrp request(1);
    request.SendAndWait(stack.Top());
    EXPECT_EQ(lowerCall, STATUS_INVALID_DEVICE_STATE);
}

struct MisuseCase {
    const char* name;
    void (*misuse)(DeviceStack& stack);
    const char* rule;
};

class IrpMisuse : public ::testing::TestWithParam<MisuseCase> {};

TEST_P(IrpMisuse, IsReportedOnceAndRefused)
{
    const MisuseCase& c = GetParam();
    sim::Machine machine;
    machine.Verify().SetMode(sim::VerifierMode::Record);
    {
        DeviceStack stack;
        c.misuse(stack);
        std::vector<std::string> reports = machine.Verify().Reports();
        ASSERT_EQ(reports.size(), 1u) << (reports.empty() ? std::string("no report") : reports[0]);
        EXPECT_TRUE(machine.Verify().HasReport(c.rule)) << reports[0];
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(machine.Pools().LiveAllocations().empty());
    EXPECT_EQ(machine.Verify().Reports().size(), 1u) << "the stack came down cleanly after the refusal";
}

INSTANTIATE_TEST_SUITE_P(
    IrpVerifier, IrpMisuse,
    ::testing::Values(MisuseCase{"ThreadIrpCompletedTwice", CompleteThreadIrpTwice, "IRP completed twice"},
                      MisuseCase{"CreatorIrpCompletedTwice", CompleteCreatorIrpTwice, "IRP completed twice"},
                      MisuseCase{"FreedTwice", FreeTwice, "IRP freed twice"},
                      MisuseCase{"FreedWhileInALowerDriver", FreeWhileALowerDriverHoldsIt, "pending IRP freed"},
                      MisuseCase{"CompletedAboveDispatchLevel", CompleteAboveDispatchLevel,
                                 "IRP completed at the wrong IRQL"},
                      MisuseCase{"CompletedWithCancelRoutine", CompleteWithCancelRoutineSet,
                                 "IRP completed with a cancel routine set"},
                      MisuseCase{"NoStackLocationLeft", SendThroughATallerStack, "no more IRP stack locations"},
                      MisuseCase{"PendingReturnedUnmarked", ReturnPendingWithoutMarking,
                                 "STATUS_PENDING returned without IoMarkIrpPending"}),
    [](const ::testing::TestParamInfo<MisuseCase>& info) { return std::string(info.param.name); });

}  // namespace
