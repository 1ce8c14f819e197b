// PortCls declarations (portcls.h) of the filter description a miniport hands to its port: pins,
// nodes, connections and automation tables, and the property request its handlers receive, with
// the published x64 layouts and values. Method and event requests stay incomplete here.
#pragma once

#include "sim/api/ks.h"

#define PCFILTER_NODE ((ULONG)-1)

#define PCPROPERTY_ITEM_FLAG_GET KSPROPERTY_TYPE_GET
#define PCPROPERTY_ITEM_FLAG_SET KSPROPERTY_TYPE_SET
#define PCPROPERTY_ITEM_FLAG_BASICSUPPORT KSPROPERTY_TYPE_BASICSUPPORT

struct _PCPROPERTY_REQUEST;
typedef struct _PCPROPERTY_REQUEST PCPROPERTY_REQUEST, *PPCPROPERTY_REQUEST;
typedef NTSTATUS(NTAPI* PCPFNPROPERTY_HANDLER)(PPCPROPERTY_REQUEST PropertyRequest);

typedef struct {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNPROPERTY_HANDLER Handler;
} PCPROPERTY_ITEM, *PPCPROPERTY_ITEM;

struct IUnknown;
struct _IRP;

// What the port hands a property handler: the miniport (major target) and the stream (minor target,
// null for a filter property), the node (PCFILTER_NODE for none), the item found in the automation
// table, the verb (one KSPROPERTY_TYPE_*), the instance data that followed the property in the
// request, and the value buffer, whose size the handler sets to the bytes it returns.
struct _PCPROPERTY_REQUEST {
    struct IUnknown* MajorTarget;
    struct IUnknown* MinorTarget;
    ULONG Node;
    const PCPROPERTY_ITEM* PropertyItem;
    ULONG Verb;
    ULONG InstanceSize;
    PVOID Instance;
    ULONG ValueSize;
    PVOID Value;
    struct _IRP* Irp;
};

struct _PCMETHOD_REQUEST;
typedef NTSTATUS(NTAPI* PCPFNMETHOD_HANDLER)(struct _PCMETHOD_REQUEST* MethodRequest);

typedef struct _PCMETHOD_ITEM {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNMETHOD_HANDLER Handler;
} PCMETHOD_ITEM, *PPCMETHOD_ITEM;

struct _PCEVENT_REQUEST;
typedef NTSTATUS(NTAPI* PCPFNEVENT_HANDLER)(struct _PCEVENT_REQUEST* EventRequest);

typedef struct _PCEVENT_ITEM {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNEVENT_HANDLER Handler;
} PCEVENT_ITEM, *PPCEVENT_ITEM;

typedef struct {
    ULONG PropertyItemSize;
    ULONG PropertyCount;
    const PCPROPERTY_ITEM* Properties;
    ULONG MethodItemSize;
    ULONG MethodCount;
    const PCMETHOD_ITEM* Methods;
    ULONG EventItemSize;
    ULONG EventCount;
    const PCEVENT_ITEM* Events;
    ULONG Reserved;
} PCAUTOMATION_TABLE, *PPCAUTOMATION_TABLE;

typedef struct {
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
} PCCONNECTION_DESCRIPTOR, *PPCCONNECTIONDESCRIPTOR;

typedef struct {
    ULONG MaxGlobalInstanceCount;
    ULONG MaxFilterInstanceCount;
    ULONG MinFilterInstanceCount;
    const PCAUTOMATION_TABLE* AutomationTable;
    KSPIN_DESCRIPTOR KsPinDescriptor;
} PCPIN_DESCRIPTOR, *PPCPIN_DESCRIPTOR;

typedef struct {
    ULONG Flags;
    const PCAUTOMATION_TABLE* AutomationTable;
    const GUID* Type;
    const GUID* Name;
} PCNODE_DESCRIPTOR, *PPCNODE_DESCRIPTOR;

// PinSize and NodeSize let a miniport extend each table entry with its own fields.
typedef struct {
    ULONG Version;
    const PCAUTOMATION_TABLE* AutomationTable;
    ULONG PinSize;
    ULONG PinCount;
    const PCPIN_DESCRIPTOR* Pins;
    ULONG NodeSize;
    ULONG NodeCount;
    const PCNODE_DESCRIPTOR* Nodes;
    ULONG ConnectionCount;
    const PCCONNECTION_DESCRIPTOR* Connections;
    ULONG CategoryCount;
    const GUID* Categories;
} PCFILTER_DESCRIPTOR, *PPCFILTER_DESCRIPTOR;
