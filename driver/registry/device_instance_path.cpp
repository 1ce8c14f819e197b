// GetDeviceInstancePath: the device's "<device ID>\<instance ID>", the text the audio endpoint
// store uses to name the device an endpoint belongs to.
#include "driver/registry/registry_access.h"
#include "driver/registry/registry_internal.h"
#include "driver/trace.h"

namespace {

const WCHAR kEnumerationRoot[] = W("\\Registry\\Machine\\System\\CurrentControlSet\\Enum");
const WCHAR kContainerIdValue[] = W("ContainerID");

// A GUID in braces and its terminator.
constexpr ULONG kContainerIdCharacters = 39;

// The device ID is the first hardware ID that names a key under the enumeration root; the IDs
// come most specific first, and Windows files the device under the one without the revision.
NTSTATUS DeviceIdFromHardwareIds(PDEVICE_OBJECT pdo, PUNICODE_STRING deviceId)
{
    PWSTR hardwareIds = nullptr;
    ULONG length = 0;
    ULONG count;
    ULONG start;
    ULONG end;
    UNICODE_STRING root;
    UNICODE_STRING entry;
    UNICODE_STRING path = {};
    NTSTATUS status;

    status = IoGetDeviceProperty(pdo, DevicePropertyHardwareID, 0, nullptr, &length);
    if (status != STATUS_BUFFER_TOO_SMALL) {
        // An empty list names no key.
        if (NT_SUCCESS(status)) {
            status = STATUS_OBJECT_NAME_NOT_FOUND;
        }
        goto Exit;
    }
    hardwareIds = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, length, kRegistryPoolTag));
    if (hardwareIds == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    status = IoGetDeviceProperty(pdo, DevicePropertyHardwareID, length, hardwareIds, &length);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    status = AllocateCountedString(&path, kMaxRegistryPathCharacters);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }

    RtlInitUnicodeString(&root, kEnumerationRoot);
    status = STATUS_OBJECT_NAME_NOT_FOUND;
    count = length / sizeof(WCHAR);
    for (start = 0; start < count && hardwareIds[start] != W('\0'); start = end + 1) {
        for (end = start; end < count && hardwareIds[end] != W('\0'); ++end) { }
        entry.Buffer = &hardwareIds[start];
        entry.Length = USHORT(end - start > MAXUSHORT / sizeof(WCHAR) ? MAXUSHORT - 1 : (end - start) * sizeof(WCHAR));
        entry.MaximumLength = entry.Length;
        path.Length = 0;
        status = AppendPathComponent(&path, &root);
        if (NT_SUCCESS(status)) {
            status = AppendPathComponent(&path, &entry);
        }
        if (!NT_SUCCESS(status)) {
            goto Exit;
        }
        status = RegistryKeyExists(&path);
        if (NT_SUCCESS(status)) {
            deviceId->Length = 0;
            status = AppendPathComponent(deviceId, &entry);
            goto Exit;
        }
    }

Exit:
    FreeCountedString(&path);
    if (hardwareIds != nullptr) {
        ExFreePoolWithTag(hardwareIds, kRegistryPoolTag);
    }
    return status;
}

// The instance key below the device ID whose ContainerID value is the device's container ID.
NTSTATUS InstanceIdByContainer(PDEVICE_OBJECT pdo, PCUNICODE_STRING deviceId, PUNICODE_STRING instanceId)
{
    WCHAR containerId[kContainerIdCharacters];
    ULONG length = 0;
    ULONG characters = 0;
    UNICODE_STRING container;
    UNICODE_STRING root;
    UNICODE_STRING valueName;
    UNICODE_STRING basePath = {};
    NTSTATUS status;

    status = IoGetDeviceProperty(pdo, DevicePropertyContainerID, sizeof containerId, containerId, &length);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    while (characters < length / sizeof(WCHAR) && containerId[characters] != W('\0')) {
        ++characters;
    }
    container.Buffer = containerId;
    container.Length = USHORT(characters * sizeof(WCHAR));
    container.MaximumLength = sizeof containerId;

    status = AllocateCountedString(&basePath, kMaxRegistryPathCharacters);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    RtlInitUnicodeString(&root, kEnumerationRoot);
    status = AppendPathComponent(&basePath, &root);
    if (NT_SUCCESS(status)) {
        status = AppendPathComponent(&basePath, deviceId);
    }
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    RtlInitUnicodeString(&valueName, kContainerIdValue);
    status = FindSubkeyByValue(&basePath, nullptr, &valueName, &container, nullptr, instanceId);

Exit:
    FreeCountedString(&basePath);
    return status;
}

