// The Plug and Play manager's part in a device's life: it calls the function driver's AddDevice
// for a physical device object, then sends the IRPs Windows sends to the top of the device stack:
// start, query-remove and its cancel, remove, surprise removal, and device power changes.
//
//   sim::pnp::DeviceNode& node = sim::pnp::CreateUsbDeviceNode(identity);
//   sim::pnp::AttachPhysicalDeviceObject(node, r9.Pdo());
//   sim::pnp::StartDevice(driver, r9.Pdo());          // AddDevice, IRP_MN_START_DEVICE
//   sim::pnp::SetDevicePower(r9.Pdo(), PowerDeviceD3);
//   sim::pnp::RemoveDevice(r9.Pdo());                 // the driver deletes its device objects
//
// Every call runs at PASSIVE_LEVEL on a thread of the machine, waits for the IRP to come back and
// returns its final status. PnP IRPs start with IoStatus.Status STATUS_NOT_SUPPORTED, as Windows
// sends them, so that a stack where nobody handles one reports that.
#pragma once

#include "sim/api/kernel.h"

namespace sim::pnp {

// AddDevice, then IRP_MN_START_DEVICE. When AddDevice fails its status is returned and nothing is
// sent; when the start fails the stack is torn down with IRP_MN_REMOVE_DEVICE, as Windows does.
NTSTATUS StartDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo);
// The two steps apart, for devices the PnP manager adds together before it starts any (devices
// present at boot).
NTSTATUS AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo);
NTSTATUS StartAddedDevice(PDEVICE_OBJECT pdo);

// IRP_MN_QUERY_REMOVE_DEVICE; when a driver refuses, IRP_MN_CANCEL_REMOVE_DEVICE follows at once.
NTSTATUS QueryRemoveDevice(PDEVICE_OBJECT pdo);
NTSTATUS CancelRemoveDevice(PDEVICE_OBJECT pdo);
// IRP_MN_REMOVE_DEVICE: afterwards only the physical device object remains.
NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo);
// IRP_MN_SURPRISE_REMOVAL; the remove request follows later with RemoveDevice.
NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT pdo);

// IRP_MJ_POWER with IRP_MN_QUERY_POWER or IRP_MN_SET_POWER for a device power state.
NTSTATUS QueryDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state);
NTSTATUS SetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state);
// The power manager's record of the device's power state, which GetDevicePowerState reports: D0
// from the start, then the state of the last IRP_MN_SET_POWER the stack completed successfully.
DEVICE_POWER_STATE RecordedDevicePower(PDEVICE_OBJECT pdo);

}  // namespace sim::pnp
