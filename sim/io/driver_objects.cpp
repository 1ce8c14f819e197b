// Loading and unloading drivers.
#include <sstream>

#include "sim/io/device_objects.h"
#include "sim/io/driver_record.h"
#include "sim/io/drivers.h"
#include "sim/io/io_manager.h"
#include "sim/kernel/machine.h"

namespace sim::io {

namespace {

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void SetString(UNICODE_STRING& string, std::u16string& text)
{
    string.Buffer = text.data();
    string.Length = USHORT(text.size() * sizeof(WCHAR));
    string.MaximumLength = string.Length;
}

// Device objects a driver's routines created but have not deleted, by name.
std::string DeviceList(DriverRecord& driver)
{
    IoManager& io = IoManager::Current();
    std::lock_guard<std::mutex> held(io.lock);
    std::string list;
    for (PDEVICE_OBJECT device = driver.object.DeviceObject; device != nullptr; device = device->NextDevice) {
        const std::u16string& name = device->DeviceObjectExtension->name;
        list += " " + (name.empty() ? Describe(device) : Narrow(name));
    }
    return list;
}

// Whether an unload would have to wait: Windows unloads a Plug and Play driver only once its last
// device object is gone, and any driver only once nobody references its device objects.
bool UnloadMustWait(DriverRecord& driver)
{
    IoManager& io = IoManager::Current();
    std::lock_guard<std::mutex> held(io.lock);
    for (PDEVICE_OBJECT device = driver.object.DeviceObject; device != nullptr; device = device->NextDevice) {
        if (driver.extension.AddDevice != nullptr || device->DeviceObjectExtension->deletePending ||
            device->DeviceObjectExtension->ReferenceCount() > 1) {
            return true;
        }
    }
    return false;
}

// Driver Verifier's checks when a driver image leaves memory: nothing it allocated may remain.
void VerifyDriverLeftNothing() { Machine::Current().VerifyNothingLeaked(); }

}  // namespace

DriverRecord::DriverRecord(const std::u16string& service) : serviceName(service)
{
    driverName = u"\\Driver\\" + serviceName;
    registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + serviceName;
    object.Type = IO_TYPE_DRIVER;
    object.Size = sizeof(DRIVER_OBJECT);
    object.DriverExtension = &extension;
    object.DriverSection = this;
    extension.DriverObject = &object;
    SetString(object.DriverName, driverName);
    SetString(extension.ServiceKeyName, serviceName);
    SetString(registryPathString, registryPath);
    for (PDRIVER_DISPATCH& dispatch : object.MajorFunction) {
        dispatch = &InvalidDeviceRequest;
    }
}

DriverRecord& RecordOf(PDRIVER_OBJECT driver) { return *static_cast<DriverRecord*>(driver->DriverSection); }

bool DriverIsUnloaded(PDRIVER_OBJECT driver) { return RecordOf(driver).unloaded; }

DriverRecord* NewDriverRecord(const std::u16string& serviceName)
{
    auto* driver = new DriverRecord(serviceName);
    Machine::Current().Objects().Register(driver);
    return driver;
}

void RetireDriver(DriverRecord& driver)
{
    driver.unloaded = true;
    std::string left = DeviceList(driver);
    if (!left.empty()) {
        Report("device object left at driver unload", Narrow(driver.driverName) + ":" + left);
    }
    Machine::Current().Objects().Release(&driver);
}

NTSTATUS CreateDriverObject(const std::u16string& serviceName, PDRIVER_INITIALIZE driverEntry,
                            PDRIVER_OBJECT* driverObject)
{
    PAGED_CODE();
    *driverObject = nullptr;
    DriverRecord* driver = NewDriverRecord(serviceName);
    driver->object.DriverInit = driverEntry;
    NTSTATUS status = driverEntry(&driver->object, &driver->registryPathString);
    if (!NT_SUCCESS(status)) {
        // Windows unloads a driver whose DriverEntry failed without calling its unload routine.
        RetireDriver(*driver);
        VerifyDriverLeftNothing();
        return status;
    }
    {
        // Device objects made in DriverEntry are ready once it returns: the I/O manager clears
        // their initialising flag itself.
        IoManager& io = IoManager::Current();
        std::lock_guard<std::mutex> held(io.lock);
        for (PDEVICE_OBJECT device = driver->object.DeviceObject; device != nullptr; device = device->NextDevice) {
            device->Flags &= ~DO_DEVICE_INITIALIZING;
        }
    }
    *driverObject = &driver->object;
    return status;
}

NTSTATUS UnloadDriver(PDRIVER_OBJECT driverObject)
{
    PAGED_CODE();
    DriverRecord& driver = RecordOf(driverObject);
    if (driverObject->DriverUnload == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;  // a driver without an unload routine stays loaded
    }
    if (UnloadMustWait(driver)) {
        IoManager& io = IoManager::Current();
        std::lock_guard<std::mutex> held(io.lock);
        driver.unloadHeldBack = true;
        return STATUS_DEVICE_BUSY;
    }
    CalleeFrame frame("unload routine");
    driverObject->DriverUnload(driverObject);
    frame.Check(reinterpret_cast<const void*>(driverObject->DriverUnload));
    RetireDriver(driver);
    VerifyDriverLeftNothing();
    return STATUS_SUCCESS;
}

std::u16string DeviceObjectName(PDEVICE_OBJECT device)
{
    IoManager& io = IoManager::Current();
    std::lock_guard<std::mutex> held(io.lock);
    return device->DeviceObjectExtension->name;
}

}  // namespace sim::io
