#include "tests/io/device_stack.h"

#include <gtest/gtest.h>

namespace iotest {

namespace {

// The level AddDevice is about to create; Plug and Play passes nothing else to AddDevice.
Level* g_levelToAdd = nullptr;

Level& LevelOf(PDEVICE_OBJECT device) { return **static_cast<Level**>(device->DeviceExtension); }

NTSTATUS DispatchToLevel(PDEVICE_OBJECT device, PIRP irp)
{
    Level& level = LevelOf(device);
    return level.dispatch ? level.dispatch(device, irp) : PassDown(level, irp);
}

NTSTATUS AddLevelDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice)
{
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Level*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *static_cast<Level**>(device->DeviceExtension) = g_levelToAdd;
    g_levelToAdd->device = device;
    g_levelToAdd->lower = IoAttachDeviceToDeviceStack(device, physicalDevice);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void UnloadLevelDriver(PDRIVER_OBJECT) {}

NTSTATUS LevelDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) {
        dispatch = &DispatchToLevel;
    }
    driver->DriverExtension->AddDevice = &AddLevelDevice;
    driver->DriverUnload = &UnloadLevelDriver;
    return STATUS_SUCCESS;
}

void AddLevel(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice, Level& level)
{
    g_levelToAdd = &level;
    ASSERT_EQ(driver->DriverExtension->AddDevice(driver, physicalDevice), STATUS_SUCCESS);
}

void RemoveLevel(Level& level)
{
    IoDetachDevice(level.lower);
    IoDeleteDevice(level.device);
}

}  // namespace

NTSTATUS PassDown(const Level& level, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(level.lower, irp);
}

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void Completion::Set(PIRP irp) { IoSetCompletionRoutine(irp, &Completion::Run, this, TRUE, TRUE, TRUE); }

NTSTATUS Completion::Run(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    return static_cast<Completion*>(context)->routine(device, irp);
}

NTSTATUS LaterCompletion::Pend(PIRP pending, int64_t delayNanoseconds, NTSTATUS result, ULONG_PTR resultInformation)
{
    irp = pending;
    status = result;
    information = resultInformation;
    IoMarkIrpPending(irp);
    KeInitializeDpc(&dpc, &LaterCompletion::Complete, this);
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    due.QuadPart = -(delayNanoseconds / 100);
    KeSetTimer(&timer, due, &dpc);
    return STATUS_PENDING;
}

void LaterCompletion::Complete(KDPC*, PVOID context, PVOID, PVOID)
{
    auto* self = static_cast<LaterCompletion*>(context);
    self->completionIrql = KeGetCurrentIrql();
    CompleteNow(self->irp, self->status, self->information);
}

CreatorIrp::CreatorIrp(CCHAR stackSize) : irp(IoAllocateIrp(stackSize, FALSE))
{
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    creator.routine = [this](PDEVICE_OBJECT device, PIRP completed) {
        calls.push_back({"creator", device, completed->IoStatus.Status});
        pendingReturned = completed->PendingReturned != FALSE;
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
    creator.Set(irp);
}

CreatorIrp::~CreatorIrp() { IoFreeIrp(irp); }

NTSTATUS CreatorIrp::SendAndWait(PDEVICE_OBJECT device)
{
    NTSTATUS returned = IoCallDriver(device, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return returned;
}

DeviceStack::DeviceStack()
{
    EXPECT_EQ(bus.CreateDevice(pdoHandler, &pdo), STATUS_SUCCESS);
    EXPECT_EQ(sim::io::CreateDriverObject(u"iotestfunction", &LevelDriverEntry, &functionDriver), STATUS_SUCCESS);
    EXPECT_EQ(sim::io::CreateDriverObject(u"iotestfilter", &LevelDriverEntry, &filterDriver), STATUS_SUCCESS);
    AddLevel(functionDriver, pdo, fdo);
    AddLevel(filterDriver, pdo, filter);
}

DeviceStack::~DeviceStack()
{
    RemoveLevel(filter);
    RemoveLevel(fdo);
    EXPECT_EQ(sim::io::UnloadDriver(filterDriver), STATUS_SUCCESS);
    EXPECT_EQ(sim::io::UnloadDriver(functionDriver), STATUS_SUCCESS);
    IoDeleteDevice(pdo);
}

}  // namespace iotest
