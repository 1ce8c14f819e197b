// IoBuildDeviceIoControlRequest: a caller's synchronous request through the stack, with each
// transfer method's buffers and the I/O manager's part of completion (data copied back, status
// block, event, IRP freed).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/kernel.h"
#include "sim/kernel/machine.h"
#include "tests/io/device_stack.h"

namespace {

using iotest::CompleteNow;
using iotest::DeviceStack;
using iotest::LaterCompletion;

constexpr int64_t kMillisecond = 1000000;

// The PDO's side of a request: read the caller's input and write its output where the transfer
// method puts them.
struct MethodCase {
    const char* name;
    ULONG method;
    void* (*input)(PIRP irp);
    void* (*output)(PIRP irp);
};

void* SystemBuffer(PIRP irp) { return irp->AssociatedIrp.SystemBuffer; }
void* MappedMdl(PIRP irp) { return MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority); }
void* Type3Input(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer; }
void* UserBuffer(PIRP irp) { return irp->UserBuffer; }

class TransferMethods : public ::testing::TestWithParam<MethodCase> {};

TEST_P(TransferMethods, RoundTripDeliversInputAndOutput)
{
    const MethodCase& c = GetParam();
    sim::Machine machine;
    DeviceStack stack;
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, c.method, FILE_ANY_ACCESS);
    char input[8] = "request";
    char output[16] = {};
    ULONG seenCode = 0;
    UCHAR seenMajor = 0;
    std::string seenInput;
    stack.pdoDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        seenMajor = location->MajorFunction;
        seenCode = location->Parameters.DeviceIoControl.IoControlCode;
        seenInput.assign(static_cast<const char*>(c.input(irp)), location->Parameters.DeviceIoControl.InputBufferLength);
        std::memcpy(c.output(irp), "answer", 6);
        return CompleteNow(irp, STATUS_SUCCESS, 6);
    };
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, stack.Top(), input, sizeof input, output, sizeof output, FALSE,
                                             &event, &status);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_SUCCESS);

    EXPECT_EQ(seenMajor, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(seenCode, code);
    EXPECT_EQ(seenInput, std::string(input, sizeof input));
    EXPECT_EQ(std::string(output, 6), "answer");
    EXPECT_EQ(output[6], '\0') << "only IoStatus.Information bytes come back";
    EXPECT_EQ(status.Status, STATUS_SUCCESS);
    EXPECT_EQ(status.Information, 6u);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_TRUE(machine.Pools().LiveAllocations().empty()) << "IRP, system buffer and MDL are the I/O manager's to free";
}

INSTANTIATE_TEST_SUITE_P(
    ThreadIrps, TransferMethods,
    ::testing::Values(MethodCase{"Buffered", METHOD_BUFFERED, SystemBuffer, SystemBuffer},
                      MethodCase{"OutDirect", METHOD_OUT_DIRECT, SystemBuffer, MappedMdl},
                      MethodCase{"Neither", METHOD_NEITHER, Type3Input, UserBuffer}),
    [](const ::testing::TestParamInfo<MethodCase>& info) { return std::string(info.param.name); });

// What the caller gets back depends on how the request ended: a failure handed back
// synchronously through IoCallDriver neither writes the status block nor sets the event.
struct EndingCase {
    const char* name;
    bool pend;
    NTSTATUS status;
    bool reported;  // status block written and event set
    bool dataCopied;
};

class RequestEndings : public ::testing::TestWithParam<EndingCase> {};

TEST_P(RequestEndings, ReachTheCallerAsOnWindows)
{
    const EndingCase& c = GetParam();
    sim::Machine machine;
    DeviceStack stack;
    LaterCompletion bus;
    stack.pdoDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        std::memcpy(irp->AssociatedIrp.SystemBuffer, "data", 4);
        return c.pend ? bus.Pend(irp, kMillisecond, c.status, 4) : CompleteNow(irp, c.status, 4);
    };
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    status.Status = STATUS_TIMEOUT;
    char output[4] = {};
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                             stack.Top(), nullptr, 0, output, sizeof output, TRUE, &event, &status);
    ASSERT_NE(irp, nullptr);
    NTSTATUS returned = IoCallDriver(stack.Top(), irp);
    if (returned == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(bus.completionIrql, DISPATCH_LEVEL);
        EXPECT_EQ(machine.Now(), kMillisecond) << "the caller slept exactly until the bus completed it";
    } else {
        EXPECT_EQ(returned, c.status);
    }
    EXPECT_EQ(returned == STATUS_PENDING, c.pend);
    EXPECT_EQ(KeReadStateEvent(&event), c.reported ? 1 : 0);
    EXPECT_EQ(status.Status, c.reported ? c.status : STATUS_TIMEOUT);
    EXPECT_EQ(std::memcmp(output, "data", 4) == 0, c.dataCopied);
    EXPECT_TRUE(machine.Pools().LiveAllocations().empty());
}

INSTANTIATE_TEST_SUITE_P(
    ThreadIrps, RequestEndings,
    ::testing::Values(EndingCase{"Success", false, STATUS_SUCCESS, true, true},
                      EndingCase{"PendedSuccessFromADpc", true, STATUS_SUCCESS, true, true},
                      EndingCase{"WarningStillCopiesData", false, STATUS_BUFFER_OVERFLOW, true, true},
                      EndingCase{"SynchronousFailure", false, STATUS_DEVICE_NOT_READY, false, false},
                      EndingCase{"PendedFailure", true, STATUS_DEVICE_NOT_READY, true, false}),
    [](const ::testing::TestParamInfo<EndingCase>& info) { return std::string(info.param.name); });

TEST(ThreadIrps, MoreDataThanTheOutputBufferHoldsIsReportedAndNotCopied)
{
    sim::Machine machine;
    machine.Verify().SetMode(sim::VerifierMode::Record);
    DeviceStack stack;
    stack.pdoDispatch = [](PDEVICE_OBJECT, PIRP irp) { return CompleteNow(irp, STATUS_SUCCESS, 64); };
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    char output[12] = {};
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                             stack.Top(), nullptr, 0, output, 8, FALSE, &event, &status);
    ASSERT_NE(irp, nullptr);
    IoCallDriver(stack.Top(), irp);
    EXPECT_TRUE(machine.Verify().HasReport("IRP completed with more data than the output buffer holds"));
    EXPECT_EQ(std::string(output + 8, 4), std::string(4, '\0')) << "nothing is written past the caller's 8 bytes";
}

}  // namespace
