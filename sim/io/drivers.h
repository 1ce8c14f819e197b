// Loading and unloading drivers on the simulated machine, the part of Windows that a test or the
// simulated Plug and Play manager plays when it brings a driver image in or takes it out.
//
//   PDRIVER_OBJECT driver;
//   NTSTATUS status = sim::io::CreateDriverObject(u"tvr9audio", &DriverEntry, &driver);
//   ... AddDevice, start, remove: the driver deletes its device objects ...
//   status = sim::io::UnloadDriver(driver);  // DriverUnload, then Driver Verifier's leak checks
//
// All functions run at PASSIVE_LEVEL on a thread of the machine.
#pragma once

#include <string>

#include "sim/api/kernel.h"

namespace sim::io {

// Creates "\Driver\<serviceName>" with its driver extension and every major function answering
// STATUS_INVALID_DEVICE_REQUEST, then calls DriverEntry with the registry path
// "\Registry\Machine\System\CurrentControlSet\Services\<serviceName>". Device objects created in
// DriverEntry lose DO_DEVICE_INITIALIZING when it returns. If DriverEntry fails, its status is
// returned, no driver object remains and the machine verifies that the driver left nothing
// allocated (Driver Verifier treats this as an unload).
NTSTATUS CreateDriverObject(const std::u16string& serviceName, PDRIVER_INITIALIZE driverEntry,
                            PDRIVER_OBJECT* driverObject);

// Unloads the driver as Windows does:
//   STATUS_INVALID_DEVICE_REQUEST  it has no DriverUnload: it stays loaded;
//   STATUS_DEVICE_BUSY             it must stay loaded for now: a Plug and Play driver (one with
//                                  AddDevice) still has device objects, or some device object of
//                                  the driver is still referenced or waiting for its last
//                                  reference after IoDeleteDevice;
//   STATUS_SUCCESS                 DriverUnload ran; every device object it left is reported, the
//                                  driver object is gone, and the machine's leak check ran
//                                  (Machine::VerifyNothingLeaked: pool, system threads, handles).
// The leak check covers the whole machine: the I/O manager's own objects (driver, device and
// file objects) are not pool, but anything else allocated and still alive is reported.
NTSTATUS UnloadDriver(PDRIVER_OBJECT driverObject);

// The name a device object was created with (or generated for it), empty if it has none.
std::u16string DeviceObjectName(PDEVICE_OBJECT device);

}  // namespace sim::io
