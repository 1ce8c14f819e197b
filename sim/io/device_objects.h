// The I/O manager's private part of a device object (DEVICE_OBJECT.DeviceObjectExtension, as on
// Windows). It is also the device's kernel object, so ObReferenceObject and ObDereferenceObject
// work on the DEVICE_OBJECT; IoDeleteDevice drops the reference creation gave, and the device
// object and its extension are freed with the last reference.
#pragma once

#include <memory>
#include <string>

#include "sim/api/kernel.h"
#include "sim/io/driver_record.h"
#include "sim/kernel/object_manager.h"

namespace sim::io {
class BusDriverHandler;

// The unit a device object's memory is counted in: aligned for any device extension, and with no
// padding, so that zero-initialisation zeroes every byte.
struct alignas(16) DeviceStorage {
    unsigned char bytes[16];
};
}  // namespace sim::io

struct _DEVOBJ_EXTENSION final : sim::KernelObject {
    _DEVOBJ_EXTENSION(sim::io::DriverRecord& owner, ULONG extensionSize);
    ~_DEVOBJ_EXTENSION() override;
    void* Body() override { return device; }
    const char* TypeName() const override { return "Device"; }

    sim::io::DriverRecord& driver;
    std::unique_ptr<sim::io::DeviceStorage[]> storage;  // the DEVICE_OBJECT, then its device extension
    PDEVICE_OBJECT device;
    PDEVICE_OBJECT attachedTo = nullptr;  // the device this one was attached on top of
    std::u16string name;                  // empty for an unnamed device
    bool deletePending = false;
    sim::io::BusDriverHandler* busHandler = nullptr;
};
