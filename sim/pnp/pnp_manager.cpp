#include "sim/pnp/pnp_manager.h"

#include <map>
#include <mutex>

#include "sim/io/synchronous_request.h"
#include "sim/kernel/machine.h"
#include "sim/pnp/device_tree.h"

namespace sim::pnp {
namespace {

bool KnownDevice(PDEVICE_OBJECT pdo, const char* function)
{
    if (MachineDeviceTree().FindByPhysicalDeviceObject(pdo) != nullptr) {
        return true;
    }
    Machine::Current().Verify().Report("invalid PDO", std::string(function) + ": not a physical device object");
    return false;
}

// Sends one IRP to the top of the PDO's stack and waits for it. `fill` sets the stack location.
template <class Fill> NTSTATUS SendToStack(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor, NTSTATUS initial, Fill fill)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    const sim::io::RequestResult result =
        sim::io::SendSynchronousRequest(top, major, [&](PIRP irp, PIO_STACK_LOCATION stack) {
            irp->IoStatus.Status = initial;
            irp->IoStatus.Information = 0;
            stack->MinorFunction = minor;
            fill(stack);
        });
    ObDereferenceObject(top);
    return result.status;
}

NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor)
{
    return SendToStack(pdo, IRP_MJ_PNP, minor, STATUS_NOT_SUPPORTED, [](PIO_STACK_LOCATION) {});
}

NTSTATUS SendDevicePower(PDEVICE_OBJECT pdo, UCHAR minor, DEVICE_POWER_STATE state)
{
    return SendToStack(pdo, IRP_MJ_POWER, minor, STATUS_NOT_SUPPORTED, [state](PIO_STACK_LOCATION stack) {
        stack->Parameters.Power.Type = DevicePowerState;
        stack->Parameters.Power.State.DeviceState = state;
    });
}

// The power manager's record of device power states, by physical device object; a device
// without an entry is in D0.
class DevicePowerRecord final : public MachineComponent {
public:
    std::mutex lock;
    std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE> states;
};

DevicePowerRecord& PowerRecord() { return Machine::Current().Component<DevicePowerRecord>(); }

void ForgetDevicePower(PDEVICE_OBJECT pdo)
{
    DevicePowerRecord& record = PowerRecord();
    std::lock_guard<std::mutex> held(record.lock);
    record.states.erase(pdo);
}

}  // namespace

NTSTATUS AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo)
{
    if (!KnownDevice(pdo, "AddDevice")) {
        return STATUS_NO_SUCH_DEVICE;
    }
    PDRIVER_ADD_DEVICE addDevice = driverObject->DriverExtension->AddDevice;
    return addDevice == nullptr ? STATUS_INVALID_DEVICE_REQUEST : addDevice(driverObject, pdo);
}

NTSTATUS StartAddedDevice(PDEVICE_OBJECT pdo)
{
    if (!KnownDevice(pdo, "StartAddedDevice")) {
        return STATUS_NO_SUCH_DEVICE;
    }
    const NTSTATUS status =
        SendToStack(pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_NOT_SUPPORTED, [](PIO_STACK_LOCATION stack) {
            stack->Parameters.StartDevice.AllocatedResources = nullptr;
            stack->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
        });
    if (!NT_SUCCESS(status)) {
        SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
    }
    // A started device is in D0.
    ForgetDevicePower(pdo);
    return status;
}

NTSTATUS StartDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo)
{
    const NTSTATUS status = AddDevice(driverObject, pdo);
    return NT_SUCCESS(status) ? StartAddedDevice(pdo) : status;
}

NTSTATUS QueryRemoveDevice(PDEVICE_OBJECT pdo)
{
    if (!KnownDevice(pdo, "QueryRemoveDevice")) {
        return STATUS_NO_SUCH_DEVICE;
    }
    const NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
    }
    return status;
}

NTSTATUS CancelRemoveDevice(PDEVICE_OBJECT pdo)
{
    return KnownDevice(pdo, "CancelRemoveDevice") ? SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE) : STATUS_NO_SUCH_DEVICE;
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo)
{
    if (!KnownDevice(pdo, "RemoveDevice")) {
        return STATUS_NO_SUCH_DEVICE;
    }
    ForgetDevicePower(pdo);
    return SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
}

NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT pdo)
{
    return KnownDevice(pdo, "SurpriseRemoveDevice") ? SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL) : STATUS_NO_SUCH_DEVICE;
}

NTSTATUS QueryDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state)
{
    return KnownDevice(pdo, "QueryDevicePower") ? SendDevicePower(pdo, IRP_MN_QUERY_POWER, state)
                                                : STATUS_NO_SUCH_DEVICE;
}

NTSTATUS SetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state)
{
    if (!KnownDevice(pdo, "SetDevicePower")) {
        return STATUS_NO_SUCH_DEVICE;
    }
    const NTSTATUS status = SendDevicePower(pdo, IRP_MN_SET_POWER, state);
    if (NT_SUCCESS(status)) {
        DevicePowerRecord& record = PowerRecord();
        std::lock_guard<std::mutex> held(record.lock);
        record.states[pdo] = state;
    }
    return status;
}

DEVICE_POWER_STATE RecordedDevicePower(PDEVICE_OBJECT pdo)
{
    DevicePowerRecord& record = PowerRecord();
    std::lock_guard<std::mutex> held(record.lock);
    const auto found = record.states.find(pdo);
    return found == record.states.end() ? PowerDeviceD0 : found->second;
}

}  // namespace sim::pnp
