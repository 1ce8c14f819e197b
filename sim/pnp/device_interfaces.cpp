// IoRegisterDeviceInterface and IoSetDeviceInterfaceState over the device tree and the registry.
//
// Registering the same class and reference string again for a device returns the same link with
// success, as Windows does; a device object that is not a known physical device object is refused
// with STATUS_INVALID_DEVICE_REQUEST. Enabling an enabled interface answers
// STATUS_OBJECT_NAME_EXISTS and disabling a disabled one STATUS_OBJECT_NAME_NOT_FOUND.
#include "sim/pnp/device_interfaces.h"

#include <cstring>
#include <mutex>

#include "sim/kernel/machine.h"
#include "sim/pnp/device_tree.h"
#include "sim/registry/machine_registry.h"
#include "sim/user/device_notifications.h"

namespace sim::pnp {
namespace {

constexpr ULONG kLinkTag = 'knLS';
constexpr NTSTATUS kStatusObjectNameExists = NTSTATUS(0x40000000L);  // STATUS_OBJECT_NAME_EXISTS

class InterfaceTable final : public MachineComponent {
public:
    std::mutex lock;
    std::vector<DeviceInterfaceRecord> records;
};

InterfaceTable& Table() { return Machine::Current().Component<InterfaceTable>(); }

std::u16string Upcase(const std::u16string& text)
{
    std::u16string result = text;
    for (char16_t& c : result) {
        if (c >= u'a' && c <= u'z') {
            c = char16_t(c - u'a' + u'A');
        }
    }
    return result;
}

std::u16string ToText(PCUNICODE_STRING text)
{
    if (text == nullptr || text->Buffer == nullptr) {
        return {};
    }
    return std::u16string(reinterpret_cast<const char16_t*>(text->Buffer), text->Length / sizeof(WCHAR));
}

std::u16string Hashed(std::u16string text)
{
    for (char16_t& c : text) {
        if (c == u'\\') {
            c = u'#';
        }
    }
    return text;
}

// "##?#USB#...#{guid}" for the device's interfaces of one class.
std::u16string InterfaceKeyPath(const DeviceInterfaceRecord& record)
{
    return DeviceClassKeyPath(record.interfaceClass) + u"\\##?#" + Hashed(record.instancePath) + u"#" +
           GuidText(record.interfaceClass, false);
}

std::u16string ReferenceKeyPath(const DeviceInterfaceRecord& record)
{
    return InterfaceKeyPath(record) + u"\\#" + record.referenceString;
}

void WriteKeys(const DeviceInterfaceRecord& record)
{
    auto& registry = sim::registry::MachineRegistry();
    registry.SetString(InterfaceKeyPath(record), u"DeviceInstance", record.instancePath);
    std::u16string userLink = record.symbolicLink;
    userLink.replace(0, 4, u"\\\\?\\");
    registry.SetString(ReferenceKeyPath(record), u"SymbolicLink", userLink);
}

NTSTATUS CopyLink(const std::u16string& link, PUNICODE_STRING out)
{
    const size_t bytes = (link.size() + 1) * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, kLinkTag));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(buffer, link.c_str(), bytes);
    out->Buffer = buffer;
    out->Length = USHORT(link.size() * sizeof(WCHAR));
    out->MaximumLength = USHORT(bytes);
    return STATUS_SUCCESS;
}

}  // namespace

std::vector<DeviceInterfaceRecord> DeviceInterfaces()
{
    InterfaceTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    return table.records;
}

std::u16string DeviceClassKeyPath(const GUID& interfaceClass)
{
    return std::u16string(sim::registry::kCurrentControlSetPath) + u"\\Control\\DeviceClasses\\" +
           GuidText(interfaceClass, false);
}

}  // namespace sim::pnp

using sim::pnp::DeviceInterfaceRecord;

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
    if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const sim::pnp::DeviceNode* node = sim::pnp::MachineDeviceTree().FindByPhysicalDeviceObject(PhysicalDeviceObject);
    if (node == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    DeviceInterfaceRecord record;
    record.interfaceClass = *InterfaceClassGuid;
    record.instancePath = node->InstancePath();
    record.referenceString = sim::pnp::ToText(ReferenceString);
    record.symbolicLink = u"\\??\\" + sim::pnp::Hashed(record.instancePath) + u"#" +
                          sim::pnp::GuidText(record.interfaceClass, false);
    if (!record.referenceString.empty()) {
        record.symbolicLink += u"\\" + record.referenceString;
    }
    auto& table = sim::pnp::Table();
    {
        std::lock_guard<std::mutex> guard(table.lock);
        const std::u16string key = sim::pnp::Upcase(record.symbolicLink);
        bool known = false;
        for (const DeviceInterfaceRecord& existing : table.records) {
            known = known || sim::pnp::Upcase(existing.symbolicLink) == key;
        }
        if (!known) {
            table.records.push_back(record);
        }
    }
    sim::pnp::WriteKeys(record);
    return sim::pnp::CopyLink(record.symbolicLink, SymbolicLinkName);
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    const std::u16string key = sim::pnp::Upcase(sim::pnp::ToText(SymbolicLinkName));
    auto& table = sim::pnp::Table();
    DeviceInterfaceRecord changed;
    {
        std::lock_guard<std::mutex> guard(table.lock);
        DeviceInterfaceRecord* found = nullptr;
        for (DeviceInterfaceRecord& record : table.records) {
            if (sim::pnp::Upcase(record.symbolicLink) == key) {
                found = &record;
            }
        }
        if (found == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (found->enabled == bool(Enable)) {
            return Enable ? sim::pnp::kStatusObjectNameExists : STATUS_OBJECT_NAME_NOT_FOUND;
        }
        found->enabled = Enable != FALSE;
        changed = *found;
    }
    sim::registry::MachineRegistry().SetDword(sim::pnp::ReferenceKeyPath(changed) + u"\\Control", u"Linked",
                                              Enable ? 1 : 0);
    sim::user::DeviceInterfaceChanged(changed.interfaceClass, changed.symbolicLink, Enable != FALSE);
    return STATUS_SUCCESS;
}

void NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString != nullptr && UnicodeString->Buffer != nullptr) {
        ExFreePool(UnicodeString->Buffer);
        UnicodeString->Buffer = nullptr;
        UnicodeString->Length = 0;
        UnicodeString->MaximumLength = 0;
    }
}
