// IOCTL_KS_PROPERTY on PortCls's filters and pins, as PortCls handles it: the request (KSPROPERTY,
// or KSP_NODE with KSPROPERTY_TYPE_TOPOLOGY for a node, followed by instance data) and the value
// buffer are captured into system memory; the pin's connection state and audio position and the
// filter's pin factory count, data flows and communications are the port's own; every other
// property is looked up in the automation table of the filter, the pin factory or the node, and
// handed to the miniport's handler as a PCPROPERTY_REQUEST. Basic support of an item that does
// not handle it is answered by the port from the item's flags.
//
// Replies: the value buffer's bytes up to the size the handler reports, and that size as the
// request's information, also with STATUS_BUFFER_OVERFLOW (the caller learns the size it needs).
#include <algorithm>
#include <cstring>
#include <vector>

#include "sim/portcls/ks_objects.h"
#include "sim/portcls/wave_cyclic_pin.h"
#include "sim/portcls/wave_cyclic_port.h"

namespace sim::portcls {

namespace {

constexpr ULONG kVerbs = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;

struct Captured {
    KSPROPERTY property;
    ULONG verb = 0;
    bool topology = false;
    ULONG node = PCFILTER_NODE;
    std::vector<UCHAR> instance;
    std::vector<UCHAR> value;
};

const PCPROPERTY_ITEM* FindItem(const PCAUTOMATION_TABLE* table, const KSPROPERTY& property)
{
    if (table == nullptr || table->Properties == nullptr) {
        return nullptr;
    }
    const ULONG stride = table->PropertyItemSize == 0 ? ULONG(sizeof(PCPROPERTY_ITEM)) : table->PropertyItemSize;
    for (ULONG i = 0; i < table->PropertyCount; ++i) {
        const auto* item = reinterpret_cast<const PCPROPERTY_ITEM*>(reinterpret_cast<const UCHAR*>(table->Properties) +
                                                                    SIZE_T(i) * stride);
        if (item->Set != nullptr && IsEqualGUID(*item->Set, property.Set) && item->Id == property.Id) {
            return item;
        }
    }
    return nullptr;
}

// The description a property handler gives when it knows nothing more: its access flags.
NTSTATUS DefaultBasicSupport(ULONG accessFlags, Captured& request, ULONG& returned)
{
    if (request.value.empty()) {
        returned = sizeof(KSPROPERTY_DESCRIPTION);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request.value.size() >= sizeof(KSPROPERTY_DESCRIPTION)) {
        KSPROPERTY_DESCRIPTION description = {};
        description.AccessFlags = accessFlags;
        description.DescriptionSize = sizeof description;
        description.PropTypeSet.Set = KSPROPTYPESETID_General;
        std::memcpy(request.value.data(), &description, sizeof description);
        returned = sizeof description;
        return STATUS_SUCCESS;
    }
    if (request.value.size() >= sizeof(ULONG)) {
        std::memcpy(request.value.data(), &accessFlags, sizeof accessFlags);
        returned = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    return STATUS_BUFFER_TOO_SMALL;
}

// A fixed-size value the port reads or writes itself.
template <class T> NTSTATUS CheckValue(const Captured& request, ULONG& returned)
{
    if (request.value.empty()) {
        returned = sizeof(T);
        return STATUS_BUFFER_OVERFLOW;
    }
    return request.value.size() < sizeof(T) ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS;
}

NTSTATUS ConnectionState(WaveCyclicPin& pin, Captured& request, ULONG& returned)
{
    if (request.verb == KSPROPERTY_TYPE_BASICSUPPORT) {
        return DefaultBasicSupport(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, request, returned);
    }
    NTSTATUS status = CheckValue<KSSTATE>(request, returned);
    if (!NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) {
        return status;
    }
    KSSTATE state;
    if (request.verb == KSPROPERTY_TYPE_GET) {
        state = pin.State();
        std::memcpy(request.value.data(), &state, sizeof state);
        returned = sizeof state;
        return STATUS_SUCCESS;
    }
    std::memcpy(&state, request.value.data(), sizeof state);
    return pin.SetState(state);
}

NTSTATUS AudioPosition(WaveCyclicPin& pin, Captured& request, ULONG& returned)
{
    if (request.verb == KSPROPERTY_TYPE_BASICSUPPORT) {
        return DefaultBasicSupport(KSPROPERTY_TYPE_GET, request, returned);
    }
    if (request.verb != KSPROPERTY_TYPE_GET) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status = CheckValue<KSAUDIO_POSITION>(request, returned);
    if (!NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) {
        return status;
    }
    KSAUDIO_POSITION position;
    status = pin.Position(position);
    std::memcpy(request.value.data(), &position, sizeof position);
    returned = sizeof position;
    return status;
}

// KSPROPSETID_Pin on a filter: how many pin factories there are, and which way a factory's data
// flows and how it communicates; what a client looks at to find the pins it can open.
NTSTATUS PinFactoryProperty(WaveCyclicPort& port, Captured& request, ULONG& returned)
{
    if (request.verb == KSPROPERTY_TYPE_BASICSUPPORT) {
        return DefaultBasicSupport(KSPROPERTY_TYPE_GET, request, returned);
    }
    if (request.verb != KSPROPERTY_TYPE_GET) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status = CheckValue<ULONG>(request, returned);
    if (!NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) {
        return status;
    }
    ULONG value;
    if (request.property.Id == KSPROPERTY_PIN_CTYPES) {
        value = port.PinCount();
    } else {
        ULONG pinId;
        if (request.instance.size() < sizeof pinId) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(&pinId, request.instance.data(), sizeof pinId);
        KSPIN_DATAFLOW flow;
        KSPIN_COMMUNICATION communication;
        if (!port.PinFactory(pinId, &flow, &communication)) {
            return STATUS_INVALID_PARAMETER;
        }
        value = request.property.Id == KSPROPERTY_PIN_DATAFLOW ? ULONG(flow) : ULONG(communication);
    }
    std::memcpy(request.value.data(), &value, sizeof value);
    returned = sizeof value;
    return STATUS_SUCCESS;
}

bool IsPinFactoryProperty(const KSPROPERTY& property)
{
    return IsEqualGUID(property.Set, KSPROPSETID_Pin) &&
           (property.Id == KSPROPERTY_PIN_CTYPES || property.Id == KSPROPERTY_PIN_DATAFLOW ||
            property.Id == KSPROPERTY_PIN_COMMUNICATION);
}

NTSTATUS CallHandler(WaveCyclicPort& port, WaveCyclicPin* pin, const PCPROPERTY_ITEM& item, Captured& request,
                     PIRP irp, ULONG& returned)
{
    if ((item.Flags & request.verb) == 0) {
        return request.verb == KSPROPERTY_TYPE_BASICSUPPORT
                   ? DefaultBasicSupport(item.Flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET), request, returned)
                   : STATUS_INVALID_DEVICE_REQUEST;
    }
    if (item.Handler == nullptr) {
        return STATUS_NOT_IMPLEMENTED;
    }
    PUNKNOWN miniport = port.ReferenceUnknownMiniport();
    if (miniport == nullptr) {
        return STATUS_DELETE_PENDING;
    }
    PCPROPERTY_REQUEST call = {};
    call.MajorTarget = miniport;
    call.MinorTarget = pin == nullptr ? nullptr : pin->Stream();
    call.Node = request.node;
    call.PropertyItem = &item;
    call.Verb = request.verb;
    call.InstanceSize = ULONG(request.instance.size());
    call.Instance = request.instance.empty() ? nullptr : request.instance.data();
    call.ValueSize = ULONG(request.value.size());
    call.Value = request.value.empty() ? nullptr : request.value.data();
    call.Irp = irp;
    const NTSTATUS status = item.Handler(&call);
    miniport->Release();
    returned = call.ValueSize;
    return status;
}

bool Capture(PIRP irp, Captured& request)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const auto* input = static_cast<const UCHAR*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
    if (input == nullptr || inputLength < sizeof(KSPROPERTY)) {
        return false;
    }
    std::memcpy(&request.property, input, sizeof(KSPROPERTY));
    request.topology = (request.property.Flags & KSPROPERTY_TYPE_TOPOLOGY) != 0;
    request.verb = request.property.Flags & ~ULONG(KSPROPERTY_TYPE_TOPOLOGY);
    if (request.verb != KSPROPERTY_TYPE_GET && request.verb != KSPROPERTY_TYPE_SET &&
        request.verb != KSPROPERTY_TYPE_BASICSUPPORT) {
        return false;
    }
    ULONG header = sizeof(KSPROPERTY);
    if (request.topology) {
        if (inputLength < sizeof(KSP_NODE)) {
            return false;
        }
        KSP_NODE node;
        std::memcpy(&node, input, sizeof node);
        request.node = node.NodeId;
        header = sizeof(KSP_NODE);
    }
    request.instance.assign(input + header, input + inputLength);
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (outputLength != 0 && irp->UserBuffer == nullptr) {
        return false;
    }
    request.value.assign(outputLength, 0);
    if (request.verb == KSPROPERTY_TYPE_SET && outputLength != 0) {
        std::memcpy(request.value.data(), irp->UserBuffer, outputLength);
    }
    return true;
}

}  // namespace

