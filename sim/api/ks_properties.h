// Kernel-streaming property requests and replies (ks.h, ksmedia.h): the node property header, the
// basic-support description and its member lists, the multiple-item header, the component
// identity, the jack descriptions and the audio position, with the published x64 layouts and values.
#pragma once

#include "sim/api/ks.h"

// A property addressed to a node of a filter: the request carries the node after the property.
#define KSPROPERTY_TYPE_TOPOLOGY 0x10000000

typedef struct {
    KSPROPERTY Property;
    ULONG NodeId;
    ULONG Reserved;
} KSP_NODE, *PKSP_NODE;

typedef struct {
    ULONG Size;
    ULONG Count;
} KSMULTIPLE_ITEM, *PKSMULTIPLE_ITEM;

// A basic-support reply: the description, then MembersListCount member lists, each a header and
// MembersCount members of MembersSize bytes.
typedef struct {
    ULONG AccessFlags;
    ULONG DescriptionSize;
    KSIDENTIFIER PropTypeSet;
    ULONG MembersListCount;
    ULONG Reserved;
} KSPROPERTY_DESCRIPTION, *PKSPROPERTY_DESCRIPTION;

#define KSPROPERTY_MEMBER_RANGES 0x00000001
#define KSPROPERTY_MEMBER_STEPPEDRANGES 0x00000002
#define KSPROPERTY_MEMBER_VALUES 0x00000003
#define KSPROPERTY_MEMBER_FLAG_DEFAULT 0x00000001
#define KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL 0x00000002
#define KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_UNIFORM 0x00000004

typedef struct {
    ULONG MembersFlags;
    ULONG MembersSize;
    ULONG MembersCount;
    ULONG Flags;
} KSPROPERTY_MEMBERSHEADER, *PKSPROPERTY_MEMBERSHEADER;

typedef union {
    struct {
        LONG SignedMinimum;
        LONG SignedMaximum;
    };
    struct {
        ULONG UnsignedMinimum;
        ULONG UnsignedMaximum;
    };
} KSPROPERTY_BOUNDS_LONG, *PKSPROPERTY_BOUNDS_LONG;

typedef struct {
    ULONG SteppingDelta;
    ULONG Reserved;
    KSPROPERTY_BOUNDS_LONG Bounds;
} KSPROPERTY_STEPPING_LONG, *PKSPROPERTY_STEPPING_LONG;

// {97E99BA0-BDEA-11CF-A5D6-28DB04C10000}: the type set of a description; its Id is a VARTYPE.
DEFINE_GUID(KSPROPTYPESETID_General, 0x97E99BA0, 0xBDEA, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);

typedef struct {
    GUID Manufacturer;
    GUID Product;
    GUID Component;
    GUID Name;
    ULONG Version;
    ULONG Revision;
} KSCOMPONENTID, *PKSCOMPONENTID;

// {4509F757-2D46-4637-8E62-CE7DB944F57B}
DEFINE_GUID(KSPROPSETID_Jack, 0x4509F757, 0x2D46, 0x4637, 0x8E, 0x62, 0xCE, 0x7D, 0xB9, 0x44, 0xF5, 0x7B);

typedef enum {
    KSPROPERTY_JACK_DESCRIPTION = 1,
    KSPROPERTY_JACK_DESCRIPTION2,
    KSPROPERTY_JACK_SINK_INFO,
    KSPROPERTY_JACK_CONTAINERID
} KSPROPERTY_JACK;

typedef enum { eConnTypeUnknown } EPcxConnectionType;
typedef enum { eGeoLocRear = 1, eGeoLocFront } EPcxGeoLocation;
typedef enum { eGenLocPrimaryBox = 0 } EPcxGenLocation;
typedef enum { ePortConnJack = 0 } EPxcPortConnection;

typedef struct {
    DWORD ChannelMapping;
    DWORD Color;
    EPcxConnectionType ConnectionType;
    EPcxGeoLocation GeoLocation;
    EPcxGenLocation GenLocation;
    EPxcPortConnection PortConnection;
    BOOL IsConnected;
} KSJACK_DESCRIPTION, *PKSJACK_DESCRIPTION;

#define JACKDESC2_PRESENCE_DETECT_CAPABILITY 0x00000001
#define JACKDESC2_DYNAMIC_FORMAT_CHANGE_CAPABILITY 0x00000002

typedef struct {
    DWORD DeviceStateInfo;
    DWORD JackCapabilities;
} KSJACK_DESCRIPTION2, *PKSJACK_DESCRIPTION2;

// KSPROPERTY_AUDIO_POSITION's value: byte offsets of a stream, stream-relative on a pin that streams
// packets (KSINTERFACE_STANDARD_STREAMING), buffer-relative on a looped one.
typedef struct {
    ULONGLONG PlayOffset;
    ULONGLONG WriteOffset;
} KSAUDIO_POSITION, *PKSAUDIO_POSITION;
