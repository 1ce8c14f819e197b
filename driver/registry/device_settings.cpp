// The driver's own settings in the device's hardware key, and the existence test for keys.
#include "driver/registry/registry_access.h"
#include "driver/registry/registry_internal.h"
#include "driver/trace.h"

NTSTATUS ReadDeviceDword(PDEVICE_OBJECT pdo, PCWSTR valueName, PULONG value, PULONG type)
{
    PAGED_CODE();
    HANDLE key = nullptr;
    PKEY_VALUE_PARTIAL_INFORMATION information = nullptr;
    UNICODE_STRING name;
    NTSTATUS status;

    RtlInitUnicodeString(&name, valueName);
    status = IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status)) {
        key = nullptr;
        goto Exit;
    }
    status = QueryValueAllocated(key, &name, KeyValuePartialInformation, reinterpret_cast<PVOID*>(&information));
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    // Settings written by hand may carry another type; their first four bytes are the value.
    // Data too short to hold them is not a setting.
    if (information->DataLength < sizeof(ULONG)) {
        status = STATUS_OBJECT_TYPE_MISMATCH;
        goto Exit;
    }
    RtlCopyMemory(value, information->Data, sizeof(ULONG));
    if (type != nullptr) {
        *type = information->Type;
    }

Exit:
    if (information != nullptr) {
        ExFreePoolWithTag(information, kRegistryPoolTag);
    }
    if (key != nullptr) {
        ZwClose(key);
    }
    if (!NT_SUCCESS(status)) {
        R9_TRACE("ReadDeviceDword: status %08X\n", unsigned(status));
    }
    return status;
}

NTSTATUS WriteDeviceDword(PDEVICE_OBJECT pdo, PCWSTR valueName, ULONG value)
{
    PAGED_CODE();
    HANDLE key = nullptr;
    UNICODE_STRING name;
    NTSTATUS status;

    RtlInitUnicodeString(&name, valueName);
    status = IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key);
    if (NT_SUCCESS(status)) {
        status = ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof value);
        ZwClose(key);
    }
    if (!NT_SUCCESS(status)) {
        R9_TRACE("WriteDeviceDword: status %08X\n", unsigned(status));
    }
    return status;
}

NTSTATUS RegistryKeyExists(PCUNICODE_STRING absolutePath)
{
    PAGED_CODE();
    UNICODE_STRING terminated = {};
    NTSTATUS status = STATUS_INVALID_PARAMETER;

    // RtlCheckRegistryKey takes a terminated path.
    if (absolutePath->Length <= kMaxRegistryPathCharacters * sizeof(WCHAR)) {
        status = AllocateCountedString(&terminated, kMaxRegistryPathCharacters + 1);
    }
    if (NT_SUCCESS(status)) {
        RtlCopyMemory(terminated.Buffer, absolutePath->Buffer, absolutePath->Length);
        terminated.Buffer[absolutePath->Length / sizeof(WCHAR)] = W('\0');
        status = RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, terminated.Buffer);
    }
    FreeCountedString(&terminated);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("RegistryKeyExists: status %08X\n", unsigned(status));
    }
    return status;
}
