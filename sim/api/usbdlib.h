// Client helpers of the USB stack (usbdlib.h) for the host build: URB sizes, the UsbBuild*
// request builders and the descriptor-parsing functions that usbd.sys exports on Windows.
#pragma once

#include "sim/api/base_types.h"
#include "sim/api/usb_descriptors.h"
#include "sim/api/usb_urb.h"

// One entry per interface given to USBD_CreateConfigurationRequestEx; the list ends with an entry
// whose InterfaceDescriptor is null. The function points Interface into the URB it builds.
typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

#define URB_STATUS(urb) ((urb)->UrbHeader.Status)

#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)                                   \
    (sizeof(struct _URB_SELECT_CONFIGURATION) + ((totalInterfaces)-1) * sizeof(USBD_INTERFACE_INFORMATION) + \
     ((totalPipes) - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION))

#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes) \
    (sizeof(struct _URB_SELECT_INTERFACE) + ((totalPipes)-1) * sizeof(USBD_PIPE_INFORMATION))

#define GET_USBD_INTERFACE_SIZE(numEndpoints)                                              \
    (sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION) * (numEndpoints) - \
     sizeof(USBD_PIPE_INFORMATION))

// One descriptor more than NumberOfPackets: the size the published macro gives (920 for 64).
#define GET_ISO_URB_SIZE(n) (sizeof(struct _URB_ISOCH_TRANSFER) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) * (n))

// The request builders set only the fields they name; the caller zeroes the URB first.
inline void UsbBuildInterruptOrBulkTransferRequest(PURB urb, USHORT length, USBD_PIPE_HANDLE pipeHandle,
                                                   PVOID transferBuffer, PMDL transferBufferMDL,
                                                   ULONG transferBufferLength, ULONG transferFlags, PURB link)
{
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbHeader.Length = length;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = pipeHandle;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = transferBufferLength;
    urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = transferBufferMDL;
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = transferBuffer;
    urb->UrbBulkOrInterruptTransfer.TransferFlags = transferFlags;
    urb->UrbBulkOrInterruptTransfer.UrbLink = link;
}

inline void UsbBuildGetDescriptorRequest(PURB urb, USHORT length, UCHAR descriptorType, UCHAR descriptorIndex,
                                         USHORT languageId, PVOID transferBuffer, PMDL transferBufferMDL,
                                         ULONG transferBufferLength, PURB link)
{
    urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb->UrbHeader.Length = length;
    urb->UrbControlDescriptorRequest.TransferBufferLength = transferBufferLength;
    urb->UrbControlDescriptorRequest.TransferBufferMDL = transferBufferMDL;
    urb->UrbControlDescriptorRequest.TransferBuffer = transferBuffer;
    urb->UrbControlDescriptorRequest.DescriptorType = descriptorType;
    urb->UrbControlDescriptorRequest.Index = descriptorIndex;
    urb->UrbControlDescriptorRequest.LanguageId = languageId;
    urb->UrbControlDescriptorRequest.UrbLink = link;
}

inline void UsbBuildGetStatusRequest(PURB urb, USHORT op, USHORT index, PVOID transferBuffer, PMDL transferBufferMDL,
                                     PURB link)
{
    urb->UrbHeader.Function = op;
    urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
    urb->UrbControlGetStatusRequest.TransferBufferLength = sizeof(USHORT);
    urb->UrbControlGetStatusRequest.TransferBufferMDL = transferBufferMDL;
    urb->UrbControlGetStatusRequest.TransferBuffer = transferBuffer;
    urb->UrbControlGetStatusRequest.Index = index;
    urb->UrbControlGetStatusRequest.UrbLink = link;
}

inline void UsbBuildFeatureRequest(PURB urb, USHORT op, USHORT featureSelector, USHORT index, PURB link)
{
    urb->UrbHeader.Function = op;
    urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
    urb->UrbControlFeatureRequest.FeatureSelector = featureSelector;
    urb->UrbControlFeatureRequest.Index = index;
    urb->UrbControlFeatureRequest.UrbLink = link;
}

inline void UsbBuildSelectConfigurationRequest(PURB urb, USHORT length,
                                               PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor)
{
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = length;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = configurationDescriptor;
}

// The interface information's Length is what remains of the URB after the header and handle.
inline void UsbBuildSelectInterfaceRequest(PURB urb, USHORT length, USBD_CONFIGURATION_HANDLE configurationHandle,
                                           UCHAR interfaceNumber, UCHAR alternateSetting)
{
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    urb->UrbHeader.Length = length;
    urb->UrbSelectInterface.Interface.AlternateSetting = alternateSetting;
    urb->UrbSelectInterface.Interface.InterfaceNumber = interfaceNumber;
    urb->UrbSelectInterface.Interface.Length =
        (USHORT)(length - sizeof(struct _URB_HEADER) - sizeof(USBD_CONFIGURATION_HANDLE));
    urb->UrbSelectInterface.ConfigurationHandle = configurationHandle;
}

inline void UsbBuildVendorRequest(PURB urb, USHORT cmd, USHORT length, ULONG transferFlags, UCHAR reservedBits,
                                  UCHAR request, USHORT value, USHORT index, PVOID transferBuffer,
                                  PMDL transferBufferMDL, ULONG transferBufferLength, PURB link)
{
    urb->UrbHeader.Function = cmd;
    urb->UrbHeader.Length = length;
    urb->UrbControlVendorClassRequest.TransferBufferLength = transferBufferLength;
    urb->UrbControlVendorClassRequest.TransferBufferMDL = transferBufferMDL;
    urb->UrbControlVendorClassRequest.TransferBuffer = transferBuffer;
    urb->UrbControlVendorClassRequest.RequestTypeReservedBits = reservedBits;
    urb->UrbControlVendorClassRequest.Request = request;
    urb->UrbControlVendorClassRequest.Value = value;
    urb->UrbControlVendorClassRequest.Index = index;
    urb->UrbControlVendorClassRequest.TransferFlags = transferFlags;
    urb->UrbControlVendorClassRequest.UrbLink = link;
}

// Searches [DescriptorBuffer, DescriptorBuffer + TotalLength) from StartPosition (inclusive) for the
// first descriptor of DescriptorType. Returns null when none is found, when StartPosition lies
// outside the buffer, or when a descriptor with a bLength below 2 or reaching past the end is met
// first: the walk stops there rather than trusting the device's lengths.
PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                                   LONG DescriptorType);

// Searches the configuration descriptor set (wTotalLength bytes, which the buffer must hold) from
// StartPosition (inclusive) for the first interface descriptor matching every criterion that is
// not -1. Interface descriptors shorter than 9 bytes never match. Null when none matches.
PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol);

// The first interface descriptor with this number and alternate, searched from the start.
PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                                  UCHAR InterfaceNumber, UCHAR AlternateSetting);

// Allocates a zeroed select-configuration URB with room for every listed interface and its
// bNumEndpoints pipes, fills Length, InterfaceNumber, AlternateSetting and NumberOfPipes of each
// interface (MaximumTransferSize of each pipe = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE) and points each
// entry's Interface at its part of the URB. The caller frees the URB with ExFreePool. Null when
// the list is empty, the URB would exceed 65535 bytes, or memory runs out.
PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList);
