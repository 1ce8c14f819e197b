// The wave filter's own property handlers: its component identity, and the forwarder through
// which the feature-unit nodes' volume and mute reach the adapter.
#include "driver/miniport/wave_filter_properties.h"

#include "driver/miniport/usb_wave_miniport.h"
#include "driver/property_replies.h"
#include "driver/trace.h"

namespace {

// The MMREG manufacturer GUID of manufacturer ID 1: {D5A47FA8-6D98-11D1-A21A-00A0C9223196}.
constexpr GUID kManufacturer = {0xD5A47FA8, 0x6D98, 0x11D1, {0xA2, 0x1A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
// The product's own GUIDs, under which the audio stack finds its name.
constexpr GUID kProduct = {0xEF06D8FD, 0x6383, 0x4636, {0xBF, 0x8B, 0xCF, 0x93, 0x59, 0x8A, 0x21, 0x9D}};
constexpr GUID kName = {0xD368ADD0, 0x8E35, 0x432C, {0x9B, 0xDA, 0x3B, 0x49, 0x9D, 0x58, 0x96, 0x86}};
constexpr ULONG kVersion = 1;
constexpr ULONG kRevision = 0;

// PortCls hands the unknown the adapter passed to the port's Init as the major target: the wave
// registration passes the miniport's IMiniportWaveCyclic interface there.
UsbWaveMiniport* MiniportOf(PPCPROPERTY_REQUEST request)
{
    return request->MajorTarget == nullptr
               ? nullptr
               : static_cast<UsbWaveMiniport*>(reinterpret_cast<IMiniportWaveCyclic*>(request->MajorTarget));
}

}  // namespace

NTSTATUS NTAPI WaveFilterComponentIdHandler(PPCPROPERTY_REQUEST request)
{
    PAGED_CODE();
    if (request == nullptr || request->PropertyItem == nullptr ||
        request->PropertyItem->Id != KSPROPERTY_GENERAL_COMPONENTID) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
        return ReplySimpleBasicSupport(request, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT, kVariantEmpty);
    }
    if ((request->Verb & KSPROPERTY_TYPE_GET) == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const NTSTATUS status = CheckValueRequest(request, sizeof(KSCOMPONENTID), 0);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    KSCOMPONENTID identity;
    RtlZeroMemory(&identity, sizeof(identity));
    identity.Manufacturer = kManufacturer;
    identity.Product = kProduct;
    identity.Name = kName;
    identity.Version = kVersion;
    identity.Revision = kRevision;
    RtlCopyMemory(request->Value, &identity, sizeof(identity));
    request->ValueSize = sizeof(identity);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI WaveNodePropertyForwarder(PPCPROPERTY_REQUEST request)
{
    PAGED_CODE();
    UsbWaveMiniport* miniport = request == nullptr ? nullptr : MiniportOf(request);
    if (miniport == nullptr || miniport->Adapter() == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return miniport->Adapter()->HandleNodeProperty(request);
}
