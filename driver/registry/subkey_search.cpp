// FindSubkeyByValue: the subkey of a key whose value (or the value of a key below it) holds a
// wanted text. Used to find a device's instance key by its container ID and the device's audio
// endpoints by their device path.
#include "driver/registry/registry_access.h"
#include "driver/registry/registry_internal.h"
#include "driver/trace.h"

namespace {

// Basic information with room for the longest key name the registry allows (255 characters).
constexpr ULONG kEnumerationBufferBytes = 534;

BOOLEAN TextEqualsIgnoringCase(PCUNICODE_STRING storedText, PCUNICODE_STRING wanted)
{
    return RtlEqualUnicodeString(storedText, wanted, TRUE);
}

// The value's data as text: up to its first NUL, within its length.
void ValueText(const KEY_VALUE_FULL_INFORMATION* information, PUNICODE_STRING text)
{
    const WCHAR* characters =
        reinterpret_cast<const WCHAR*>(reinterpret_cast<const UCHAR*>(information) + information->DataOffset);
    ULONG count = information->DataLength / sizeof(WCHAR);
    if (count > MAXUSHORT / sizeof(WCHAR)) {
        count = MAXUSHORT / sizeof(WCHAR);
    }
    ULONG length = 0;
    while (length < count && characters[length] != W('\0')) {
        ++length;
    }
    text->Buffer = const_cast<PWSTR>(characters);
    text->Length = USHORT(length * sizeof(WCHAR));
    text->MaximumLength = text->Length;
}

}  // namespace

NTSTATUS FindSubkeyByValue(PCUNICODE_STRING basePath, PCUNICODE_STRING subPath, PCUNICODE_STRING valueName,
                           PCUNICODE_STRING wanted, RegistryTextCompare compare, PUNICODE_STRING subkeyName)
{
    PAGED_CODE();
    HANDLE baseKey = nullptr;
    HANDLE subkey = nullptr;
    PKEY_BASIC_INFORMATION entry = nullptr;
    PKEY_VALUE_FULL_INFORMATION information = nullptr;
    UNICODE_STRING path = {};
    UNICODE_STRING name;
    UNICODE_STRING text;
    ULONG length = 0;
    BOOLEAN matched;
    NTSTATUS status;

    if (compare == nullptr) {
        compare = &TextEqualsIgnoringCase;
    }
    status = OpenRegistryKey(&baseKey, nullptr, basePath, KEY_READ);
    if (!NT_SUCCESS(status)) {
        baseKey = nullptr;
        goto Exit;
    }
    entry = static_cast<PKEY_BASIC_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, kEnumerationBufferBytes, kRegistryPoolTag));
    if (entry == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    status = AllocateCountedString(&path, kMaxRegistryPathCharacters);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }

    for (ULONG index = 0;; ++index) {
        status = ZwEnumerateKey(baseKey, index, KeyBasicInformation, entry, kEnumerationBufferBytes, &length);
        if (status == STATUS_NO_MORE_ENTRIES) {
            status = STATUS_NO_MATCH;
            break;
        }
        if (!NT_SUCCESS(status)) {
            break;
        }
        name.Buffer = entry->Name;
        name.Length = USHORT(entry->NameLength);
        name.MaximumLength = name.Length;
        path.Length = 0;
        status = AppendPathComponent(&path, &name);
        if (NT_SUCCESS(status) && subPath != nullptr) {
            status = AppendPathComponent(&path, subPath);
        }
        if (!NT_SUCCESS(status)) {
            break;
        }
        status = OpenRegistryKey(&subkey, baseKey, &path, KEY_READ);
        if (!NT_SUCCESS(status)) {
            subkey = nullptr;
            break;
        }
        status =
            QueryValueAllocated(subkey, valueName, KeyValueFullInformation, reinterpret_cast<PVOID*>(&information));
        if (!NT_SUCCESS(status)) {
            break;
        }
        ValueText(information, &text);
        matched = compare(&text, wanted);
        ExFreePoolWithTag(information, kRegistryPoolTag);
        information = nullptr;
        ZwClose(subkey);
        subkey = nullptr;
        if (matched) {
            if (subkeyName->MaximumLength < name.Length) {
                status = STATUS_BUFFER_TOO_SMALL;
            } else {
                RtlCopyMemory(subkeyName->Buffer, name.Buffer, name.Length);
                subkeyName->Length = name.Length;
            }
            break;
        }
    }

Exit:
    if (information != nullptr) {
        ExFreePoolWithTag(information, kRegistryPoolTag);
    }
    if (subkey != nullptr) {
        ZwClose(subkey);
    }
    FreeCountedString(&path);
    if (entry != nullptr) {
        ExFreePoolWithTag(entry, kRegistryPoolTag);
    }
    if (baseKey != nullptr) {
        ZwClose(baseKey);
    }
    if (!NT_SUCCESS(status)) {
        R9_TRACE("FindSubkeyByValue: status %08X\n", unsigned(status));
    }
    return status;
}