NTSTATUS DispatchProperty(KsObject& object, PIRP irp)
{
    PAGED_CODE();
    Captured request;
    if (!Capture(irp, request)) {
        return STATUS_INVALID_PARAMETER;
    }
    static_assert((kVerbs & KSPROPERTY_TYPE_TOPOLOGY) == 0, "the topology flag is no verb");
    WaveCyclicPort& port = *object.port;
    WaveCyclicPin* pin = object.pin;
    ULONG returned = 0;
    NTSTATUS status;
    const KSPROPERTY& property = request.property;
    if (pin != nullptr && !request.topology && IsEqualGUID(property.Set, KSPROPSETID_Connection) &&
        property.Id == KSPROPERTY_CONNECTION_STATE) {
        status = ConnectionState(*pin, request, returned);
    } else if (pin != nullptr && !request.topology && IsEqualGUID(property.Set, KSPROPSETID_Audio) &&
               property.Id == KSPROPERTY_AUDIO_POSITION) {
        status = AudioPosition(*pin, request, returned);
    } else if (pin == nullptr && !request.topology && IsPinFactoryProperty(property)) {
        status = PinFactoryProperty(port, request, returned);
    } else {
        const PCAUTOMATION_TABLE* table;
        bool nodeExists = true;
        if (request.topology) {
            table = port.NodeAutomation(request.node, &nodeExists);
        } else {
            table = pin != nullptr ? port.PinAutomation(pin->PinId()) : port.FilterAutomation();
        }
        const PCPROPERTY_ITEM* item = FindItem(table, property);
        if (!nodeExists) {
            status = STATUS_INVALID_DEVICE_REQUEST;
        } else if (item == nullptr) {
            status = STATUS_NOT_FOUND;
        } else {
            status = CallHandler(port, pin, *item, request, irp, returned);
        }
    }
    if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) {
        const ULONG copied = std::min<ULONG>(returned, ULONG(request.value.size()));
        if (request.verb != KSPROPERTY_TYPE_SET && copied != 0 && NT_SUCCESS(status)) {
            std::memcpy(irp->UserBuffer, request.value.data(), copied);
        }
        irp->IoStatus.Information = request.verb == KSPROPERTY_TYPE_SET ? 0 : returned;
    }
    return status;
}

}  // namespace sim::portcls
