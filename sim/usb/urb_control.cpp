// Requests on the default pipe: descriptor reads, class and vendor requests, and the configuration
// and interface selections (SET_CONFIGURATION / SET_INTERFACE plus opening the pipes). Each is a
// control transfer: it is queued, reaches the device at the next frame boundary (one per frame),
// and completes there, at DISPATCH_LEVEL, like every other transfer.
#include <cstddef>
#include <cstring>

#include "sim/usb/bus_device.h"
#include "sim/usb/bus_time.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/usbd_status.h"

namespace sim::usb {

namespace {

constexpr uint8_t kClassType = 1;
constexpr uint8_t kVendorType = 2;
constexpr size_t kInterfaceHeadLength = offsetof(USBD_INTERFACE_INFORMATION, Pipes);

bool LongEnough(PURB urb)
{
    const size_t length = urb->UrbHeader.Length;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return length >= offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    case URB_FUNCTION_SELECT_INTERFACE:
        return length >= offsetof(struct _URB_SELECT_INTERFACE, Interface) + kInterfaceHeadLength;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return length >= sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    default:
        return length >= sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    }
}

// Where the data stage of a class, vendor or descriptor request goes; a missing buffer is only
// acceptable without a data stage.
bool HasBuffer(PURB urb)
{
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
    case URB_FUNCTION_SELECT_INTERFACE:
        return true;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        const auto& request = urb->UrbControlDescriptorRequest;
        return request.TransferBufferLength == 0 ||
               UrbBuffer(request.TransferBuffer, request.TransferBufferMDL) != nullptr;
    }
    default: {
        const auto& request = urb->UrbControlVendorClassRequest;
        return request.TransferBufferLength == 0 ||
               UrbBuffer(request.TransferBuffer, request.TransferBufferMDL) != nullptr;
    }
    }
}

uint8_t RequestType(USHORT function)
{
    switch (function) {
    case URB_FUNCTION_CLASS_DEVICE: return kClassType << 5 | BMREQUEST_TO_DEVICE;
    case URB_FUNCTION_CLASS_INTERFACE: return kClassType << 5 | BMREQUEST_TO_INTERFACE;
    case URB_FUNCTION_CLASS_ENDPOINT: return kClassType << 5 | BMREQUEST_TO_ENDPOINT;
    case URB_FUNCTION_CLASS_OTHER: return kClassType << 5 | BMREQUEST_TO_OTHER;
    case URB_FUNCTION_VENDOR_DEVICE: return kVendorType << 5 | BMREQUEST_TO_DEVICE;
    case URB_FUNCTION_VENDOR_INTERFACE: return kVendorType << 5 | BMREQUEST_TO_INTERFACE;
    case URB_FUNCTION_VENDOR_ENDPOINT: return kVendorType << 5 | BMREQUEST_TO_ENDPOINT;
    default: return kVendorType << 5 | BMREQUEST_TO_OTHER;
    }
}

USBD_PIPE_TYPE PipeType(const EndpointLayout& endpoint)
{
    switch (endpoint.TransferType()) {
    case USB_ENDPOINT_TYPE_ISOCHRONOUS: return UsbdPipeTypeIsochronous;
    case USB_ENDPOINT_TYPE_BULK: return UsbdPipeTypeBulk;
    case USB_ENDPOINT_TYPE_INTERRUPT: return UsbdPipeTypeInterrupt;
    default: return UsbdPipeTypeControl;
    }
}

// bInterval of an isochronous endpoint is an exponent at both speeds: 2^(bInterval-1) frames at
// full speed, microframes at high speed.
int64_t PeriodOf(const EndpointLayout& endpoint)
{
    const int exponent = endpoint.interval == 0 ? 0 : (endpoint.interval > 16 ? 15 : endpoint.interval - 1);
    return int64_t(1) << exponent;
}

}  // namespace

NTSTATUS BusDevice::QueueControlLocked(PIRP irp, PURB urb, int64_t nowNs)
{
    if (!LongEnough(urb) || !HasBuffer(urb)) {
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
        return STATUS_INVALID_PARAMETER;
    }
    const int64_t after = lastControlNs_ > nowNs ? lastControlNs_ : nowNs;
    const BusClock& clock = controller_.Clock();
    lastControlNs_ = clock.FrameStartNs(clock.FrameAt(after) + 1);
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    IoMarkIrpPending(irp);
    control_.push_back({irp, urb, lastControlNs_});
    return STATUS_PENDING;
}

