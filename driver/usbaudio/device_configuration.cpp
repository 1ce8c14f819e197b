// Configuring the device for audio: the configuration request with the audio interfaces, every
// streaming interface on its zero-bandwidth alternate, and the pipes of the current alternates.
#include "driver/trace.h"
#include "driver/usbaudio/audio_quirks.h"
#include "driver/usbaudio/usb_audio_cl.h"

using namespace usbaudio;

namespace {


}  // namespace

// IRQL: PASSIVE_LEVEL. The Audio Control interface, then alternate 0 of every streaming interface,
// then the empty entry that ends the list.
PUSBD_INTERFACE_LIST_ENTRY CUSBAudioCL::CreateAudioInterfaceList(LONG* count)
{
    const LONG entries = m_Model.GetStreamingInterfaceCount() + 1;
    const SIZE_T bytes = SIZE_T(entries + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
    auto* list =
        static_cast<PUSBD_INTERFACE_LIST_ENTRY>(ExAllocatePoolWithTag(GetPoolType(), bytes, kDefaultPoolTag));
    if (list == nullptr) {
        return nullptr;
    }
    RtlZeroMemory(list, bytes);
    list[0].InterfaceDescriptor = const_cast<PUSB_INTERFACE_DESCRIPTOR>(m_Model.GetAcInterface());
    LONG filled = 1;
    for (StreamingInterface* record = m_Model.GetFirstStreamingInterface(); record != nullptr; record = record->Next) {
        list[filled++].InterfaceDescriptor = const_cast<PUSB_INTERFACE_DESCRIPTOR>(record->Alternates[0].Interface);
    }
    *count = entries;
    return list;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioCL::ConfigureDevice()
{
    PAGED_CODE();
    LONG count = 0;
    PUSBD_INTERFACE_LIST_ENTRY list = (m_Model.GetQuirks() & kQuirkConfigureAllInterfaces) != 0
                                          ? CreateInterfaceList(&count)
                                          : CreateAudioInterfaceList(&count);
    if (list == nullptr) {
        R9_TRACE("CUSBAudioCL::ConfigureDevice: no interface list\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = ConfigurationRequest(list, count);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("CUSBAudioCL::ConfigureDevice: configuration request failed 0x%08X\n", unsigned(status));
    }
    for (StreamingInterface* record = m_Model.GetFirstStreamingInterface(); record != nullptr && NT_SUCCESS(status);
         record = record->Next) {
        record->CurrentAlternate = 0;
        status = SelectAlternate(record->InterfaceNumber, 0);
        if (!NT_SUCCESS(status)) {
            R9_TRACE("CUSBAudioCL::ConfigureDevice: interface %u refused alternate 0 (0x%08X)\n",
                     unsigned(record->InterfaceNumber), unsigned(status));
        }
    }
    if (NT_SUCCESS(status)) {
        status = RefreshPipes();
    }
    ExFreePoolWithTag(list, kDefaultPoolTag);
    return status;
}

// IRQL: PASSIVE_LEVEL. A pipe that cannot be found fails the whole refresh but not the lookups of
// the other interfaces.
NTSTATUS CUSBAudioCL::RefreshPipes()
{
    PAGED_CODE();
    NTSTATUS result = STATUS_SUCCESS;
    for (StreamingInterface* record = m_Model.GetFirstStreamingInterface(); record != nullptr; record = record->Next) {
        const NTSTATUS status = RefreshInterfacePipes(record);
        if (!NT_SUCCESS(status)) {
            result = status;
        }
    }
    return result;
}

NTSTATUS CUSBAudioCL::RefreshInterfacePipes(StreamingInterface* record)
{
    const AlternateSetting& alternate = record->Alternates[record->CurrentAlternate];
    NTSTATUS status = STATUS_SUCCESS;
    record->DataPipe = LookUpPipe(alternate.DataEndpoint, &status);
    record->FeedbackPipe = LookUpPipe(alternate.FeedbackEndpoint, &status);
    return status;
}

PUSBD_PIPE_INFORMATION CUSBAudioCL::LookUpPipe(const USB_ENDPOINT_DESCRIPTOR* endpoint, NTSTATUS* status)
{
    if (endpoint == nullptr) {
        return nullptr;
    }
    PUSBD_PIPE_INFORMATION pipe = FindPipe(endpoint->bEndpointAddress);
    if (pipe == nullptr) {
        R9_TRACE("CUSBAudioCL: no pipe for endpoint 0x%02X\n", unsigned(endpoint->bEndpointAddress));
        *status = STATUS_NOT_SUPPORTED;
        return nullptr;
    }
    CheckPipeInterval(pipe);
    return pipe;
}

// Devices state isochronous intervals the driver cannot serve: above 2^(4-1) microframes a high-
// speed packet would cover more than a millisecond, and a full-speed isochronous endpoint has one
// packet per frame whatever it says. The corrected interval is what all packet arithmetic uses.
UCHAR CUSBAudioCL::ServableInterval(UCHAR interval) const
{
    if (!IsHighSpeed()) {
        return 1;
    }
    return interval == 0 ? UCHAR(1) : (interval > kHighSpeedLongestInterval ? UCHAR(kHighSpeedLongestInterval) : interval);
}

void CUSBAudioCL::CheckPipeInterval(PUSBD_PIPE_INFORMATION pipe) const
{
    if (pipe->PipeType != UsbdPipeTypeIsochronous) {
        return;
    }
    const UCHAR corrected = ServableInterval(pipe->Interval);
    if (corrected != pipe->Interval) {
        R9_TRACE("CUSBAudioCL: endpoint 0x%02X interval %u taken as %u\n", unsigned(pipe->EndpointAddress),
                 unsigned(pipe->Interval), unsigned(corrected));
        pipe->Interval = corrected;
    }
}
