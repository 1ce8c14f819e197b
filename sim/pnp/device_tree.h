// Plug and Play's device tree for the simulated machine's USB devices: one device node per device,
// with the identifiers Windows derives from the device descriptor and serial number, the keys it
// writes under "\Registry\Machine\System\CurrentControlSet\Enum", and the physical device object
// that IoOpenDeviceRegistryKey and IoGetDeviceProperty are called with.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/api/kernel.h"

namespace sim::pnp {

struct UsbDeviceIdentity {
    USHORT vendorId = 0;
    USHORT productId = 0;
    USHORT revision = 0;  // bcdDevice
    // The instance ID of a device with a serial number; without one, Windows makes an instance
    // ID from the hub port, which then changes when the device moves to another port.
    std::u16string serialNumber;
    ULONG port = 1;
    GUID containerId{};
    std::u16string description = u"USB Audio Device";
    std::u16string service;  // the function driver's service name; none when empty
    std::vector<std::u16string> compatibleIds;
};

// The setup class of audio devices; driver keys of audio devices live below it.
inline constexpr char16_t kMediaClassGuid[] = u"{4d36e96c-e325-11ce-bfc1-08002be10318}";

class DeviceNode {
public:
    DeviceNode(const UsbDeviceIdentity& identity, ULONG driverIndex);

    const UsbDeviceIdentity& Identity() const { return identity_; }
    // "USB\VID_0A12&PID_1234&REV_0100", then "USB\VID_0A12&PID_1234".
    const std::vector<std::u16string>& HardwareIds() const { return hardwareIds_; }
    const std::u16string& DeviceId() const { return deviceId_; }
    const std::u16string& InstanceId() const { return instanceId_; }
    // Device ID, a backslash and instance ID, as the endpoint store and SetupAPI show it.
    std::u16string InstancePath() const { return deviceId_ + u"\\" + instanceId_; }
    std::u16string EnumKeyPath() const;
    // The "Device Parameters" subkey of the instance key.
    std::u16string HardwareKeyPath() const;
    // "{4d36e96c-e325-11ce-bfc1-08002be10318}\0000", below Control\Class.
    const std::u16string& DriverKeyName() const { return driverKeyName_; }
    // Lower-case braces form, as the Enum key's ContainerID value holds it.
    std::u16string ContainerIdText() const;
    PDEVICE_OBJECT PhysicalDeviceObject() const { return pdo_; }

private:
    friend class DeviceTree;

    UsbDeviceIdentity identity_;
    std::vector<std::u16string> hardwareIds_;
    std::u16string deviceId_;
    std::u16string instanceId_;
    std::u16string driverKeyName_;
    PDEVICE_OBJECT pdo_ = nullptr;
};

class DeviceTree {
public:
    // Adds the node and writes its Enum keys (HardwareID, CompatibleIDs, ContainerID, DeviceDesc,
    // Class, ClassGUID, Driver, Service) and its driver key, as Windows does when it first sees
    // the device. A device seen before gets its old node back.
    DeviceNode& AddUsbDevice(const UsbDeviceIdentity& identity);
    void AttachPhysicalDeviceObject(DeviceNode& node, PDEVICE_OBJECT pdo);
    void DetachPhysicalDeviceObject(PDEVICE_OBJECT pdo);
    DeviceNode* FindByPhysicalDeviceObject(PDEVICE_OBJECT pdo) const;
    // Whether the node with this instance path has a physical device object (its device is there).
    bool IsPresent(const std::u16string& instancePath) const;
    // The physical device object of the node with this instance path; null when it is not there.
    PDEVICE_OBJECT PresentPhysicalDeviceObject(const std::u16string& instancePath) const;
    // Records the function driver setup chose for a node (its Enum key's Service value).
    void SetService(DeviceNode& node, const std::u16string& service);

private:
    mutable std::mutex lock_;
    std::vector<std::unique_ptr<DeviceNode>> nodes_;
};

// The device tree of the current machine.
DeviceTree& MachineDeviceTree();

DeviceNode& CreateUsbDeviceNode(const UsbDeviceIdentity& identity);
// Ties the physical device object the USB bus driver created to its node; IoOpenDeviceRegistryKey
// and IoGetDeviceProperty accept no other device object.
void AttachPhysicalDeviceObject(DeviceNode& node, PDEVICE_OBJECT pdo);
// For when the bus driver deletes the physical device object; the Enum keys stay, as on Windows.
void DetachPhysicalDeviceObject(PDEVICE_OBJECT pdo);

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in lower or upper case.
std::u16string GuidText(const GUID& guid, bool upperCase);

}  // namespace sim::pnp
