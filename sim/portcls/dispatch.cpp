// PcDispatchIrp: what PortCls does with the requests that reach an adapter's device object.
//
// Plug and Play: the start request goes down first and the driver's StartDevice runs on its way
// back, at PASSIVE_LEVEL; removal requests pass down after PortCls has turned the filters'
// interfaces off, and the remove request also drops the subdevices and the power registration and
// deletes the device object. A query-remove is refused with STATUS_DEVICE_BUSY while a filter or
// pin is open. Power: a device going to D0 is powered below first and then told (adapter, then
// miniports); a device leaving D0 is told first (miniports, then adapter). Creates, closes and
// I/O controls of filters and pins are in ks_dispatch.cpp.
#include "sim/kernel/machine.h"
#include "sim/portcls/wave_cyclic_port.h"

namespace {

using sim::portcls::AdapterDevice;
using sim::portcls::DeviceState;
using sim::portcls::WaveCyclicPort;

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(AdapterDevice& adapter, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(adapter.lower, irp);
}

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the IRP down and waits until the lower drivers completed it; the caller completes it.
NTSTATUS ForwardAndWait(AdapterDevice& adapter, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, &SignalDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(adapter.lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return irp->IoStatus.Status;
}

std::vector<WaveCyclicPort*> ReferencedPorts(AdapterDevice& adapter)
{
    std::vector<WaveCyclicPort*> ports;
    std::lock_guard<std::mutex> guard(adapter.lock);
    for (const auto& subdevice : adapter.subdevices) {
        subdevice->port->AddRef();
        ports.push_back(subdevice->port);
    }
    return ports;
}

void DisableInterfaces(AdapterDevice& adapter)
{
    std::lock_guard<std::mutex> guard(adapter.lock);
    for (auto& subdevice : adapter.subdevices) {
        sim::portcls::SetInterfaces(*subdevice, false);
    }
}

NTSTATUS Start(AdapterDevice& adapter, PDEVICE_OBJECT fdo, PIRP irp)
{
    NTSTATUS status = ForwardAndWait(adapter, irp);
    if (NT_SUCCESS(status)) {
        PRESOURCELIST resources = nullptr;
        status = sim::portcls::NewEmptyResourceList(&resources);
        if (NT_SUCCESS(status)) {
            status = adapter.startDevice(fdo, irp, resources);
            resources->Release();
        }
    }
    if (NT_SUCCESS(status)) {
        adapter.state = DeviceState::Started;
    }
    return Complete(irp, status);
}

NTSTATUS Remove(AdapterDevice& adapter, PDEVICE_OBJECT fdo, PIRP irp)
{
    sim::portcls::DropSubdevices(adapter);
    PADAPTERPOWERMANAGEMENT power;
    {
        std::lock_guard<std::mutex> guard(adapter.lock);
        power = adapter.power;
        adapter.power = nullptr;
    }
    if (power != nullptr) {
        power->Release();
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    PDEVICE_OBJECT lower = adapter.lower;
    const NTSTATUS status = PassDown(adapter, irp);
    IoDetachDevice(lower);
    sim::portcls::ForgetAdapter(&adapter);
    *static_cast<AdapterDevice**>(fdo->DeviceExtension) = nullptr;
    delete &adapter;
    IoDeleteDevice(fdo);
    return status;
}

NTSTATUS Pnp(AdapterDevice& adapter, PDEVICE_OBJECT fdo, PIRP irp)
{
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return Start(adapter, fdo, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (InterlockedCompareExchange(&adapter.openFiles, 0, 0) != 0) {
            return Complete(irp, STATUS_DEVICE_BUSY);
        }
        adapter.state = DeviceState::RemovePending;
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(adapter, irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE: {
        const NTSTATUS status = ForwardAndWait(adapter, irp);
        if (adapter.state == DeviceState::RemovePending) {
            adapter.state = DeviceState::Started;
        }
        return Complete(irp, NT_SUCCESS(status) || status == STATUS_NOT_SUPPORTED ? STATUS_SUCCESS : status);
    }
    case IRP_MN_SURPRISE_REMOVAL:
        adapter.state = DeviceState::SurpriseRemoved;
        DisableInterfaces(adapter);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(adapter, irp);
    case IRP_MN_REMOVE_DEVICE:
        return Remove(adapter, fdo, irp);
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(adapter, irp);
    default:
        return PassDown(adapter, irp);
    }
}

void TellPorts(AdapterDevice& adapter, POWER_STATE state)
{
    for (WaveCyclicPort* port : ReferencedPorts(adapter)) {
        port->NotifyPower(state);
        port->Release();
    }
}

void TellAdapter(AdapterDevice& adapter, POWER_STATE state)
{
    PADAPTERPOWERMANAGEMENT power;
    {
        std::lock_guard<std::mutex> guard(adapter.lock);
        power = adapter.power;
        if (power != nullptr) {
            power->AddRef();
        }
    }
    if (power != nullptr) {
        power->PowerChangeState(state);
        power->Release();
    }
}

NTSTATUS QueryAdapter(AdapterDevice& adapter, POWER_STATE state)
{
    PADAPTERPOWERMANAGEMENT power;
    {
        std::lock_guard<std::mutex> guard(adapter.lock);
        power = adapter.power;
        if (power != nullptr) {
            power->AddRef();
        }
    }
    if (power == nullptr) {
        return STATUS_SUCCESS;
    }
    const NTSTATUS status = power->QueryPowerChangeState(state);
    power->Release();
    return status;
}

NTSTATUS Power(AdapterDevice& adapter, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const POWER_STATE state = stack->Parameters.Power.State;
    if (stack->Parameters.Power.Type != DevicePowerState ||
        (stack->MinorFunction != IRP_MN_SET_POWER && stack->MinorFunction != IRP_MN_QUERY_POWER)) {
        if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
            irp->IoStatus.Status = STATUS_SUCCESS;
        }
        return PassDown(adapter, irp);
    }
    if (stack->MinorFunction == IRP_MN_QUERY_POWER) {
        const NTSTATUS status = QueryAdapter(adapter, state);
        if (!NT_SUCCESS(status)) {
            return Complete(irp, status);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(adapter, irp);
    }
    if (state.DeviceState == PowerDeviceD0) {
        const NTSTATUS status = ForwardAndWait(adapter, irp);
        if (NT_SUCCESS(status)) {
            TellAdapter(adapter, state);
            TellPorts(adapter, state);
            adapter.powerState = state.DeviceState;
        }
        return Complete(irp, status);
    }
    TellPorts(adapter, state);
    TellAdapter(adapter, state);
    adapter.powerState = state.DeviceState;
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(adapter, irp);
}

}  // namespace

NTSTATUS NTAPI PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    AdapterDevice* adapter = sim::portcls::AdapterOf(DeviceObject, "PcDispatchIrp");
    if (adapter == nullptr) {
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_PNP:
        return Pnp(*adapter, DeviceObject, Irp);
    case IRP_MJ_POWER:
        return Power(*adapter, Irp);
    case IRP_MJ_SYSTEM_CONTROL:
        return PassDown(*adapter, Irp);
    case IRP_MJ_CREATE:
        return sim::portcls::CreateKsObject(*adapter, Irp);
    case IRP_MJ_CLOSE:
        return sim::portcls::CloseKsObject(*adapter, Irp);
    case IRP_MJ_CLEANUP:
        return sim::portcls::CleanupKsObject(Irp);
    case IRP_MJ_DEVICE_CONTROL:
        return sim::portcls::ControlKsObject(Irp);
    default:
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}
