// The jack descriptions of the filter's bridge pins (KSPROPSETID_Jack). No property table of the
// filter routes requests here; the handler answers for whoever calls the adapter with one.
//
// IRQL: PASSIVE_LEVEL (the connection state is a USB control transfer).
#include "driver/adapter/usb_audio_adapter.h"
#include "driver/property_replies.h"
#include "driver/usbaudio/audio_requests.h"
#include "driver/usbaudio/audio_terminal.h"
#include "driver/usbaudio/filter_records.h"

namespace {

constexpr ULONG kPinIdBytes = sizeof(ULONG);
constexpr ULONG kStereoMapping = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
constexpr ULONG kGeoLocationFront = 2;

struct JackDescriptionReply {
    KSMULTIPLE_ITEM header;
    KSJACK_DESCRIPTION jack;
};

struct JackDescription2Reply {
    KSMULTIPLE_ITEM header;
    KSJACK_DESCRIPTION2 jack;
};

static_assert(sizeof(JackDescriptionReply) == 36, "KSPROPERTY_JACK_DESCRIPTION reply");
static_assert(sizeof(JackDescription2Reply) == 16, "KSPROPERTY_JACK_DESCRIPTION2 reply");

bool IsBridge(const FilterPinRecord& pin)
{
    const KSPIN_COMMUNICATION communication = pin.Descriptor.KsPinDescriptor.Communication;
    return communication == KSPIN_COMMUNICATION_BRIDGE || communication == KSPIN_COMMUNICATION_NONE;
}

ULONG ConnectionOf(const FilterPinRecord& pin)
{
    const CUSBAudioTerminal* terminal = CUSBAudioTerminal::FromEntity(pin.Chain.Entity);
    return terminal == nullptr ? usbaudio::kConnectorUnknown : terminal->IsConnected();
}

}  // namespace

NTSTATUS UsbAudioAdapter::HandleJackProperty(PPCPROPERTY_REQUEST request)
{
    PAGED_CODE();
    if (request == nullptr || request->PropertyItem == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const ULONG id = request->PropertyItem->Id;
    if (id != KSPROPERTY_JACK_DESCRIPTION && id != KSPROPERTY_JACK_DESCRIPTION2) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (request->InstanceSize < kPinIdBytes || request->Instance == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ULONG pinId;
    RtlCopyMemory(&pinId, request->Instance, sizeof(pinId));
    const FilterPinRecord* pin = usbaudio::FilterPin(m_Filter, pinId);
    if (pin == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
        return ReplySimpleBasicSupport(request, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT, kVariantEmpty);
    }
    if ((request->Verb & KSPROPERTY_TYPE_GET) == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const ULONG replyBytes =
        id == KSPROPERTY_JACK_DESCRIPTION ? sizeof(JackDescriptionReply) : sizeof(JackDescription2Reply);
    const NTSTATUS status = CheckValueRequest(request, replyBytes, kPinIdBytes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Only a bridge pin is a jack; a streaming pin has nothing to describe.
    if (!IsBridge(*pin)) {
        request->ValueSize = 0;
        return STATUS_SUCCESS;
    }
    const ULONG connection = ConnectionOf(*pin);
    if (id == KSPROPERTY_JACK_DESCRIPTION) {
        JackDescriptionReply reply;
        RtlZeroMemory(&reply, sizeof(reply));
        reply.header.Size = sizeof(reply);
        reply.header.Count = 1;
        reply.jack.ChannelMapping = kStereoMapping;
        reply.jack.GeoLocation = static_cast<decltype(reply.jack.GeoLocation)>(kGeoLocationFront);
        // A jack whose state cannot be told is taken to be connected, so the endpoint is usable.
        reply.jack.IsConnected = connection != 0 ? 1 : 0;
        RtlCopyMemory(request->Value, &reply, sizeof(reply));
    } else {
        JackDescription2Reply reply;
        RtlZeroMemory(&reply, sizeof(reply));
        reply.header.Size = sizeof(reply);
        reply.header.Count = 1;
        if (connection != usbaudio::kConnectorUnknown) {
            reply.jack.JackCapabilities = JACKDESC2_PRESENCE_DETECT_CAPABILITY;
        }
        RtlCopyMemory(request->Value, &reply, sizeof(reply));
    }
    request->ValueSize = replyBytes;
    return STATUS_SUCCESS;
}