void BusDevice::ExecuteControlLocked(PURB urb, CompletionList& done)
{
    USBD_STATUS status;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        status = SelectConfigurationLocked(urb, done);
        break;
    case URB_FUNCTION_SELECT_INTERFACE:
        status = SelectInterfaceLocked(urb, done);
        break;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        status = GetDescriptorLocked(urb);
        break;
    default:
        status = ClassOrVendorRequestLocked(urb);
        break;
    }
    urb->UrbHeader.Status = status;
}

USBD_STATUS BusDevice::GetDescriptorLocked(PURB urb)
{
    auto& request = urb->UrbControlDescriptorRequest;
    const ULONG wanted = request.TransferBufferLength > 0xFFFF ? 0xFFFF : request.TransferBufferLength;
    SetupPacket setup;
    setup.requestType = 0x80;
    setup.request = USB_REQUEST_GET_DESCRIPTOR;
    setup.value = USHORT(request.DescriptorType << 8 | request.Index);
    setup.index = request.LanguageId;
    setup.length = USHORT(wanted);
    const ControlReply reply = model_->Control(setup, nullptr, 0);
    if (reply.stall) {
        request.TransferBufferLength = 0;
        return USBD_STATUS_STALL_PID;
    }
    const ULONG sent = reply.data.size() < wanted ? ULONG(reply.data.size()) : wanted;
    if (sent != 0) {
        std::memcpy(UrbBuffer(request.TransferBuffer, request.TransferBufferMDL), reply.data.data(), sent);
    }
    request.TransferBufferLength = sent;
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS BusDevice::ClassOrVendorRequestLocked(PURB urb)
{
    auto& request = urb->UrbControlVendorClassRequest;
    if (request.TransferBufferLength > 0xFFFF) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    const bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    uint8_t* buffer = UrbBuffer(request.TransferBuffer, request.TransferBufferMDL);
    SetupPacket setup;
    setup.requestType =
        uint8_t((in ? 0x80 : 0) | RequestType(urb->UrbHeader.Function) | request.RequestTypeReservedBits);
    setup.request = request.Request;
    setup.value = request.Value;
    setup.index = request.Index;
    setup.length = USHORT(request.TransferBufferLength);
    const ControlReply reply =
        model_->Control(setup, in ? nullptr : buffer, in ? 0 : size_t(request.TransferBufferLength));
    if (reply.stall) {
        if (in) {
            request.TransferBufferLength = 0;
        }
        return USBD_STATUS_STALL_PID;
    }
    if (in) {
        // A short data stage ends a control read early; that is not an error on the default pipe.
        const ULONG sent = reply.data.size() < setup.length ? ULONG(reply.data.size()) : setup.length;
        if (sent != 0) {
            std::memcpy(buffer, reply.data.data(), sent);
        }
        request.TransferBufferLength = sent;
    }
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS BusDevice::SelectConfigurationLocked(PURB urb, CompletionList& done)
{
    auto& request = urb->UrbSelectConfiguration;
    SetupPacket setup;
    setup.request = USB_REQUEST_SET_CONFIGURATION;
    if (request.ConfigurationDescriptor == nullptr) {
        CloseConfigurationLocked(USBD_STATUS_CANCELED, done);
        model_->Control(setup, nullptr, 0);
        request.ConfigurationHandle = nullptr;
        return USBD_STATUS_SUCCESS;
    }
    // The caller's copy of the descriptor set holds wTotalLength bytes: that is the contract.
    const auto* bytes = reinterpret_cast<const uint8_t*>(request.ConfigurationDescriptor);
    Bytes copy(bytes, bytes + request.ConfigurationDescriptor->wTotalLength);
    std::optional<ConfigurationLayout> layout = ParseConfiguration(copy);
    if (!layout) {
        return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    }

    // The interfaces follow each other to the end of the URB, each as long as its Length says.
    std::vector<std::pair<PUSBD_INTERFACE_INFORMATION, const AlternateLayout*>> wanted;
    auto* at = reinterpret_cast<uint8_t*>(&request.Interface);
    const uint8_t* end = reinterpret_cast<uint8_t*>(urb) + urb->UrbHeader.Length;
    while (end - at >= std::ptrdiff_t(kInterfaceHeadLength)) {
        auto* information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
        if (information->Length < kInterfaceHeadLength || information->Length > end - at) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        const AlternateLayout* alternate = layout->Find(information->InterfaceNumber, information->AlternateSetting);
        if (alternate == nullptr) {
            return USBD_STATUS_INTERFACE_NOT_FOUND;
        }
        if (alternate->endpoints.size() != alternate->declaredEndpoints) {
            return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
        }
        if (information->Length < GET_USBD_INTERFACE_SIZE(alternate->endpoints.size())) {
            return USBD_STATUS_BUFFER_TOO_SMALL;
        }
        wanted.emplace_back(information, alternate);
        at += information->Length;
    }
    if (wanted.empty()) {
        return USBD_STATUS_INVALID_PARAMETER;
    }

    setup.value = layout->configurationValue;
    if (model_->Control(setup, nullptr, 0).stall) {
        return USBD_STATUS_SET_CONFIG_FAILED;
    }
    CloseConfigurationLocked(USBD_STATUS_CANCELED, done);
    for (const auto& [information, alternate] : wanted) {
        if (alternate->alternate != 0) {
            SetupPacket setInterface;
            setInterface.requestType = BMREQUEST_TO_INTERFACE;
            setInterface.request = USB_REQUEST_SET_INTERFACE;
            setInterface.value = alternate->alternate;
            setInterface.index = alternate->interfaceNumber;
            if (model_->Control(setInterface, nullptr, 0).stall) {
                return USBD_STATUS_SET_CONFIG_FAILED;
            }
        }
    }
    configurationCopy_ = std::move(copy);
    configuration_ = std::move(*layout);
    configurationHandle_ = controller_.NewHandleLocked();
    // The layout's alternates live in configuration_ now; look them up there again.
    for (const auto& [information, alternate] : wanted) {
        OpenInterfaceLocked(*configuration_.Find(alternate->interfaceNumber, alternate->alternate), information);
    }
    request.ConfigurationHandle = configurationHandle_;
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS BusDevice::SelectInterfaceLocked(PURB urb, CompletionList& done)
{
    auto& request = urb->UrbSelectInterface;
    if (request.ConfigurationHandle == nullptr || request.ConfigurationHandle != configurationHandle_) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    PUSBD_INTERFACE_INFORMATION information = &request.Interface;
    const size_t room = urb->UrbHeader.Length - offsetof(struct _URB_SELECT_INTERFACE, Interface);
    if (information->Length > room) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    auto open = interfaces_.find(information->InterfaceNumber);
    const AlternateLayout* alternate = configuration_.Find(information->InterfaceNumber, information->AlternateSetting);
    if (open == interfaces_.end() || alternate == nullptr) {
        return USBD_STATUS_INTERFACE_NOT_FOUND;
    }
    if (alternate->endpoints.size() != alternate->declaredEndpoints) {
        return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    }
    if (information->Length < GET_USBD_INTERFACE_SIZE(alternate->endpoints.size())) {
        return USBD_STATUS_BUFFER_TOO_SMALL;
    }
    SetupPacket setup;
    setup.requestType = BMREQUEST_TO_INTERFACE;
    setup.request = USB_REQUEST_SET_INTERFACE;
    setup.value = alternate->alternate;
    setup.index = alternate->interfaceNumber;
    if (model_->Control(setup, nullptr, 0).stall) {
        return USBD_STATUS_STALL_PID;
    }
    ClosePipesLocked(open->second.pipes, USBD_STATUS_CANCELED, done);
    OpenInterfaceLocked(*alternate, information);
    return USBD_STATUS_SUCCESS;
}

void BusDevice::OpenInterfaceLocked(const AlternateLayout& alternate, PUSBD_INTERFACE_INFORMATION information)
{
    OpenInterface& open = interfaces_[alternate.interfaceNumber];
    if (open.handle == nullptr) {
        open.handle = controller_.NewHandleLocked();
    }
    open.alternate = alternate.alternate;
    open.pipes.clear();

    information->Class = alternate.interfaceClass;
    information->SubClass = alternate.subclass;
    information->Protocol = alternate.protocol;
    information->Reserved = 0;
    information->InterfaceHandle = open.handle;
    information->NumberOfPipes = ULONG(alternate.endpoints.size());
    for (size_t i = 0; i < alternate.endpoints.size(); ++i) {
        const EndpointLayout& endpoint = alternate.endpoints[i];
        Pipe pipe;
        pipe.handle = controller_.NewHandleLocked();
        pipe.interfaceNumber = alternate.interfaceNumber;
        pipe.endpoint = endpoint;
        pipe.period = PeriodOf(endpoint);

        USBD_PIPE_INFORMATION& out = information->Pipes[i];
        out.MaximumPacketSize = endpoint.maxPacketSize;
        out.EndpointAddress = endpoint.address;
        out.Interval = endpoint.interval;
        out.PipeType = PipeType(endpoint);
        out.PipeHandle = pipe.handle;
        open.pipes.push_back(pipe.handle);
        pipes_.emplace(reinterpret_cast<uintptr_t>(pipe.handle), std::move(pipe));
    }
}

}  // namespace sim::usb
