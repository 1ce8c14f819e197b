// Plug and Play as a user meets it: a USB device plugged into a port gets a device node and, when
// an installed driver matches it, that driver loaded (once per machine) and the device started;
// a device pulled out is surprise-removed and removed, and a driver whose last device went is
// unloaded, which runs the machine's leak check.
//
//   sim::pnp::InstallDriver({u"tvr9audio", &DriverEntry, {u"USB\\VID_3A5C&PID_0009"}});
//   sim::pnp::PlugResult r9 = sim::pnp::PlugDevice(usb, std::make_unique<sim::devices::R9Device>());
//   ... r9.status, r9.device.Pdo(), r9.node->InstancePath() ...
//   sim::pnp::UnplugDevice(usb, r9.device);
//
// Every call runs at PASSIVE_LEVEL on a thread of the machine; the driver's routines run on it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/api/kernel.h"
#include "sim/pnp/device_tree.h"
#include "sim/usb/host_controller.h"

namespace sim::pnp {

// Why a plugged device has no started driver: the problem code Device Manager shows for it.
enum class DeviceProblem : ULONG {
    None = 0,
    FailedStart = 10,             // CM_PROB_FAILED_START: the start failed; also used when AddDevice
                                  // failed, which Windows shows as 31 (CM_PROB_FAILED_ADD)
    FailedInstall = 28,           // CM_PROB_FAILED_INSTALL: no installed driver matches the device
    DriverFailedLoad = 39,        // CM_PROB_DRIVER_FAILED_LOAD: DriverEntry failed
    DescriptorRequestFailed = 43  // CM_PROB_FAILED_POST_START: the device descriptor was unreadable
};

struct PlugResult {
    usb::BusDevice& device;
    DeviceNode* node;  // null when the device descriptor could not be read
    // STATUS_SUCCESS when started; the failing status of DriverEntry, AddDevice or the start;
    // STATUS_NO_SUCH_DEVICE when no driver matches; STATUS_DEVICE_DATA_ERROR without a descriptor.
    NTSTATUS status;
    DeviceProblem problem;
};

// Plugs the device into the next root port, makes its node from the descriptors (usb_identity.h),
// attaches its physical device object, and starts the best-matching installed driver on it
// (driver_store.h), recording the driver as the node's Service. A driver whose DriverEntry fails
// is not loaded, and one left without devices after a failed start is unloaded.
PlugResult PlugDevice(usb::HostController& usb, std::unique_ptr<usb::UsbDeviceModel> model);

// Devices already plugged in when the machine boots: the PnP manager takes them through its phases
// together, calling AddDevice for each before it starts any. One result per model, in order.
std::vector<PlugResult> PlugDevicesAtBoot(usb::HostController& usb,
                                          std::vector<std::unique_ptr<usb::UsbDeviceModel>> models);

// Pulls a device plugged with PlugDevice out: the port disconnects, the stack gets
// IRP_MN_SURPRISE_REMOVAL (the audio service marks the device's endpoints not present) and then
// IRP_MN_REMOVE_DEVICE, the node loses its physical device object, and the driver is unloaded
// when this was its last device. Returns the remove request's status (STATUS_NO_SUCH_DEVICE for a
// device PlugDevice did not plug, reported to the verifier). While files are open on the device
// the remove request waits, as on Windows: STATUS_PENDING is returned, and the close of the last
// file sends the remove request and unloads the driver on the closing thread.
NTSTATUS UnplugDevice(usb::HostController& usb, usb::BusDevice& device);

// The user disabling or uninstalling a started device that stays plugged in:
// IRP_MN_QUERY_REMOVE_DEVICE (a refusal is returned and the device keeps running), then
// IRP_MN_REMOVE_DEVICE; its endpoints are marked not present and the driver is unloaded when this
// was its last device. STATUS_INVALID_DEVICE_STATE when no driver runs on it.
NTSTATUS DisableDevice(usb::BusDevice& device);

// The driver object loaded for `service`, or null when it is not loaded.
PDRIVER_OBJECT LoadedDriver(const std::u16string& service);

}  // namespace sim::pnp
