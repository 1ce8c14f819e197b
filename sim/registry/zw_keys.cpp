// Opening, creating and deleting keys through kernel handles, and RtlCheckRegistryKey.
//
// These are the kernel-mode (Zw) entry points: the caller's previous mode is KernelMode, so, as on
// Windows, neither the key's security nor the handle's granted access is checked. Handles are
// kernel handles and are closed with ZwClose.
#include <string>

#include "sim/api/kernel.h"
#include "sim/kernel/machine.h"
#include "sim/registry/key_object.h"
#include "sim/registry/machine_registry.h"

namespace sim::registry {

namespace {

NTSTATUS ObjectName(POBJECT_ATTRIBUTES attributes, std::u16string_view& name)
{
    if (attributes == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PUNICODE_STRING objectName = attributes->ObjectName;
    if (objectName == nullptr || objectName->Length == 0) {
        name = std::u16string_view();
        return STATUS_SUCCESS;
    }
    if (objectName->Buffer == nullptr || objectName->Length % sizeof(WCHAR) != 0 ||
        objectName->Length > objectName->MaximumLength) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    name = std::u16string_view(objectName->Buffer, objectName->Length / sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// The key the name is relative to: the root directory's key, or none for an absolute name.
NTSTATUS RootOf(POBJECT_ATTRIBUTES attributes, KeyRef& root)
{
    root = nullptr;
    if (attributes->RootDirectory == nullptr) {
        return STATUS_SUCCESS;
    }
    return ReferenceKey(attributes->RootDirectory, root);
}

}  // namespace

HANDLE CreateKeyHandle(const KeyRef& key)
{
    ObjectManager& objects = Machine::Current().Objects();
    auto* object = new KeyObject(key);
    objects.Register(object);
    HANDLE handle = objects.CreateHandle(object);
    objects.Release(object);
    return handle;
}

NTSTATUS ReferenceKey(HANDLE handle, KeyRef& key)
{
    ObjectManager& objects = Machine::Current().Objects();
    KernelObject* object = objects.ReferenceByHandle(handle);
    if (object == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (std::string(object->TypeName()) != "Key") {
        status = STATUS_OBJECT_TYPE_MISMATCH;
    } else {
        key = static_cast<KeyObject*>(object)->OpenedKey();
    }
    objects.Release(object);
    return status;
}

}  // namespace sim::registry

using sim::registry::KeyRef;
using sim::registry::MachineRegistry;

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    PAGED_CODE();
    std::u16string_view name;
    NTSTATUS status = sim::registry::ObjectName(ObjectAttributes, name);
    KeyRef root;
    if (NT_SUCCESS(status)) {
        status = sim::registry::RootOf(ObjectAttributes, root);
    }
    KeyRef key;
    if (NT_SUCCESS(status)) {
        status = MachineRegistry().Open(root, name, key);
    }
    if (NT_SUCCESS(status)) {
        *KeyHandle = sim::registry::CreateKeyHandle(key);
    }
    return status;
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    PAGED_CODE();
    // Keys are created plain or volatile here; this machine's drivers create no link keys.
    if ((CreateOptions & ~REG_OPTION_VOLATILE) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string_view name;
    NTSTATUS status = sim::registry::ObjectName(ObjectAttributes, name);
    KeyRef root;
    if (NT_SUCCESS(status)) {
        status = sim::registry::RootOf(ObjectAttributes, root);
    }
    KeyRef key;
    bool created = false;
    if (NT_SUCCESS(status)) {
        status = MachineRegistry().Create(root, name, (CreateOptions & REG_OPTION_VOLATILE) != 0, key, created);
    }
    if (NT_SUCCESS(status)) {
        *KeyHandle = sim::registry::CreateKeyHandle(key);
        if (Disposition != nullptr) {
            *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        }
    }
    return status;
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle)
{
    PAGED_CODE();
    KeyRef key;
    NTSTATUS status = sim::registry::ReferenceKey(KeyHandle, key);
    return NT_SUCCESS(status) ? MachineRegistry().Delete(key) : status;
}

NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path)
{
    PAGED_CODE();
    RelativeTo &= ~RTL_REGISTRY_OPTIONAL;
    if (RelativeTo & RTL_REGISTRY_HANDLE) {
        KeyRef key;
        return sim::registry::ReferenceKey(reinterpret_cast<HANDLE>(Path), key);
    }
    static const char16_t* const kStartingPoints[RTL_REGISTRY_MAXIMUM] = {
        u"",
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\",
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\",
        u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\",
        u"\\Registry\\Machine\\Hardware\\DeviceMap\\",
        u"\\Registry\\User\\.Default\\",
    };
    if (RelativeTo >= RTL_REGISTRY_MAXIMUM || Path == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string fullPath = kStartingPoints[RelativeTo];
    fullPath += Path;
    if (fullPath.size() * sizeof(WCHAR) > MAXUSHORT) {
        return STATUS_NAME_TOO_LONG;
    }
    UNICODE_STRING name;
    name.Buffer = fullPath.data();
    name.Length = USHORT(fullPath.size() * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    NTSTATUS status = ZwOpenKey(&key, KEY_READ, &attributes);
    if (NT_SUCCESS(status)) {
        ZwClose(key);
    }
    return status;
}
