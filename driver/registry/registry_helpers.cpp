// Counted-string paths, key opening and value queries for the registry operations.
#include "driver/registry/registry_access.h"
#include "driver/registry/registry_internal.h"

NTSTATUS AppendPathComponent(PUNICODE_STRING path, PCUNICODE_STRING component)
{
    PAGED_CODE();
    const bool needsSeparator = path->Length != 0 && component->Length != 0;
    const ULONG length = ULONG(path->Length) + (needsSeparator ? sizeof(WCHAR) : 0) + component->Length;
    if (length > path->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    USHORT end = path->Length / sizeof(WCHAR);
    if (needsSeparator) {
        path->Buffer[end++] = W('\\');
    }
    RtlCopyMemory(&path->Buffer[end], component->Buffer, component->Length);
    path->Length = USHORT(length);
    return STATUS_SUCCESS;
}

NTSTATUS AllocateCountedString(PUNICODE_STRING string, USHORT characters)
{
    PAGED_CODE();
    string->Length = 0;
    string->MaximumLength = USHORT(characters * sizeof(WCHAR));
    string->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, string->MaximumLength, kRegistryPoolTag));
    if (string->Buffer == nullptr) {
        string->MaximumLength = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

void FreeCountedString(PUNICODE_STRING string)
{
    PAGED_CODE();
    if (string->Buffer != nullptr) {
        ExFreePoolWithTag(string->Buffer, kRegistryPoolTag);
        string->Buffer = nullptr;
    }
    string->Length = 0;
    string->MaximumLength = 0;
}

NTSTATUS OpenRegistryKey(PHANDLE key, HANDLE root, PCUNICODE_STRING path, ACCESS_MASK access)
{
    PAGED_CODE();
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, const_cast<PUNICODE_STRING>(path), kRegistryOpenAttributes, root, nullptr);
    return ZwOpenKey(key, access, &attributes);
}

NTSTATUS QueryValueAllocated(HANDLE key, PCUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS informationClass,
                             PVOID* information)
{
    PAGED_CODE();
    PUNICODE_STRING name = const_cast<PUNICODE_STRING>(valueName);
    PVOID buffer = nullptr;
    ULONG needed = 0;
    NTSTATUS status;

    *information = nullptr;
    status = ZwQueryValueKey(key, name, informationClass, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) {
        // No record fits in no bytes, so success here would be the registry's fault; anything
        // else is the caller's answer (a missing value, a closed key).
        if (NT_SUCCESS(status)) {
            status = STATUS_INTERNAL_ERROR;
        }
        goto Exit;
    }
    buffer = ExAllocatePoolWithTag(PagedPool, needed, kRegistryPoolTag);
    if (buffer == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    // A value that grew in between fails here with STATUS_BUFFER_OVERFLOW.
    status = ZwQueryValueKey(key, name, informationClass, buffer, needed, &needed);
    if (NT_SUCCESS(status)) {
        *information = buffer;
        buffer = nullptr;
    }

Exit:
    if (buffer != nullptr) {
        ExFreePoolWithTag(buffer, kRegistryPoolTag);
    }
    return status;
}
