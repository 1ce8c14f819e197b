// Kernel streaming as a client meets it (ks.h): the I/O controls of filters and pins, the connect
// record a pin is created with, the stream header of a packet, the connection state property and
// the pin factory properties, with the published x64 layouts and values. The driver itself uses
// none of this; PortCls and the audio service on the simulated machine do.
#pragma once

#include "sim/api/ks_properties.h"

#define IOCTL_KS_PROPERTY CTL_CODE(FILE_DEVICE_KS, 0x000, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_WRITE_STREAM CTL_CODE(FILE_DEVICE_KS, 0x004, METHOD_NEITHER, FILE_WRITE_ACCESS)
#define IOCTL_KS_READ_STREAM CTL_CODE(FILE_DEVICE_KS, 0x005, METHOD_NEITHER, FILE_READ_ACCESS)

// The object class a pin is created as, relative to its filter's file object; the create's file
// name is this text, a backslash, then the KSPIN_CONNECT and the data format.
#define KSSTRING_Pin u"{146F1A80-4791-11D0-A5D6-28DB04C10000}"

// {4747B320-62CE-11CF-A5D6-28DB04C10000}
DEFINE_GUID(KSMEDIUMSETID_Standard, 0x4747B320, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
#define KSMEDIUM_TYPE_ANYINSTANCE 0

#define KSPRIORITY_LOW 0x00000001
#define KSPRIORITY_NORMAL 0x40000000
#define KSPRIORITY_HIGH 0x80000000

typedef struct {
    ULONG PriorityClass;
    ULONG PrioritySubClass;
} KSPRIORITY, *PKSPRIORITY;

typedef struct {
    KSPIN_INTERFACE Interface;
    KSPIN_MEDIUM Medium;
    ULONG PinId;
    HANDLE PinToHandle;
    KSPRIORITY Priority;
} KSPIN_CONNECT, *PKSPIN_CONNECT;

typedef struct {
    LONGLONG Time;
    ULONG Numerator;
    ULONG Denominator;
} KSTIME, *PKSTIME;

#define KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM 0x00000200

typedef struct {
    ULONG Size;
    ULONG TypeSpecificFlags;
    KSTIME PresentationTime;
    LONGLONG Duration;
    ULONG FrameExtent;
    ULONG DataUsed;
    PVOID Data;
    ULONG OptionsFlags;
    ULONG Reserved;
} KSSTREAM_HEADER, *PKSSTREAM_HEADER;

// {1D58C920-AC9B-11CF-A5D6-28DB04C10000}
DEFINE_GUID(KSPROPSETID_Connection, 0x1D58C920, 0xAC9B, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);

typedef enum {
    KSPROPERTY_CONNECTION_STATE,
    KSPROPERTY_CONNECTION_PRIORITY,
    KSPROPERTY_CONNECTION_DATAFORMAT
} KSPROPERTY_CONNECTION;

// {8C134960-51AD-11CF-878A-94F801C10000}
DEFINE_GUID(KSPROPSETID_Pin, 0x8C134960, 0x51AD, 0x11CF, 0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00);

typedef enum {
    KSPROPERTY_PIN_CINSTANCES,
    KSPROPERTY_PIN_CTYPES,
    KSPROPERTY_PIN_DATAFLOW,
    KSPROPERTY_PIN_DATARANGES,
    KSPROPERTY_PIN_DATAINTERSECTION,
    KSPROPERTY_PIN_INTERFACES,
    KSPROPERTY_PIN_MEDIUMS,
    KSPROPERTY_PIN_COMMUNICATION
} KSPROPERTY_PIN;

typedef struct {
    KSPROPERTY Property;
    ULONG PinId;
    ULONG Reserved;
} KSP_PIN, *PKSP_PIN;
