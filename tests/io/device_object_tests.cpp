// Device objects: the named-device namespace and IoGetDeviceObjectPointer's file object, deletion
// deferred to the last reference, device stacks, and driver unload with its checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "sim/io/drivers.h"
#include "sim/kernel/machine.h"
#include "tests/io/device_stack.h"

namespace {

constexpr ULONG kDriverTag = 'tseT';  // "Test" in a pool dump

// A legacy-style driver with one named control device made in DriverEntry and deleted in
// DriverUnload. It records the major functions it receives.
struct ControlDriver {
    PDEVICE_OBJECT device = nullptr;
    std::vector<UCHAR> requests;
    NTSTATUS createResult = STATUS_SUCCESS;
    void* block = nullptr;     // pool DriverEntry allocates and DriverUnload frees
    bool forgetBlock = false;  // unload leaks the block
    bool forgetDevice = false; // unload leaves the device
    bool failEntry = false;    // DriverEntry fails after allocating
    int unloads = 0;
    std::u16string registryPath;
    KEVENT closed;
    KIRQL closeIrql = 0xff;
    PKTHREAD closeThread = nullptr;
};

ControlDriver g_control;

UNICODE_STRING ControlName()
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, W("\\Device\\IoTestControl"));
    return name;
}

NTSTATUS ControlDispatch(PDEVICE_OBJECT, PIRP irp)
{
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    g_control.requests.push_back(major);
    if (major == IRP_MJ_CLOSE) {
        g_control.closeIrql = KeGetCurrentIrql();
        g_control.closeThread = KeGetCurrentThread();
        KeSetEvent(&g_control.closed, IO_NO_INCREMENT, FALSE);
    }
    return iotest::CompleteNow(irp, major == IRP_MJ_CREATE ? g_control.createResult : STATUS_SUCCESS);
}

void ControlUnload(PDRIVER_OBJECT)
{
    ++g_control.unloads;
    if (!g_control.forgetBlock) {
        ExFreePoolWithTag(g_control.block, kDriverTag);
    }
    if (g_control.device != nullptr && !g_control.forgetDevice) {
        IoDeleteDevice(g_control.device);
        g_control.device = nullptr;
    }
}

NTSTATUS ControlDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    g_control.registryPath.assign(registryPath->Buffer, registryPath->Length / sizeof(WCHAR));
    g_control.block = ExAllocatePoolWithTag(NonPagedPoolNx, 32, kDriverTag);
    if (g_control.failEntry) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UNICODE_STRING name = ControlName();
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_control.device);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(g_control.block, kDriverTag);
        return status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = &ControlDispatch;
    driver->MajorFunction[IRP_MJ_CLEANUP] = &ControlDispatch;
    driver->MajorFunction[IRP_MJ_CLOSE] = &ControlDispatch;
    driver->DriverUnload = &ControlUnload;
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT LoadControlDriver()
{
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(sim::io::CreateDriverObject(u"iotestcontrol", &ControlDriverEntry, &driver), STATUS_SUCCESS);
    return driver;
}

NTSTATUS Open(const char16_t* text, PFILE_OBJECT* file, PDEVICE_OBJECT* device)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, text);
    return IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, file, device);
}

class DeviceObjects : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_control = ControlDriver{};
        KeInitializeEvent(&g_control.closed, NotificationEvent, FALSE);
    }
    sim::Machine machine;
};

