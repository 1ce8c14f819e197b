// The I/O manager's record of a driver: its DRIVER_OBJECT and DRIVER_EXTENSION and the names they
// point to. DRIVER_OBJECT.DriverSection, the loader's private field on Windows, leads back here.
// Each device object of the driver holds a reference, so the record outlives an unload that left
// device objects behind.
#pragma once

#include <string>

#include "sim/api/kernel.h"
#include "sim/kernel/object_manager.h"

namespace sim::io {

struct DriverRecord final : KernelObject {
    explicit DriverRecord(const std::u16string& serviceName);
    void* Body() override { return &object; }
    const char* TypeName() const override { return "Driver"; }

    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string serviceName;
    std::u16string driverName;    // \Driver\<service>
    std::u16string registryPath;  // \Registry\Machine\System\CurrentControlSet\Services\<service>
    UNICODE_STRING registryPathString{};
    bool unloaded = false;
    // An unload was refused because a device object of the driver was still referenced; it
    // happens once that object goes.
    bool unloadHeldBack = false;
};

DriverRecord& RecordOf(PDRIVER_OBJECT driver);
bool DriverIsUnloaded(PDRIVER_OBJECT driver);

// Creates and registers a driver object whose major functions all fail as unsupported, as Windows
// sets them up before DriverEntry runs.
DriverRecord* NewDriverRecord(const std::u16string& serviceName);

// Marks the driver unloaded, reports each device object it left behind and drops the reference
// that kept it loaded.
void RetireDriver(DriverRecord& driver);

}  // namespace sim::io
