// The start sequence: host controller identity, IRP pool, bus interface, bus speed, and the
// descriptors every later step reads.
#include "driver/trace.h"
#include "driver/usb/usb_device.h"

namespace {

constexpr ULONG kDefaultIrpCount = 10;
// Room added to the controller name the hub reports, so it always ends in a null.
constexpr ULONG kNameSlack = 4;
constexpr ULONG kLanguageIdHeaderBytes = 4;

// IRQL: <= DISPATCH_LEVEL. Hands an IRP sent with IoCallDriver back to its sender.
NTSTATUS SignalSender(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBCL::InitializeDevice(PDEVICE_OBJECT lowerDevice, ULONG irpCount)
{
    PAGED_CODE();
    m_LowerDevice = lowerDevice;
    QueryControllerInfo();

    const ULONG count = irpCount == 0 ? kDefaultIrpCount : irpCount;
    for (ULONG i = 0; i < count; ++i) {
        PIRP irp = IoAllocateIrp(lowerDevice->StackSize, FALSE);
        if (irp == nullptr) {
            R9_TRACE("CUSBCL::InitializeDevice: IRP %u of the pool not allocated\n", unsigned(i));
            continue;
        }
        RecycleIrp(irp);
    }

    NTSTATUS status = GetBusInterface();
    if (NT_SUCCESS(status)) {
        status = QueryHighSpeed();
    }
    if (NT_SUCCESS(status)) {
        status = ReadDeviceDescriptor();
    }
    if (NT_SUCCESS(status)) {
        status = ReadConfigurationDescriptor();
    }
    if (NT_SUCCESS(status)) {
        status = ReadLanguageIds();
    }
    if (!NT_SUCCESS(status)) {
        R9_TRACE("CUSBCL::InitializeDevice: failed 0x%08X\n", unsigned(status));
    }
    return status;
}

// The controller's PCI vendor and flavour steer one workaround of device start; without them the
// driver simply runs without it, so nothing here can fail the start.
void CUSBCL::QueryControllerInfo()
{
    USB_HUB_NAME probe;
    RtlZeroMemory(&probe, sizeof probe);
    NTSTATUS status = SendInternalRequest(IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME, &probe,
                                          reinterpret_cast<PVOID>(ULONG_PTR(sizeof probe)),
                                          STATUS_INSUFFICIENT_RESOURCES);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("CUSBCL::QueryControllerInfo: controller name length not read 0x%08X\n", unsigned(status));
        return;
    }
    const ULONG nameLength = probe.ActualLength + kNameSlack;
    auto* name = static_cast<PUSB_HUB_NAME>(ExAllocatePoolWithTag(m_PoolType, nameLength, kDefaultPoolTag));
    if (name == nullptr) {
        R9_TRACE("CUSBCL::QueryControllerInfo: no memory for the controller name\n");
        return;
    }
    RtlZeroMemory(name, nameLength);
    status = SendInternalRequest(IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME, name,
                                 reinterpret_cast<PVOID>(ULONG_PTR(nameLength)), STATUS_INSUFFICIENT_RESOURCES);
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT controller = nullptr;
    if (NT_SUCCESS(status)) {
        // HubName follows the 4-byte length inside the packed structure, so it is WCHAR-aligned.
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, reinterpret_cast<PWCHAR>(reinterpret_cast<PUCHAR>(name) +
                                                             FIELD_OFFSET(USB_HUB_NAME, HubName)));
        status = IoGetDeviceObjectPointer(&text, FILE_ALL_ACCESS, &file, &controller);
    }
    ExFreePoolWithTag(name, kDefaultPoolTag);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("CUSBCL::QueryControllerInfo: controller not opened 0x%08X\n", unsigned(status));
        return;
    }

    USBUSER_CONTROLLER_INFO_0 request;
    RtlZeroMemory(&request, sizeof request);
    request.Header.UsbUserRequest = USBUSER_GET_CONTROLLER_INFO_0;
    request.Header.RequestBufferLength = sizeof request;
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_USB_USER_REQUEST, controller, &request, sizeof request, &request,
                                             sizeof request, FALSE, &event, &ioStatus);
    status = irp == nullptr ? STATUS_INSUFFICIENT_RESOURCES
                            : CallLowerSynchronously(controller, irp, &event, &ioStatus);
    if (NT_SUCCESS(status)) {
        RtlCopyMemory(&m_ControllerInfo, &request.Info0, sizeof m_ControllerInfo);
    } else {
        R9_TRACE("CUSBCL::QueryControllerInfo: controller information not read 0x%08X\n", unsigned(status));
    }
    ObDereferenceObject(file);
}