TEST_F(DeviceObjects, FileObjectOfANamedDeviceHoldsItUntilDereferenced)
{
    PDRIVER_OBJECT driver = LoadControlDriver();
    PDEVICE_OBJECT control = g_control.device;
    EXPECT_EQ(control->Flags & DO_DEVICE_INITIALIZING, 0u) << "cleared for devices made in DriverEntry";
    EXPECT_EQ(sim::io::DeviceObjectName(control), u"\\Device\\IoTestControl");
    EXPECT_EQ(g_control.registryPath, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\iotestcontrol");
    EXPECT_EQ(driver->DriverName.Length, sizeof(u"\\Driver\\iotestcontrol") - sizeof(WCHAR));

    PDEVICE_OBJECT again = nullptr;
    UNICODE_STRING sameName;
    RtlInitUnicodeString(&sameName, W("\\device\\IOTESTCONTROL"));
    EXPECT_EQ(IoCreateDevice(driver, 0, &sameName, FILE_DEVICE_UNKNOWN, 0, FALSE, &again),
              STATUS_OBJECT_NAME_COLLISION) << "the object namespace ignores case";

    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(Open(u"\\DEVICE\\iotestcontrol", &file, &device), STATUS_SUCCESS);
    EXPECT_EQ(device, control);
    EXPECT_EQ(file->DeviceObject, control);
    EXPECT_EQ(file->Type, IO_TYPE_FILE);
    EXPECT_EQ(g_control.requests, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP}));
    EXPECT_EQ(control->ReferenceCount, 1);

    EXPECT_EQ(sim::io::UnloadDriver(driver), STATUS_DEVICE_BUSY) << "an open file object keeps the driver";
    EXPECT_EQ(g_control.unloads, 0);

    ObDereferenceObject(file);
    EXPECT_EQ(g_control.requests.back(), IRP_MJ_CLOSE);
    EXPECT_EQ(control->ReferenceCount, 0);
    EXPECT_EQ(sim::io::UnloadDriver(driver), STATUS_SUCCESS);
    EXPECT_EQ(g_control.unloads, 1);
    EXPECT_EQ(Open(u"\\Device\\IoTestControl", &file, &device), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(DeviceObjects, DeletedDeviceLivesUntilItsLastReference)
{
    PDRIVER_OBJECT driver = LoadControlDriver();
    PDEVICE_OBJECT control = g_control.device;
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(Open(u"\\Device\\IoTestControl", &file, &device), STATUS_SUCCESS);

    IoDeleteDevice(control);
    g_control.device = nullptr;
    PFILE_OBJECT second = nullptr;
    EXPECT_EQ(Open(u"\\Device\\IoTestControl", &second, &device), STATUS_OBJECT_NAME_NOT_FOUND)
        << "the name goes at once";
    EXPECT_NE(machine.Objects().FromBody(control), nullptr) << "the object stays while the file references it";
    EXPECT_EQ(sim::io::UnloadDriver(driver), STATUS_DEVICE_BUSY);

    ObDereferenceObject(file);
    EXPECT_EQ(g_control.requests.back(), IRP_MJ_CLOSE) << "the close still reaches the driver";
    EXPECT_EQ(machine.Objects().FromBody(control), nullptr);
    EXPECT_EQ(sim::io::UnloadDriver(driver), STATUS_SUCCESS);
}

TEST_F(DeviceObjects, LastDereferenceAboveApcLevelClosesOnAWorkerThread)
{
    PDRIVER_OBJECT driver = LoadControlDriver();
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(Open(u"\\Device\\IoTestControl", &file, &device), STATUS_SUCCESS);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ObDereferenceObject(file);
    KeLowerIrql(old);
    KeWaitForSingleObject(&g_control.closed, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(g_control.closeIrql, PASSIVE_LEVEL) << "a close may wait for the driver, so it is deferred";
    EXPECT_NE(g_control.closeThread, KeGetCurrentThread());
    LARGE_INTEGER settle;
    settle.QuadPart = -10000;  // until the worker has dropped the file object's device reference
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    EXPECT_EQ(device->ReferenceCount, 0);
    EXPECT_EQ(sim::io::UnloadDriver(driver), STATUS_SUCCESS);
}

struct OpenFailure {
    const char* name;
    const char16_t* path;
    NTSTATUS createResult;
    bool lateDevice;  // opened device was created after DriverEntry and is still initialising
    NTSTATUS expected;
};

class OpenFailures : public DeviceObjects, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(OpenFailures, LeaveNoFileObjectAndNoReference)
{
    const OpenFailure& c = GetParam();
    PDRIVER_OBJECT driver = LoadControlDriver();
    g_control.createResult = c.createResult;
    PDEVICE_OBJECT late = nullptr;
    if (c.lateDevice) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, W("\\Device\\IoTestLate"));
        ASSERT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &late), STATUS_SUCCESS);
    }
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(Open(c.path, &file, &device), c.expected);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(g_control.device->ReferenceCount, 0);
    for (UCHAR request : g_control.requests) {
        EXPECT_EQ(request, IRP_MJ_CREATE) << "no cleanup or close for a failed open";
    }
    if (late != nullptr) {
        IoDeleteDevice(late);
    }
    EXPECT_EQ(sim::io::UnloadDriver(driver), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    DeviceObjects, OpenFailures,
    ::testing::Values(
        OpenFailure{"UnknownName", u"\\Device\\NoSuchDevice", STATUS_SUCCESS, false, STATUS_OBJECT_NAME_NOT_FOUND},
        OpenFailure{"RelativeName", u"IoTestControl", STATUS_SUCCESS, false, STATUS_OBJECT_PATH_SYNTAX_BAD},
        OpenFailure{"DeviceStillInitialising", u"\\Device\\IoTestLate", STATUS_SUCCESS, true, STATUS_NO_SUCH_DEVICE},
        OpenFailure{"DriverRefusesCreate", u"\\Device\\IoTestControl", STATUS_ACCESS_DENIED, false,
                    STATUS_ACCESS_DENIED}),
    [](const ::testing::TestParamInfo<OpenFailure>& info) { return std::string(info.param.name); });

// What a driver forgets at unload (or after a failed DriverEntry) is reported when it goes.
struct LeakCase {
    const char* name;
    bool failEntry;
    bool forgetBlock;
    bool forgetDevice;
    const char* rule;
};

