// IoOpenDeviceRegistryKey and IoGetDeviceProperty over the device tree and the registry.
//
// Both accept only a physical device object that Plug and Play knows; anything else bug-checks a
// real machine (PNP_DETECTED_FATAL_ERROR, invalid PDO), so it is reported to the verifier.
// Properties that Windows keeps in the device's Enum key are read from there, so they fail like
// the registry does when that key is gone; the others come from the device node.
#include <cstring>
#include <sstream>

#include "sim/api/kernel.h"
#include "sim/kernel/machine.h"
#include "sim/pnp/device_tree.h"
#include "sim/registry/machine_registry.h"

namespace {

using sim::pnp::DeviceNode;

DeviceNode* KnownNode(PDEVICE_OBJECT pdo, const char* function)
{
    DeviceNode* node = sim::pnp::MachineDeviceTree().FindByPhysicalDeviceObject(pdo);
    if (node == nullptr) {
        std::ostringstream detail;
        detail << function << "(" << static_cast<const void*>(pdo) << "): not a physical device object";
        sim::Machine::Current().Verify().Report("invalid PDO", detail.str());
    }
    return node;
}

NTSTATUS OpenAbsolute(const std::u16string& path, ACCESS_MASK access, PHANDLE key)
{
    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(path.c_str());
    name.Length = USHORT(path.size() * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return ZwOpenKey(key, access, &attributes);
}

NTSTATUS OpenHardwareKey(const DeviceNode& node, ACCESS_MASK access, PHANDLE key)
{
    HANDLE instanceKey = nullptr;
    NTSTATUS status = OpenAbsolute(node.EnumKeyPath(), KEY_READ, &instanceKey);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WCHAR subkey[] = u"Device Parameters";
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, subkey);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, instanceKey, nullptr);
    status = ZwCreateKey(key, access, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
    ZwClose(instanceKey);
    return status;
}

std::vector<uint8_t> TextBytes(const std::u16string& text)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.c_str());
    return std::vector<uint8_t>(bytes, bytes + (text.size() + 1) * sizeof(WCHAR));
}

NTSTATUS EnumKeyValue(const DeviceNode& node, const char16_t* name, std::vector<uint8_t>& data)
{
    sim::registry::Value value;
    if (!sim::registry::MachineRegistry().GetValue(node.EnumKeyPath(), name, value)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    data = value.data;
    return STATUS_SUCCESS;
}

NTSTATUS PropertyData(const DeviceNode& node, DEVICE_REGISTRY_PROPERTY property, std::vector<uint8_t>& data)
{
    switch (property) {
    case DevicePropertyDeviceDescription:
        return EnumKeyValue(node, u"DeviceDesc", data);
    case DevicePropertyHardwareID:
        return EnumKeyValue(node, u"HardwareID", data);
    case DevicePropertyCompatibleIDs:
        return EnumKeyValue(node, u"CompatibleIDs", data);
    case DevicePropertyClassName:
        return EnumKeyValue(node, u"Class", data);
    case DevicePropertyClassGuid:
        return EnumKeyValue(node, u"ClassGUID", data);
    case DevicePropertyDriverKeyName:
        return EnumKeyValue(node, u"Driver", data);
    case DevicePropertyEnumeratorName:
        data = TextBytes(u"USB");
        return STATUS_SUCCESS;
    case DevicePropertyAddress: {
        ULONG port = node.Identity().port;
        data.assign(reinterpret_cast<const uint8_t*>(&port), reinterpret_cast<const uint8_t*>(&port) + sizeof port);
        return STATUS_SUCCESS;
    }
    case DevicePropertyContainerID:
        // The property is the GUID as RtlStringFromGUID writes it: upper case, unlike the value
        // in the Enum key.
        data = TextBytes(sim::pnp::GuidText(node.Identity().containerId, true));
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER_2;
    }
}

}  // namespace

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey)
{
    PAGED_CODE();
    DeviceNode* node = KnownNode(DeviceObject, __func__);
    if (node == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    switch (DevInstKeyType) {
    case PLUGPLAY_REGKEY_DEVICE:
        return OpenHardwareKey(*node, DesiredAccess, DevInstRegKey);
    case PLUGPLAY_REGKEY_DRIVER:
        return OpenAbsolute(std::u16string(sim::registry::kClassPath) + u"\\" + node->DriverKeyName(), DesiredAccess,
                            DevInstRegKey);
    default:
        // Hardware profiles are not part of this machine.
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                             PVOID PropertyBuffer, PULONG ResultLength)
{
    PAGED_CODE();
    DeviceNode* node = KnownNode(DeviceObject, __func__);
    if (node == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::vector<uint8_t> data;
    NTSTATUS status = PropertyData(*node, DeviceProperty, data);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *ResultLength = ULONG(data.size());
    if (BufferLength < data.size()) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    // The Enum key's values may hold anything, nothing at all included.
    if (!data.empty()) {
        std::memcpy(PropertyBuffer, data.data(), data.size());
    }
    return STATUS_SUCCESS;
}
