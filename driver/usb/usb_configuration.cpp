// Configuration and alternate-setting selection, and the interface table the USB stack's answers
// fill: one copy of USBD_INTERFACE_INFORMATION per configured interface, guarded by the interface
// mutex against FindPipe.
#include "driver/mutex_holder.h"
#include "driver/trace.h"
#include "driver/usb/usb_device.h"

// IRQL: PASSIVE_LEVEL.
PUSBD_INTERFACE_LIST_ENTRY CUSBCL::CreateInterfaceList(LONG* count)
{
    PAGED_CODE();
    *count = 0;
    if (m_ConfigurationDescriptor == nullptr) {
        R9_TRACE("CUSBCL::CreateInterfaceList: no configuration descriptor\n");
        return nullptr;
    }
    const ULONG interfaces = m_ConfigurationDescriptor->bNumInterfaces;
    const ULONG bytes = (interfaces + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
    auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(ExAllocatePoolWithTag(m_PoolType, bytes, kDefaultPoolTag));
    if (list == nullptr) {
        R9_TRACE("CUSBCL::CreateInterfaceList: no memory\n");
        return nullptr;
    }
    RtlZeroMemory(list, bytes);
    ULONG filled = 0;
    for (ULONG number = 0; number < interfaces; ++number) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = USBD_ParseConfigurationDescriptorEx(
            m_ConfigurationDescriptor, m_ConfigurationDescriptor, LONG(number), 0, -1, -1, -1);
        if (descriptor != nullptr) {
            list[filled++].InterfaceDescriptor = descriptor;
        }
    }
    *count = LONG(interfaces);
    return list;
}

// IRQL: PASSIVE_LEVEL. The list ends early when an entry is empty; the table slots after it stay
// empty.
NTSTATUS CUSBCL::ConfigurationRequest(PUSBD_INTERFACE_LIST_ENTRY interfaceList, LONG count)
{
    PAGED_CODE();
    if (m_ConfigurationDescriptor == nullptr || interfaceList == nullptr || count <= 0) {
        R9_TRACE("CUSBCL::ConfigurationRequest: nothing to configure\n");
        return m_ConfigurationDescriptor == nullptr ? STATUS_UNSUCCESSFUL : STATUS_INVALID_PARAMETER;
    }
    PURB urb = USBD_CreateConfigurationRequestEx(m_ConfigurationDescriptor, interfaceList);
    if (urb == nullptr) {
        R9_TRACE("CUSBCL::ConfigurationRequest: URB not built\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = SubmitUrb(urb);
    if (NT_SUCCESS(status)) {
        m_ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        MutexHolder lock(&m_InterfaceMutex);
        FreeInterfaceTable();
        const ULONG bytes = ULONG(count) * sizeof(PUSBD_INTERFACE_INFORMATION);
        m_Interfaces =
            static_cast<PUSBD_INTERFACE_INFORMATION*>(ExAllocatePoolWithTag(m_PoolType, bytes, kDefaultPoolTag));
        if (m_Interfaces == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlZeroMemory(m_Interfaces, bytes);
            m_InterfaceCount = count;
            for (LONG j = 0; j < count && interfaceList[j].Interface != nullptr; ++j) {
                const USHORT length = interfaceList[j].Interface->Length;
                m_Interfaces[j] = static_cast<PUSBD_INTERFACE_INFORMATION>(
                    ExAllocatePoolWithTag(m_PoolType, length, kDefaultPoolTag));
                if (m_Interfaces[j] == nullptr) {
                    status = STATUS_INSUFFICIENT_RESOURCES;
                    break;
                }
                RtlCopyMemory(m_Interfaces[j], interfaceList[j].Interface, length);
            }
        }
        if (!NT_SUCCESS(status)) {
            R9_TRACE("CUSBCL::ConfigurationRequest: interface table not built\n");
            FreeInterfaceTable();
        }
    }
    ExFreePool(urb);
    return status;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBCL::SelectAlternate(UCHAR interfaceNumber, UCHAR alternate)
{
    PAGED_CODE();
    if (m_ConfigurationDescriptor == nullptr) {
        R9_TRACE("CUSBCL::SelectAlternate: no configuration descriptor\n");
        return STATUS_UNSUCCESSFUL;
    }
    MutexHolder lock(&m_InterfaceMutex);
    if (m_Interfaces == nullptr) {
        R9_TRACE("CUSBCL::SelectAlternate: not configured\n");
        return STATUS_UNSUCCESSFUL;
    }
    LONG slot = -1;
    for (LONG i = 0; i < m_InterfaceCount; ++i) {
        if (m_Interfaces[i] == nullptr) {
            R9_TRACE("CUSBCL::SelectAlternate: interface %u not in the table\n", unsigned(interfaceNumber));
            return STATUS_UNSUCCESSFUL;
        }
        if (m_Interfaces[i]->InterfaceNumber == interfaceNumber) {
            slot = i;
            break;
        }
    }
    PUSB_INTERFACE_DESCRIPTOR descriptor =
        slot < 0 ? nullptr
                 : USBD_ParseConfigurationDescriptorEx(m_ConfigurationDescriptor, m_ConfigurationDescriptor,
                                                       interfaceNumber, alternate, -1, -1, -1);
    if (descriptor == nullptr) {
        R9_TRACE("CUSBCL::SelectAlternate: no interface %u alternate %u\n", unsigned(interfaceNumber),
                 unsigned(alternate));
        return STATUS_INVALID_PARAMETER;
    }

    const USHORT urbLength = USHORT(GET_SELECT_INTERFACE_REQUEST_SIZE(descriptor->bNumEndpoints));
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(m_PoolType, urbLength, kDefaultPoolTag));
    if (urb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, urbLength);
    urb->UrbSelectInterface.Hdr.Length = urbLength;
    urb->UrbSelectInterface.Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
    urb->UrbSelectInterface.ConfigurationHandle = m_ConfigurationHandle;
    urb->UrbSelectInterface.Interface.Length = USHORT(GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints));
    urb->UrbSelectInterface.Interface.InterfaceNumber = interfaceNumber;
    urb->UrbSelectInterface.Interface.AlternateSetting = alternate;

    NTSTATUS status = SubmitUrb(urb);
    if (NT_SUCCESS(status)) {
        const USHORT length = urb->UrbSelectInterface.Interface.Length;
        auto* copy =
            static_cast<PUSBD_INTERFACE_INFORMATION>(ExAllocatePoolWithTag(m_PoolType, length, kDefaultPoolTag));
        if (copy == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlCopyMemory(copy, &urb->UrbSelectInterface.Interface, length);
            ExFreePoolWithTag(m_Interfaces[slot], kDefaultPoolTag);
            m_Interfaces[slot] = copy;
        }
    }
    ExFreePoolWithTag(urb, kDefaultPoolTag);
    return status;
}

// IRQL: PASSIVE_LEVEL (it takes the interface mutex).
PUSBD_PIPE_INFORMATION CUSBCL::FindPipe(UCHAR endpointAddress)
{
    MutexHolder lock(&m_InterfaceMutex);
    for (LONG i = 0; i < m_InterfaceCount && m_Interfaces != nullptr; ++i) {
        PUSBD_INTERFACE_INFORMATION information = m_Interfaces[i];
        if (information == nullptr) {
            continue;
        }
        for (ULONG p = 0; p < information->NumberOfPipes; ++p) {
            if (information->Pipes[p].EndpointAddress == endpointAddress) {
                return &information->Pipes[p];
            }
        }
    }
    return nullptr;
}