class UnloadLeaks : public DeviceObjects, public ::testing::WithParamInterface<LeakCase> {};

TEST_P(UnloadLeaks, AreReportedWhenTheDriverGoes)
{
    const LeakCase& c = GetParam();
    machine.Verify().SetMode(sim::VerifierMode::Record);
    g_control.failEntry = c.failEntry;
    g_control.forgetBlock = c.forgetBlock;
    g_control.forgetDevice = c.forgetDevice;
    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS status = sim::io::CreateDriverObject(u"iotestcontrol", &ControlDriverEntry, &driver);
    if (c.failEntry) {
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(driver, nullptr);
    } else {
        ASSERT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(sim::io::UnloadDriver(driver), STATUS_SUCCESS);
    }
    std::vector<std::string> reports = machine.Verify().Reports();
    ASSERT_EQ(reports.size(), 1u) << (reports.empty() ? std::string("no report") : reports[0]);
    EXPECT_TRUE(machine.Verify().HasReport(c.rule)) << reports[0];

    if (c.forgetDevice) {
        IoDeleteDevice(g_control.device);
        EXPECT_TRUE(machine.Verify().HasReport("device deleted after its driver unloaded"));
    }
    if (c.forgetBlock || c.failEntry) {
        ExFreePoolWithTag(g_control.block, kDriverTag);
    }
}

INSTANTIATE_TEST_SUITE_P(
    DeviceObjects, UnloadLeaks,
    ::testing::Values(LeakCase{"PoolBlock", false, true, false, "pool leaked"},
                      LeakCase{"DeviceObject", false, false, true, "device object left at driver unload"},
                      LeakCase{"FailedDriverEntry", true, false, false, "pool leaked"}),
    [](const ::testing::TestParamInfo<LeakCase>& info) { return std::string(info.param.name); });

TEST(DeviceStacks, PlugAndPlayDriverStaysLoadedWhileItHasDevices)
{
    sim::Machine machine;
    iotest::DeviceStack stack;
    EXPECT_EQ(sim::io::UnloadDriver(stack.functionDriver), STATUS_DEVICE_BUSY);
    EXPECT_EQ(IoGetAttachedDevice(stack.pdo), stack.Top());
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(stack.fdo.device);
    EXPECT_EQ(top, stack.Top());
    ObDereferenceObject(top);
}

TEST(DeviceStacks, DeletingAnAttachedDeviceIsReportedAndRefused)
{
    sim::Machine machine;
    machine.Verify().SetMode(sim::VerifierMode::Record);
    iotest::DeviceStack stack;
    IoDeleteDevice(stack.fdo.device);  // still attached to the PDO, with the filter on top
    EXPECT_TRUE(machine.Verify().HasReport("device deleted while attached"));
    machine.Verify().ClearReports();
    IoDeleteDevice(stack.pdo);
    EXPECT_TRUE(machine.Verify().HasReport("device deleted while attached"));
    machine.Verify().ClearReports();

    // Both are still there and working.
    stack.pdoDispatch = [](PDEVICE_OBJECT, PIRP irp) { return iotest::CompleteNow(irp, STATUS_SUCCESS); };
    iotest::CreatorIrp request(stack.Top()->StackSize);
    EXPECT_EQ(request.SendAndWait(stack.Top()), STATUS_SUCCESS);
    EXPECT_TRUE(machine.Verify().Reports().empty());
}

TEST(DeviceStacks, AttachingToADeletedDeviceFails)
{
    sim::Machine machine;
    sim::io::BusDriver bus(u"iotestbus");
    sim::io::DispatchFunction handler([](PDEVICE_OBJECT, PIRP irp) { return iotest::CompleteNow(irp, STATUS_SUCCESS); });
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT upper = nullptr;
    ASSERT_EQ(bus.CreateDevice(handler, &pdo), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(bus.DriverObject(), 64, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper), STATUS_SUCCESS);
    const unsigned char* extension = static_cast<const unsigned char*>(upper->DeviceExtension);
    EXPECT_GE(extension, reinterpret_cast<const unsigned char*>(upper + 1)) << "the extension follows the device object";
    EXPECT_EQ(std::count(extension, extension + 64, 0), 64) << "and comes zeroed";
    EXPECT_EQ(upper->Flags & DO_DEVICE_INITIALIZING, ULONG(DO_DEVICE_INITIALIZING));
    EXPECT_EQ(upper->StackSize, 1);
    EXPECT_EQ(sim::io::DeviceObjectName(pdo).rfind(u"\\Device\\", 0), 0u) << "PDOs get a generated name";
    EXPECT_EQ(pdo->Flags & DO_DEVICE_INITIALIZING, 0u);

    ObReferenceObject(pdo);
    IoDeleteDevice(pdo);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, pdo), nullptr);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    ObDereferenceObject(pdo);
    IoDeleteDevice(upper);
}

}  // namespace
