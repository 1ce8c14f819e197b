#include "sim/pnp/device_tree.h"

#include <cstdio>

#include "sim/kernel/machine.h"
#include "sim/registry/machine_registry.h"

namespace sim::pnp {

namespace {

std::u16string Ascii(const char* text)
{
    std::u16string wide;
    for (; *text != '\0'; ++text) {
        wide.push_back(char16_t(*text));
    }
    return wide;
}

std::u16string Hex4(USHORT value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return Ascii(text);
}

// Windows' generated instance IDs carry a hash of the parent hub's identity; any stable hash of
// what identifies the port gives the same kind of name.
std::u16string GeneratedInstanceId(const std::u16string& deviceId, ULONG port)
{
    uint32_t hash = 2166136261u;
    for (char16_t character : deviceId) {
        hash = (hash ^ character) * 16777619u;
    }
    char text[40];
    std::snprintf(text, sizeof text, "6&%x&0&%u", hash, port);
    return Ascii(text);
}

struct DeviceTreeComponent : MachineComponent {
    DeviceTree tree;
};

}  // namespace

std::u16string GuidText(const GUID& guid, bool upperCase)
{
    char text[40];
    std::snprintf(text, sizeof text,
                  upperCase ? "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}"
                            : "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                  guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return Ascii(text);
}

DeviceNode::DeviceNode(const UsbDeviceIdentity& identity, ULONG driverIndex) : identity_(identity)
{
    deviceId_ = u"USB\\VID_" + Hex4(identity.vendorId) + u"&PID_" + Hex4(identity.productId);
    hardwareIds_ = {deviceId_ + u"&REV_" + Hex4(identity.revision), deviceId_};
    instanceId_ = identity.serialNumber.empty() ? GeneratedInstanceId(deviceId_, identity.port) : identity.serialNumber;
    char index[8];
    std::snprintf(index, sizeof index, "%04u", driverIndex);
    driverKeyName_ = std::u16string(kMediaClassGuid) + u"\\" + Ascii(index);
}

std::u16string DeviceNode::EnumKeyPath() const { return std::u16string(registry::kEnumPath) + u"\\" + InstancePath(); }

std::u16string DeviceNode::HardwareKeyPath() const { return EnumKeyPath() + u"\\Device Parameters"; }

std::u16string DeviceNode::ContainerIdText() const { return GuidText(identity_.containerId, false); }

DeviceNode& DeviceTree::AddUsbDevice(const UsbDeviceIdentity& identity)
{
    std::lock_guard<std::mutex> guard(lock_);
    auto node = std::make_unique<DeviceNode>(identity, ULONG(nodes_.size()));
    for (const auto& existing : nodes_) {
        if (registry::NamesEqual(existing->InstancePath(), node->InstancePath())) {
            return *existing;
        }
    }
    registry::Store& store = registry::MachineRegistry();
    const std::u16string key = node->EnumKeyPath();
    store.SetMultiString(key, u"HardwareID", node->HardwareIds());
    if (!identity.compatibleIds.empty()) {
        store.SetMultiString(key, u"CompatibleIDs", identity.compatibleIds);
    }
    store.SetString(key, u"ContainerID", node->ContainerIdText());
    store.SetString(key, u"DeviceDesc", identity.description);
    store.SetString(key, u"Class", u"MEDIA");
    store.SetString(key, u"ClassGUID", kMediaClassGuid);
    store.SetString(key, u"Driver", node->DriverKeyName());
    if (!identity.service.empty()) {
        store.SetString(key, u"Service", identity.service);
    }
    store.CreatePath(std::u16string(registry::kClassPath) + u"\\" + node->DriverKeyName());
    nodes_.push_back(std::move(node));
    return *nodes_.back();
}

void DeviceTree::AttachPhysicalDeviceObject(DeviceNode& node, PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> guard(lock_);
    node.pdo_ = pdo;
}

void DeviceTree::DetachPhysicalDeviceObject(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& node : nodes_) {
        if (node->pdo_ == pdo) {
            node->pdo_ = nullptr;
        }
    }
}

bool DeviceTree::IsPresent(const std::u16string& instancePath) const
{
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& node : nodes_) {
        if (node->pdo_ != nullptr && registry::NamesEqual(node->InstancePath(), instancePath)) {
            return true;
        }
    }
    return false;
}

PDEVICE_OBJECT DeviceTree::PresentPhysicalDeviceObject(const std::u16string& instancePath) const
{
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& node : nodes_) {
        if (node->pdo_ != nullptr && registry::NamesEqual(node->InstancePath(), instancePath)) {
            return node->pdo_;
        }
    }
    return nullptr;
}

void DeviceTree::SetService(DeviceNode& node, const std::u16string& service)
{
    std::lock_guard<std::mutex> guard(lock_);
    node.identity_.service = service;
    registry::MachineRegistry().SetString(node.EnumKeyPath(), u"Service", service);
}

DeviceNode* DeviceTree::FindByPhysicalDeviceObject(PDEVICE_OBJECT pdo) const
{
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& node : nodes_) {
        if (pdo != nullptr && node->pdo_ == pdo) {
            return node.get();
        }
    }
    return nullptr;
}

DeviceTree& MachineDeviceTree() { return sim::Machine::Current().Component<DeviceTreeComponent>().tree; }

DeviceNode& CreateUsbDeviceNode(const UsbDeviceIdentity& identity)
{
    return MachineDeviceTree().AddUsbDevice(identity);
}

void AttachPhysicalDeviceObject(DeviceNode& node, PDEVICE_OBJECT pdo)
{
    MachineDeviceTree().AttachPhysicalDeviceObject(node, pdo);
}

void DetachPhysicalDeviceObject(PDEVICE_OBJECT pdo) { MachineDeviceTree().DetachPhysicalDeviceObject(pdo); }

}  // namespace sim::pnp
