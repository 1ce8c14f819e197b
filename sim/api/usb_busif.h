// The USB bus driver's direct-call interface (usbbusif.h), obtained with IRP_MN_QUERY_INTERFACE,
// for the host build. Its functions are called directly, without an IRP.
#pragma once

#include "sim/api/base_types.h"
#include "sim/api/kernel_io.h"
#include "sim/api/usb_urb.h"



#define USB_BUSIFFN

typedef VOID(USB_BUSIFFN* PUSB_BUSIFFN_GETUSBDI_VERSION)(PVOID BusContext, PUSBD_VERSION_INFORMATION VersionInformation,
                                                         PULONG HcdCapabilities);
// CurrentFrame: the bus's 32-bit 1-ms frame counter.
typedef NTSTATUS(USB_BUSIFFN* PUSB_BUSIFFN_QUERY_BUS_TIME)(PVOID BusContext, PULONG CurrentFrame);
typedef NTSTATUS(USB_BUSIFFN* PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB)(PVOID BusContext, PURB Urb);
typedef NTSTATUS(USB_BUSIFFN* PUSB_BUSIFFN_QUERY_BUS_INFORMATION)(PVOID BusContext, ULONG Level,
                                                                  PVOID BusInformationBuffer,
                                                                  PULONG BusInformationBufferLength,
                                                                  PULONG BusInformationActualLength);
typedef BOOLEAN(USB_BUSIFFN* PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED)(PVOID BusContext);

#define USB_HCD_CAPS_SUPPORTS_RT_THREADS 0x00000001

#define USB_BUSIF_USBDI_VERSION_0 0x0000
#define USB_BUSIF_USBDI_VERSION_1 0x0001
#define USB_BUSIF_USBDI_VERSION_2 0x0002
#define USB_BUSIF_USBDI_VERSION_3 0x0003

DEFINE_GUID(USB_BUS_INTERFACE_USBDI_GUID, 0xb1a96a13, 0x3de0, 0x4574, 0x9b, 0x01, 0xc0, 0x8f, 0xea, 0xb3, 0x18, 0xd6);

// The first five fields are the INTERFACE head (Context is called BusContext here).
typedef struct _USB_BUS_INTERFACE_USBDI_V1 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
    PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
} USB_BUS_INTERFACE_USBDI_V1, *PUSB_BUS_INTERFACE_USBDI_V1;