// IRQL: PASSIVE_LEVEL. IRP_MN_QUERY_INTERFACE for the USBDI interface, version 1, into
// `busInterface`. A PnP request must start as not supported: a stack that does not know the
// interface leaves that status in place.
NTSTATUS CUSBCL::QueryUsbdiInterface(PUSB_BUS_INTERFACE_USBDI_V1 busInterface)
{
    PIRP irp = IoAllocateIrp(m_LowerDevice->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, &SignalSender, &event, TRUE, TRUE, TRUE);

    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
    stack->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
    stack->Parameters.QueryInterface.Size = sizeof(USB_BUS_INTERFACE_USBDI_V1);
    stack->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
    stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(busInterface);
    stack->Parameters.QueryInterface.InterfaceSpecificData = nullptr;

    if (IoCallDriver(m_LowerDevice, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBCL::GetBusInterface()
{
    PAGED_CODE();
    const NTSTATUS status = QueryUsbdiInterface(&m_BusInterface);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("CUSBCL::GetBusInterface: failed 0x%08X\n", unsigned(status));
    }
    return status;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBCL::QueryHighSpeed()
{
    PAGED_CODE();
    USB_BUS_INTERFACE_USBDI_V1 busInterface;
    RtlZeroMemory(&busInterface, sizeof busInterface);
    const NTSTATUS status = QueryUsbdiInterface(&busInterface);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("CUSBCL::QueryHighSpeed: failed 0x%08X\n", unsigned(status));
        return status;
    }
    if (busInterface.IsDeviceHighSpeed != nullptr) {
        m_HighSpeed = busInterface.IsDeviceHighSpeed(busInterface.BusContext) != FALSE;
    }
    return status;
}

NTSTATUS CUSBCL::ReadDescriptor(UCHAR type, UCHAR index, PVOID buffer, ULONG length, PULONG returned)
{
    URB urb;
    RtlZeroMemory(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, 0, buffer, nullptr,
                                 length, nullptr);
    const NTSTATUS status = SubmitUrb(&urb);
    *returned = urb.UrbControlDescriptorRequest.TransferBufferLength;
    return status;
}

NTSTATUS CUSBCL::ReadDeviceDescriptor()
{
    ULONG returned = 0;
    const NTSTATUS status =
        ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, &m_DeviceDescriptor, sizeof m_DeviceDescriptor, &returned);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (returned != sizeof m_DeviceDescriptor) {
        R9_TRACE("CUSBCL: device descriptor of %u bytes\n", unsigned(returned));
        return STATUS_NOT_SUPPORTED;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUSBCL::ReadConfigurationDescriptor()
{
    USB_CONFIGURATION_DESCRIPTOR header;
    ULONG returned = 0;
    NTSTATUS status = ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, &header, sizeof header, &returned);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A set shorter than its own header cannot be right, and would be a zero-byte allocation.
    if (returned != sizeof header || header.wTotalLength < sizeof header) {
        R9_TRACE("CUSBCL: configuration header of %u bytes, wTotalLength %u\n", unsigned(returned),
                 unsigned(header.wTotalLength));
        return STATUS_NOT_SUPPORTED;
    }
    const ULONG totalLength = header.wTotalLength;
    m_ConfigurationDescriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(m_PoolType, totalLength, kDefaultPoolTag));
    if (m_ConfigurationDescriptor == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, m_ConfigurationDescriptor, totalLength, &returned);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (returned != totalLength) {
        R9_TRACE("CUSBCL: configuration set of %u bytes, wTotalLength %u\n", unsigned(returned), unsigned(totalLength));
        return STATUS_NOT_SUPPORTED;
    }
    // Everything after this reads the set by its own wTotalLength (the model, the stack's parsing
    // functions): a device that answered the full read with another one than the header read
    // would have them read past the buffer.
    if (m_ConfigurationDescriptor->wTotalLength != totalLength) {
        R9_TRACE("CUSBCL: wTotalLength changed from %u to %u\n", unsigned(totalLength),
                 unsigned(m_ConfigurationDescriptor->wTotalLength));
        return STATUS_NOT_SUPPORTED;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUSBCL::ReadLanguageIds()
{
    UCHAR header[kLanguageIdHeaderBytes] = {};
    ULONG returned = 0;
    NTSTATUS status = ReadDescriptor(USB_STRING_DESCRIPTOR_TYPE, 0, header, sizeof header, &returned);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("CUSBCL: no string descriptor 0: 0x%08X\n", unsigned(status));
        return status;
    }
    const ULONG length = header[0];
    if (returned != sizeof header || length == 0) {
        R9_TRACE("CUSBCL: string descriptor 0 of %u bytes, bLength %u\n", unsigned(returned), unsigned(length));
        return STATUS_NOT_SUPPORTED;
    }
    m_LanguageIds = static_cast<PUSB_STRING_DESCRIPTOR>(ExAllocatePoolWithTag(m_PoolType, length, kDefaultPoolTag));
    if (m_LanguageIds == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = ReadDescriptor(USB_STRING_DESCRIPTOR_TYPE, 0, m_LanguageIds, length, &returned);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (ULONG at = 2; at + 1 < returned; at += 2) {
        const PUCHAR bytes = reinterpret_cast<PUCHAR>(m_LanguageIds);
        R9_TRACE("CUSBCL: language 0x%04X\n", unsigned(bytes[at] | bytes[at + 1] << 8));
    }
    return STATUS_SUCCESS;
}
