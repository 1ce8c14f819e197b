// ZwQueryValueKey, ZwEnumerateValueKey, ZwSetValueKey and ZwDeleteValueKey.
#include "sim/api/kernel.h"
#include "sim/registry/information_record.h"
#include "sim/registry/key_object.h"
#include "sim/registry/machine_registry.h"

namespace {

using sim::registry::InformationRecord;
using sim::registry::KeyRef;
using sim::registry::Value;

NTSTATUS NameText(PUNICODE_STRING name, std::u16string_view& text)
{
    if (name == nullptr || name->Length == 0) {
        text = std::u16string_view();
        return STATUS_SUCCESS;
    }
    if (name->Buffer == nullptr || name->Length % sizeof(WCHAR) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    text = std::u16string_view(name->Buffer, name->Length / sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS CopyValueInformation(const Value& value, KEY_VALUE_INFORMATION_CLASS informationClass, PVOID buffer,
                              ULONG length, PULONG resultLength)
{
    const ULONG nameLength = ULONG(value.name.size() * sizeof(WCHAR));
    switch (informationClass) {
    case KeyValueBasicInformation: {
        KEY_VALUE_BASIC_INFORMATION fixed{};
        fixed.Type = value.type;
        fixed.NameLength = nameLength;
        InformationRecord record(fixed, FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name));
        record.AppendName(value.name);
        return record.CopyOut(buffer, length, resultLength);
    }
    case KeyValueFullInformation: {
        KEY_VALUE_FULL_INFORMATION fixed{};
        fixed.Type = value.type;
        fixed.NameLength = nameLength;
        fixed.DataLength = ULONG(value.data.size());
        // The data starts at the next 32-bit boundary after the name.
        size_t fixedSize = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        fixed.DataOffset = ULONG((fixedSize + nameLength + sizeof(ULONG) - 1) / sizeof(ULONG) * sizeof(ULONG));
        InformationRecord record(fixed, fixedSize);
        record.AppendName(value.name);
        record.AlignTo(sizeof(ULONG));
        record.AppendData(value.data);
        return record.CopyOut(buffer, length, resultLength);
    }
    case KeyValuePartialInformation: {
        KEY_VALUE_PARTIAL_INFORMATION fixed{};
        fixed.Type = value.type;
        fixed.DataLength = ULONG(value.data.size());
        InformationRecord record(fixed, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data));
        record.AppendData(value.data);
        return record.CopyOut(buffer, length, resultLength);
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

}  // namespace

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation, ULONG Length,
                         PULONG ResultLength)
{
    PAGED_CODE();
    std::u16string_view name;
    NTSTATUS status = NameText(ValueName, name);
    KeyRef key;
    if (NT_SUCCESS(status)) {
        status = sim::registry::ReferenceKey(KeyHandle, key);
    }
    Value value;
    if (NT_SUCCESS(status)) {
        status = sim::registry::MachineRegistry().QueryValue(key, name, value);
    }
    return NT_SUCCESS(status)
        ? CopyValueInformation(value, KeyValueInformationClass, KeyValueInformation, Length, ResultLength)
        : status;
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    PAGED_CODE();
    KeyRef key;
    NTSTATUS status = sim::registry::ReferenceKey(KeyHandle, key);
    Value value;
    if (NT_SUCCESS(status)) {
        status = sim::registry::MachineRegistry().EnumerateValue(key, Index, value);
    }
    return NT_SUCCESS(status)
        ? CopyValueInformation(value, KeyValueInformationClass, KeyValueInformation, Length, ResultLength)
        : status;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize)
{
    PAGED_CODE();
    std::u16string_view name;
    NTSTATUS status = NameText(ValueName, name);
    if (NT_SUCCESS(status) && Data == nullptr && DataSize != 0) {
        status = STATUS_INVALID_PARAMETER;
    }
    KeyRef key;
    if (NT_SUCCESS(status)) {
        status = sim::registry::ReferenceKey(KeyHandle, key);
    }
    return NT_SUCCESS(status) ? sim::registry::MachineRegistry().SetValue(key, name, Type, Data, DataSize) : status;
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    PAGED_CODE();
    std::u16string_view name;
    NTSTATUS status = NameText(ValueName, name);
    KeyRef key;
    if (NT_SUCCESS(status)) {
        status = sim::registry::ReferenceKey(KeyHandle, key);
    }
    return NT_SUCCESS(status) ? sim::registry::MachineRegistry().DeleteValue(key, name) : status;
}
