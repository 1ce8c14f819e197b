#include "driver/property_replies.h"

namespace {

constexpr ULONG kAccessFlagsBytes = sizeof(ULONG);

void WriteDescription(PPCPROPERTY_REQUEST request, ULONG accessFlags, ULONG variantType, ULONG memberLists,
                      ULONG descriptionSize)
{
    KSPROPERTY_DESCRIPTION description;
    RtlZeroMemory(&description, sizeof(description));
    description.AccessFlags = accessFlags;
    description.DescriptionSize = descriptionSize;
    description.PropTypeSet.Set = KSPROPTYPESETID_General;
    description.PropTypeSet.Id = variantType;
    description.MembersListCount = memberLists;
    // The caller's buffer carries no alignment promise.
    RtlCopyMemory(request->Value, &description, sizeof(description));
    request->ValueSize = sizeof(description);
}

}  // namespace

NTSTATUS CheckValueRequest(PPCPROPERTY_REQUEST request, ULONG valueSize, ULONG instanceSize)
{
    if (request->ValueSize == 0) {
        request->ValueSize = valueSize;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request->ValueSize < valueSize || request->InstanceSize < instanceSize ||
        (instanceSize != 0 && request->Instance == nullptr)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (request->ValueSize != valueSize || request->Value == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ReplySimpleBasicSupport(PPCPROPERTY_REQUEST request, ULONG accessFlags, ULONG variantType)
{
    NTSTATUS status = STATUS_SUCCESS;
    ReplyDescriptionHead(request, accessFlags, variantType, 0, sizeof(KSPROPERTY_DESCRIPTION), &status);
    return status;
}

bool ReplyDescriptionHead(PPCPROPERTY_REQUEST request, ULONG accessFlags, ULONG variantType, ULONG memberLists,
                          ULONG fullSize, NTSTATUS* status)
{
    *status = STATUS_SUCCESS;
    if (request->Value == nullptr || request->ValueSize < kAccessFlagsBytes) {
        *status = STATUS_BUFFER_TOO_SMALL;
        return false;
    }
    if (request->ValueSize < sizeof(KSPROPERTY_DESCRIPTION)) {
        RtlCopyMemory(request->Value, &accessFlags, sizeof(accessFlags));
        request->ValueSize = kAccessFlagsBytes;
        return false;
    }
    const ULONG room = request->ValueSize;
    WriteDescription(request, accessFlags, variantType, memberLists, fullSize);
    return room >= fullSize && fullSize > sizeof(KSPROPERTY_DESCRIPTION);
}