// The path component after the device ID in the full name of the device's hardware key
// ("\REGISTRY\MACHINE\SYSTEM\ControlSet001\Enum\<device ID>\<instance ID>\Device Parameters").
NTSTATUS InstanceIdFromHardwareKey(PDEVICE_OBJECT pdo, PCUNICODE_STRING deviceId, PUNICODE_STRING instanceId)
{
    HANDLE key = nullptr;
    PKEY_NAME_INFORMATION information = nullptr;
    ULONG length = 0;
    ULONG characters;
    ULONG idCharacters = deviceId->Length / sizeof(WCHAR);
    ULONG position;
    ULONG end;
    UNICODE_STRING piece;
    NTSTATUS status;

    status = IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    if (!NT_SUCCESS(status)) {
        key = nullptr;
        goto Exit;
    }
    status = ZwQueryKey(key, KeyNameInformation, nullptr, 0, &length);
    if (status != STATUS_BUFFER_TOO_SMALL) {
        if (NT_SUCCESS(status)) {
            status = STATUS_INTERNAL_ERROR;
        }
        goto Exit;
    }
    information = static_cast<PKEY_NAME_INFORMATION>(ExAllocatePoolWithTag(PagedPool, length, kRegistryPoolTag));
    if (information == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    status = ZwQueryKey(key, KeyNameInformation, information, length, &length);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }

    status = STATUS_OBJECT_NAME_NOT_FOUND;
    characters = information->NameLength / sizeof(WCHAR);
    for (position = 0; position + idCharacters + 2 < characters; ++position) {
        if (information->Name[position] != W('\\') || information->Name[position + idCharacters + 1] != W('\\')) {
            continue;
        }
        piece.Buffer = &information->Name[position + 1];
        piece.Length = deviceId->Length;
        piece.MaximumLength = piece.Length;
        if (!RtlEqualUnicodeString(&piece, deviceId, TRUE)) {
            continue;
        }
        position += idCharacters + 2;
        for (end = position; end < characters && information->Name[end] != W('\\'); ++end) { }
        piece.Buffer = &information->Name[position];
        piece.Length = USHORT((end - position) * sizeof(WCHAR));
        piece.MaximumLength = piece.Length;
        instanceId->Length = 0;
        status = piece.Length == 0 ? STATUS_OBJECT_NAME_NOT_FOUND : AppendPathComponent(instanceId, &piece);
        break;
    }

Exit:
    if (information != nullptr) {
        ExFreePoolWithTag(information, kRegistryPoolTag);
    }
    if (key != nullptr) {
        ZwClose(key);
    }
    return status;
}

}  // namespace

NTSTATUS GetDeviceInstancePath(PDEVICE_OBJECT pdo, PUNICODE_STRING instancePath)
{
    PAGED_CODE();
    UNICODE_STRING deviceId = {};
    UNICODE_STRING instanceId = {};
    NTSTATUS status;

    status = AllocateCountedString(&deviceId, kMaxRegistryPathCharacters);
    if (NT_SUCCESS(status)) {
        status = AllocateCountedString(&instanceId, kMaxRegistryPathCharacters);
    }
    if (NT_SUCCESS(status)) {
        status = DeviceIdFromHardwareIds(pdo, &deviceId);
    }
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    status = InstanceIdByContainer(pdo, &deviceId, &instanceId);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("GetDeviceInstancePath: no instance with the container ID, status %08X\n", unsigned(status));
        // Devices that report no container ID, or whose instance key lost its ContainerID value,
        // are found through where Windows keeps their hardware key.
        status = InstanceIdFromHardwareKey(pdo, &deviceId, &instanceId);
    }
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    instancePath->Length = 0;
    status = AppendPathComponent(instancePath, &deviceId);
    if (NT_SUCCESS(status)) {
        status = AppendPathComponent(instancePath, &instanceId);
    }
    if (!NT_SUCCESS(status)) {
        instancePath->Length = 0;
    }

Exit:
    FreeCountedString(&instanceId);
    FreeCountedString(&deviceId);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("GetDeviceInstancePath: status %08X\n", unsigned(status));
    }
    return status;
}
