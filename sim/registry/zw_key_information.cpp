// ZwQueryKey and ZwEnumerateKey: a key's (or its nth subkey's) name, counts and full name.
// Keys of this machine have no class, so class offsets are -1 and class lengths 0.
#include "sim/api/kernel.h"
#include "sim/registry/information_record.h"
#include "sim/registry/key_object.h"
#include "sim/registry/machine_registry.h"

namespace {

using sim::registry::InformationRecord;
using sim::registry::KeySummary;

constexpr ULONG kNoClass = 0xFFFFFFFF;

NTSTATUS CopyKeyInformation(const KeySummary& key, KEY_INFORMATION_CLASS informationClass, PVOID buffer, ULONG length,
                            PULONG resultLength)
{
    LARGE_INTEGER lastWriteTime;
    lastWriteTime.QuadPart = key.lastWriteTime;
    switch (informationClass) {
    case KeyBasicInformation: {
        KEY_BASIC_INFORMATION fixed{};
        fixed.LastWriteTime = lastWriteTime;
        fixed.NameLength = ULONG(key.name.size() * sizeof(WCHAR));
        InformationRecord record(fixed, FIELD_OFFSET(KEY_BASIC_INFORMATION, Name));
        record.AppendName(key.name);
        return record.CopyOut(buffer, length, resultLength);
    }
    case KeyNodeInformation: {
        KEY_NODE_INFORMATION fixed{};
        fixed.LastWriteTime = lastWriteTime;
        fixed.ClassOffset = kNoClass;
        fixed.NameLength = ULONG(key.name.size() * sizeof(WCHAR));
        InformationRecord record(fixed, FIELD_OFFSET(KEY_NODE_INFORMATION, Name));
        record.AppendName(key.name);
        return record.CopyOut(buffer, length, resultLength);
    }
    case KeyFullInformation: {
        KEY_FULL_INFORMATION fixed{};
        fixed.LastWriteTime = lastWriteTime;
        fixed.ClassOffset = kNoClass;
        fixed.SubKeys = key.subkeys;
        fixed.MaxNameLen = key.maxSubkeyNameBytes;
        fixed.Values = key.values;
        fixed.MaxValueNameLen = key.maxValueNameBytes;
        fixed.MaxValueDataLen = key.maxValueDataBytes;
        InformationRecord record(fixed, FIELD_OFFSET(KEY_FULL_INFORMATION, Class));
        return record.CopyOut(buffer, length, resultLength);
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

}  // namespace

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
                    PULONG ResultLength)
{
    PAGED_CODE();
    sim::registry::KeyRef key;
    NTSTATUS status = sim::registry::ReferenceKey(KeyHandle, key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    sim::registry::Store& store = sim::registry::MachineRegistry();
    if (KeyInformationClass == KeyNameInformation) {
        std::u16string fullName;
        status = store.FullName(key, fullName);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        KEY_NAME_INFORMATION fixed{};
        fixed.NameLength = ULONG(fullName.size() * sizeof(WCHAR));
        InformationRecord record(fixed, FIELD_OFFSET(KEY_NAME_INFORMATION, Name));
        record.AppendName(fullName);
        return record.CopyOut(KeyInformation, Length, ResultLength);
    }
    KeySummary summary;
    status = store.Summarize(key, summary);
    return NT_SUCCESS(status) ? CopyKeyInformation(summary, KeyInformationClass, KeyInformation, Length, ResultLength)
                              : status;
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                        ULONG Length, PULONG ResultLength)
{
    PAGED_CODE();
    if (KeyInformationClass != KeyBasicInformation && KeyInformationClass != KeyNodeInformation &&
        KeyInformationClass != KeyFullInformation) {
        return STATUS_INVALID_PARAMETER;
    }
    sim::registry::KeyRef key;
    NTSTATUS status = sim::registry::ReferenceKey(KeyHandle, key);
    KeySummary summary;
    if (NT_SUCCESS(status)) {
        status = sim::registry::MachineRegistry().EnumerateSubkey(key, Index, summary);
    }
    return NT_SUCCESS(status) ? CopyKeyInformation(summary, KeyInformationClass, KeyInformation, Length, ResultLength)
                              : status;
}
