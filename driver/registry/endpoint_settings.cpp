// This device's entries in the Windows audio endpoint store: finding its render and capture
// endpoints, reading their saved format, and keeping the saved formats at the device rate.
//
// The store belongs to the audio service, which may lay it out differently in another Windows
// release; every step checks what it reads and fails rather than writing outside a value.
#include "driver/registry/registry_access.h"
#include "driver/registry/registry_internal.h"
#include "driver/trace.h"

namespace {

const WCHAR kEndpointStore[] = W("\\Registry\\Machine\\Software\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio");
const WCHAR kRenderKey[] = W("Render");
const WCHAR kCaptureKey[] = W("Capture");
const WCHAR kPropertiesKey[] = W("Properties");
const WCHAR kDevicePathProperty[] = W("{b3f8fa53-0004-438e-9003-51a46e139bfc},2");
const WCHAR kDeletedProperty[] = W("{a2a3fff4-353f-407c-9d86-1f9dc7d5a606},2");

// The saved formats, in the order they are tried.
const WCHAR* const kFormatProperties[] = {
    W("{f19f064d-082c-4e27-bc73-6882a1bb8e4c},0"), W("{e4870e26-3cc5-4cd2-ba46-ca0a9a70ed04},0"),
    W("{e4870e26-3cc5-4cd2-ba46-ca0a9a70ed04},3"), W("{3d6e1656-2e50-4c4c-8d85-d0acae3c6c68},2"),
    W("{3d6e1656-2e50-4c4c-8d85-d0acae3c6c68},3"),
};

// A format value holds a serialised property: an 8-byte header (variant type and size), then the
// WAVEFORMATEXTENSIBLE. Offsets within the value's data:
constexpr ULONG kFormatHeaderBytes = 8;
constexpr ULONG kFormatValueBytes = kFormatHeaderBytes + sizeof(WAVEFORMATEXTENSIBLE);
constexpr ULONG kSamplesPerSecOffset = 12;
constexpr ULONG kAvgBytesPerSecOffset = 16;
constexpr ULONG kBlockAlignOffset = 20;

NTSTATUS DirectionKey(UCHAR direction, PUNICODE_STRING name)
{
    if (direction == kEndpointRender) {
        RtlInitUnicodeString(name, kRenderKey);
    } else if (direction == kEndpointCapture) {
        RtlInitUnicodeString(name, kCaptureKey);
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

// Allocates `path` and fills it with "<endpoint store>\<Render|Capture>"; the caller frees it.
NTSTATUS BuildDirectionPath(UCHAR direction, PUNICODE_STRING path)
{
    UNICODE_STRING part;
    NTSTATUS status = AllocateCountedString(path, kMaxRegistryPathCharacters);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RtlInitUnicodeString(&part, kEndpointStore);
    status = AppendPathComponent(path, &part);
    if (NT_SUCCESS(status)) {
        status = DirectionKey(direction, &part);
    }
    if (NT_SUCCESS(status)) {
        status = AppendPathComponent(path, &part);
    }
    return status;
}

NTSTATUS FindEndpoint(UCHAR direction, PCUNICODE_STRING instancePath, PUNICODE_STRING endpoint)
{
    UNICODE_STRING basePath = {};
    UNICODE_STRING propertiesKey;
    UNICODE_STRING valueName;

    NTSTATUS status = BuildDirectionPath(direction, &basePath);
    if (NT_SUCCESS(status)) {
        RtlInitUnicodeString(&propertiesKey, kPropertiesKey);
        RtlInitUnicodeString(&valueName, kDevicePathProperty);
        status = FindSubkeyByValue(&basePath, &propertiesKey, &valueName, instancePath, &EndpointDevicePathMatches,
                                   endpoint);
    }
    FreeCountedString(&basePath);
    return status == STATUS_NO_MATCH ? STATUS_INVALID_DEVICE_REQUEST : status;
}

// One format value's data, with room for the header and the whole format checked.
NTSTATUS QueryFormatValue(HANDLE properties, PCUNICODE_STRING name, PKEY_VALUE_PARTIAL_INFORMATION* information)
{
    NTSTATUS status =
        QueryValueAllocated(properties, name, KeyValuePartialInformation, reinterpret_cast<PVOID*>(information));
    if (NT_SUCCESS(status) && (*information)->DataLength < kFormatValueBytes) {
        // Not the layout the audio service writes: nothing to read, nothing safe to rewrite.
        ExFreePoolWithTag(*information, kRegistryPoolTag);
        *information = nullptr;
        status = STATUS_OBJECT_TYPE_MISMATCH;
    }
    return status;
}

// Opens "<endpoint store>\<Render|Capture>\<endpoint>\Properties".
NTSTATUS OpenEndpointProperties(UCHAR direction, PCUNICODE_STRING endpoint, ACCESS_MASK access, PHANDLE key)
{
    UNICODE_STRING path = {};
    UNICODE_STRING part;

    // An endpoint that was not found has an empty name; it would name the direction's own key.
    if (endpoint->Length == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = BuildDirectionPath(direction, &path);
    if (NT_SUCCESS(status)) {
        status = AppendPathComponent(&path, endpoint);
    }
    if (NT_SUCCESS(status)) {
        RtlInitUnicodeString(&part, kPropertiesKey);
        status = AppendPathComponent(&path, &part);
    }
    if (NT_SUCCESS(status)) {
        status = OpenRegistryKey(key, nullptr, &path, access);
    }
    FreeCountedString(&path);
    return status;
}

}  // namespace

BOOLEAN EndpointDevicePathMatches(PCUNICODE_STRING storedText, PCUNICODE_STRING instancePath)
{
    PAGED_CODE();
    UNICODE_STRING path = *storedText;
    const USHORT characters = storedText->Length / sizeof(WCHAR);
    USHORT dot = 0;

    // The audio service stores "{<number>}.<instance path>".
    if (characters > 0 && storedText->Buffer[0] == W('{')) {
        while (dot < characters && storedText->Buffer[dot] != W('.')) {
            ++dot;
        }
        if (dot == characters) {
            return FALSE;
        }
        path.Buffer = &storedText->Buffer[dot + 1];
        path.Length = USHORT((characters - dot - 1) * sizeof(WCHAR));
        path.MaximumLength = path.Length;
    }
    return RtlEqualUnicodeString(&path, instancePath, TRUE);
}

NTSTATUS FindEndpoints(PUNICODE_STRING renderEndpoint, PUNICODE_STRING captureEndpoint, PCUNICODE_STRING instancePath)
{
    PAGED_CODE();
    NTSTATUS renderStatus;
    NTSTATUS status;

    // A name is only written when its endpoint is found.
    renderEndpoint->Length = 0;
    captureEndpoint->Length = 0;
    renderStatus = FindEndpoint(kEndpointRender, instancePath, renderEndpoint);
    status = renderStatus;
    if (NT_SUCCESS(renderStatus) || renderStatus == STATUS_INVALID_DEVICE_REQUEST) {
        status = FindEndpoint(kEndpointCapture, instancePath, captureEndpoint);
        if (status == STATUS_INVALID_DEVICE_REQUEST && NT_SUCCESS(renderStatus)) {
            status = STATUS_SUCCESS;
        }
    }
    if (!NT_SUCCESS(status)) {
        R9_TRACE("FindEndpoints: render status %08X, result %08X\n", unsigned(renderStatus), unsigned(status));
    }
    return status;
}

NTSTATUS GetEndpointFormat(UCHAR direction, PCUNICODE_STRING endpoint, PWAVEFORMATEXTENSIBLE format)
{
    PAGED_CODE();
    HANDLE properties = nullptr;
    PKEY_VALUE_PARTIAL_INFORMATION information = nullptr;
    UNICODE_STRING name;
    NTSTATUS status;

    status = OpenEndpointProperties(direction, endpoint, KEY_ALL_ACCESS, &properties);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    for (const WCHAR* property : kFormatProperties) {
        RtlInitUnicodeString(&name, property);
        status = QueryFormatValue(properties, &name, &information);
        if (status != STATUS_OBJECT_NAME_NOT_FOUND) {
            break;
        }
    }
    if (NT_SUCCESS(status)) {
        RtlCopyMemory(format, information->Data + kFormatHeaderBytes, sizeof(WAVEFORMATEXTENSIBLE));
        ExFreePoolWithTag(information, kRegistryPoolTag);
    }
    ZwClose(properties);

Exit:
    if (!NT_SUCCESS(status)) {
        R9_TRACE("GetEndpointFormat: direction %u, status %08X\n", unsigned(direction), unsigned(status));
    }
    return status;
}

NTSTATUS SetEndpointFormatRate(UCHAR direction, PCUNICODE_STRING endpoint, ULONG rate)
{
    PAGED_CODE();
    HANDLE properties = nullptr;
    PKEY_VALUE_PARTIAL_INFORMATION information = nullptr;
    UNICODE_STRING name;
    USHORT blockAlign;
    ULONGLONG bytesPerSecond;
    ULONG averageBytes;
    NTSTATUS status;

    status = OpenEndpointProperties(direction, endpoint, KEY_ALL_ACCESS, &properties);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    for (const WCHAR* property : kFormatProperties) {
        RtlInitUnicodeString(&name, property);
        status = QueryFormatValue(properties, &name, &information);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
            status = STATUS_SUCCESS;
            continue;
        }
        if (!NT_SUCCESS(status)) {
            break;
        }
        RtlCopyMemory(&blockAlign, information->Data + kBlockAlignOffset, sizeof blockAlign);
        bytesPerSecond = ULONGLONG(rate) * blockAlign;
        if (bytesPerSecond > MAXULONG) {
            status = STATUS_INTEGER_OVERFLOW;
        } else {
            averageBytes = ULONG(bytesPerSecond);
            RtlCopyMemory(information->Data + kSamplesPerSecOffset, &rate, sizeof rate);
            RtlCopyMemory(information->Data + kAvgBytesPerSecOffset, &averageBytes, sizeof averageBytes);
            status = ZwSetValueKey(properties, &name, 0, information->Type, information->Data, information->DataLength);
        }
        ExFreePoolWithTag(information, kRegistryPoolTag);
        information = nullptr;
        if (!NT_SUCCESS(status)) {
            break;
        }
    }
    ZwClose(properties);

Exit:
    if (!NT_SUCCESS(status)) {
        R9_TRACE("SetEndpointFormatRate: direction %u, rate %u, status %08X\n", unsigned(direction), unsigned(rate),
                 unsigned(status));
    }
    return status;
}

NTSTATUS DeleteEndpointProperty(UCHAR direction, PCUNICODE_STRING endpoint)
{
    PAGED_CODE();
    HANDLE properties = nullptr;
    UNICODE_STRING name;
    NTSTATUS status;

    status = OpenEndpointProperties(direction, endpoint, KEY_ALL_ACCESS, &properties);
    if (NT_SUCCESS(status)) {
        RtlInitUnicodeString(&name, kDeletedProperty);
        status = ZwDeleteValueKey(properties, &name);
        ZwClose(properties);
    }
    if (!NT_SUCCESS(status)) {
        R9_TRACE("DeleteEndpointProperty: direction %u, status %08X\n", unsigned(direction), unsigned(status));
    }
    return status;
}
