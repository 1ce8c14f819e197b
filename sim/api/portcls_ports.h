// PortCls (portcls.h) as an adapter driver uses it: the port and miniport interfaces, DMA channel,
// service sink and group, power management, subdevice unregistration, and the Pc* functions,
// with the published method order, identifiers and values.
#pragma once

#include "sim/api/kernel_io.h"
#include "sim/api/ks.h"
#include "sim/api/portcls.h"
#include "sim/api/unknown.h"

// The part of an adapter's functional device object extension that PortCls keeps for itself; the
// driver's own record follows it.
#define PORT_CLASS_DEVICE_EXTENSION_SIZE (64 * sizeof(ULONG_PTR))

typedef LONGLONG* PLONGLONG;
typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;
struct _ADAPTER_OBJECT;
typedef struct _ADAPTER_OBJECT* PADAPTER_OBJECT;

typedef enum _DMA_WIDTH { Width8Bits, Width16Bits, Width32Bits, Width64Bits, WidthNoWrap, MaximumDmaWidth } DMA_WIDTH;
typedef enum _DMA_SPEED { Compatible, TypeA, TypeB, TypeC, TypeF, MaximumDmaSpeed } DMA_SPEED;

typedef enum { KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN } KSSTATE, *PKSSTATE;

typedef struct _DEVICE_CAPABILITIES {
    USHORT Size;
    USHORT Version;
    ULONG DeviceD1 : 1;
    ULONG DeviceD2 : 1;
    ULONG LockSupported : 1;
    ULONG EjectSupported : 1;
    ULONG Removable : 1;
    ULONG DockDevice : 1;
    ULONG UniqueID : 1;
    ULONG SilentInstall : 1;
    ULONG RawDeviceOK : 1;
    ULONG SurpriseRemovalOK : 1;
    ULONG WakeFromD0 : 1;
    ULONG WakeFromD1 : 1;
    ULONG WakeFromD2 : 1;
    ULONG WakeFromD3 : 1;
    ULONG HardwareDisabled : 1;
    ULONG NonDynamic : 1;
    ULONG WarmEjectSupported : 1;
    ULONG NoDisplayInUI : 1;
    ULONG Reserved : 14;
    ULONG Address;
    ULONG UINumber;
    DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
    SYSTEM_POWER_STATE SystemWake;
    DEVICE_POWER_STATE DeviceWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
} DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;

// Hardware resources: an adapter on USB has none, so the list is only ever passed along.
struct _CM_RESOURCE_LIST;
typedef struct _CM_RESOURCE_LIST* PCM_RESOURCE_LIST;
struct _CM_PARTIAL_RESOURCE_DESCRIPTOR;
typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR* PCM_PARTIAL_RESOURCE_DESCRIPTOR;
typedef UCHAR CM_RESOURCE_TYPE;

DEFINE_GUID(IID_IResourceList, 0x22C6AC60, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
DECLARE_INTERFACE_(IResourceList, IUnknown)
{
    STDMETHOD_(ULONG, NumberOfEntries)(THIS) PURE;
    STDMETHOD_(ULONG, NumberOfEntriesOfType)(THIS_ CM_RESOURCE_TYPE Type) PURE;
    STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindTranslatedEntry)(THIS_ CM_RESOURCE_TYPE Type, ULONG Index) PURE;
    STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindUntranslatedEntry)(THIS_ CM_RESOURCE_TYPE Type, ULONG Index) PURE;
    STDMETHOD_(NTSTATUS, AddEntry)(THIS_ PCM_PARTIAL_RESOURCE_DESCRIPTOR Translated,
                                   PCM_PARTIAL_RESOURCE_DESCRIPTOR Untranslated) PURE;
    STDMETHOD_(NTSTATUS, AddEntryFromParent)(THIS_ IResourceList* Parent, CM_RESOURCE_TYPE Type, ULONG Index) PURE;
    STDMETHOD_(PCM_RESOURCE_LIST, TranslatedList)(THIS) PURE;
    STDMETHOD_(PCM_RESOURCE_LIST, UntranslatedList)(THIS) PURE;
};
typedef IResourceList* PRESOURCELIST;

DEFINE_GUID(IID_IServiceSink, 0x22C6AC64, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
DECLARE_INTERFACE_(IServiceSink, IUnknown)
{
    STDMETHOD_(void, RequestService)(THIS) PURE;
};
typedef IServiceSink* PSERVICESINK;

DEFINE_GUID(IID_IServiceGroup, 0x22C6AC65, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
DECLARE_INTERFACE_(IServiceGroup, IServiceSink)
{
    STDMETHOD_(NTSTATUS, AddMember)(THIS_ PSERVICESINK ServiceSink) PURE;
    STDMETHOD_(void, RemoveMember)(THIS_ PSERVICESINK ServiceSink) PURE;
    STDMETHOD_(void, SupportDelayedService)(THIS) PURE;
    STDMETHOD_(void, RequestDelayedService)(THIS_ ULONGLONG Delay) PURE;
    STDMETHOD_(void, CancelDelayedService)(THIS) PURE;
};
typedef IServiceGroup* PSERVICEGROUP;

DEFINE_GUID(IID_IDmaChannel, 0x22C6AC61, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
DECLARE_INTERFACE_(IDmaChannel, IUnknown)
{
    STDMETHOD_(NTSTATUS, AllocateBuffer)(THIS_ ULONG BufferSize, PPHYSICAL_ADDRESS PhysicalAddressConstraint) PURE;
    STDMETHOD_(void, FreeBuffer)(THIS) PURE;
    STDMETHOD_(ULONG, TransferCount)(THIS) PURE;
    STDMETHOD_(ULONG, MaximumBufferSize)(THIS) PURE;
    STDMETHOD_(ULONG, AllocatedBufferSize)(THIS) PURE;
    STDMETHOD_(ULONG, BufferSize)(THIS) PURE;
    STDMETHOD_(void, SetBufferSize)(THIS_ ULONG BufferSize) PURE;
    STDMETHOD_(PVOID, SystemAddress)(THIS) PURE;
    STDMETHOD_(PHYSICAL_ADDRESS, PhysicalAddress)(THIS) PURE;
    STDMETHOD_(PADAPTER_OBJECT, GetAdapterObject)(THIS) PURE;
    STDMETHOD_(void, CopyTo)(THIS_ PVOID Destination, PVOID Source, ULONG ByteCount) PURE;
    STDMETHOD_(void, CopyFrom)(THIS_ PVOID Destination, PVOID Source, ULONG ByteCount) PURE;
};
typedef IDmaChannel* PDMACHANNEL;

// Slave (ISA) DMA; the WaveCyclic port declares a factory for it that USB adapters never call.
struct IDmaChannelSlave;
typedef IDmaChannelSlave* PDMACHANNELSLAVE;
struct IRegistryKey;
typedef IRegistryKey* PREGISTRYKEY;

DEFINE_GUID(IID_IPort, 0xB4C90A25, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DECLARE_INTERFACE_(IPort, IUnknown)
{
    STDMETHOD_(NTSTATUS, Init)(THIS_ PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport,
                               PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList) PURE;
    STDMETHOD_(NTSTATUS, GetDeviceProperty)(THIS_ DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                                            PVOID PropertyBuffer, PULONG ResultLength) PURE;
    STDMETHOD_(NTSTATUS, NewRegistryKey)(THIS_ PREGISTRYKEY* OutRegistryKey, PUNKNOWN OuterUnknown,
                                         ULONG RegistryKeyType, ACCESS_MASK DesiredAccess,
                                         POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions,
                                         PULONG Disposition) PURE;
};
typedef IPort* PPORT;

DEFINE_GUID(IID_IPortWaveCyclic, 0xB4C90A26, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(CLSID_PortWaveCyclic, 0xB4C90A2A, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DECLARE_INTERFACE_(IPortWaveCyclic, IPort)
{
    STDMETHOD_(VOID, Notify)(THIS_ PSERVICEGROUP ServiceGroup) PURE;
    STDMETHOD_(NTSTATUS, NewSlaveDmaChannel)(THIS_ PDMACHANNELSLAVE* DmaChannel, PUNKNOWN OuterUnknown,
                                             PRESOURCELIST ResourceList, ULONG DmaIndex, ULONG MaximumLength,
                                             BOOLEAN DemandMode, DMA_SPEED DmaSpeed) PURE;
    STDMETHOD_(NTSTATUS, NewMasterDmaChannel)(THIS_ PDMACHANNEL* DmaChannel, PUNKNOWN OuterUnknown,
                                              PRESOURCELIST ResourceList, ULONG MaximumLength,
                                              BOOLEAN Dma32BitAddresses, BOOLEAN Dma64BitAddresses,
                                              DMA_WIDTH DmaWidth, DMA_SPEED DmaSpeed) PURE;
};
typedef IPortWaveCyclic* PPORTWAVECYCLIC;

DEFINE_GUID(IID_IMiniport, 0xB4C90A24, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DECLARE_INTERFACE_(IMiniport, IUnknown)
{
    STDMETHOD_(NTSTATUS, GetDescription)(THIS_ PPCFILTER_DESCRIPTOR* Description) PURE;
    STDMETHOD_(NTSTATUS, DataRangeIntersection)(THIS_ ULONG PinId, PKSDATARANGE DataRange,
                                                PKSDATARANGE MatchingDataRange, ULONG OutputBufferLength,
                                                PVOID ResultantFormat, PULONG ResultantFormatLength) PURE;
};
typedef IMiniport* PMINIPORT;

DEFINE_GUID(IID_IMiniportWaveCyclicStream, 0xB4C90A28, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5,
            0x44);
DECLARE_INTERFACE_(IMiniportWaveCyclicStream, IUnknown)
{
    STDMETHOD_(NTSTATUS, SetFormat)(THIS_ PKSDATAFORMAT DataFormat) PURE;
    STDMETHOD_(ULONG, SetNotificationFreq)(THIS_ ULONG Interval, PULONG FrameSize) PURE;
    STDMETHOD_(NTSTATUS, SetState)(THIS_ KSSTATE State) PURE;
    STDMETHOD_(NTSTATUS, GetPosition)(THIS_ PULONG Position) PURE;
    STDMETHOD_(NTSTATUS, NormalizePhysicalPosition)(THIS_ PLONGLONG PhysicalPosition) PURE;
    STDMETHOD_(void, Silence)(THIS_ PVOID Buffer, ULONG ByteCount) PURE;
};
typedef IMiniportWaveCyclicStream* PMINIPORTWAVECYCLICSTREAM;

DEFINE_GUID(IID_IMiniportWaveCyclic, 0xB4C90A27, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DECLARE_INTERFACE_(IMiniportWaveCyclic, IMiniport)
{
    STDMETHOD_(NTSTATUS, Init)(THIS_ PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList,
                               PPORTWAVECYCLIC Port) PURE;
    STDMETHOD_(NTSTATUS, NewStream)(THIS_ PMINIPORTWAVECYCLICSTREAM* Stream, PUNKNOWN OuterUnknown,
                                    POOL_TYPE PoolType, ULONG Pin, BOOLEAN Capture, PKSDATAFORMAT DataFormat,
                                    PDMACHANNEL* DmaChannel, PSERVICEGROUP* ServiceGroup) PURE;
};
typedef IMiniportWaveCyclic* PMINIPORTWAVECYCLIC;

DEFINE_GUID(IID_IUnregisterSubdevice, 0x16738177, 0xE199, 0x41F9, 0x9A, 0x87, 0xAB, 0xB2, 0xA5, 0x43, 0x2F, 0x21);
DECLARE_INTERFACE_(IUnregisterSubdevice, IUnknown)
{
    STDMETHOD_(NTSTATUS, UnregisterSubdevice)(THIS_ PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown) PURE;
};
typedef IUnregisterSubdevice* PUNREGISTERSUBDEVICE;

DEFINE_GUID(IID_IAdapterPowerManagement, 0x793417D0, 0x35FE, 0x11D1, 0xAD, 0x08, 0x00, 0xA0, 0xC9, 0x0A, 0xB1,
            0xB0);
DECLARE_INTERFACE_(IAdapterPowerManagement, IUnknown)
{
    STDMETHOD_(void, PowerChangeState)(THIS_ POWER_STATE NewState) PURE;
    STDMETHOD_(NTSTATUS, QueryPowerChangeState)(THIS_ POWER_STATE NewStateQuery) PURE;
    STDMETHOD_(NTSTATUS, QueryDeviceCapabilities)(THIS_ PDEVICE_CAPABILITIES PowerDeviceCaps) PURE;
};
typedef IAdapterPowerManagement* PADAPTERPOWERMANAGEMENT;

DEFINE_GUID(IID_IPowerNotify, 0x3DD648B8, 0x969F, 0x11D1, 0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);
DECLARE_INTERFACE_(IPowerNotify, IUnknown)
{
    STDMETHOD_(void, PowerChangeNotify)(THIS_ POWER_STATE PowerState) PURE;
};
typedef IPowerNotify* PPOWERNOTIFY;

typedef NTSTATUS(NTAPI* PCPFNSTARTDEVICE)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList);

NTSTATUS NTAPI PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                         PDRIVER_ADD_DEVICE AddDevice);
NTSTATUS NTAPI PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                                  PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects, ULONG DeviceExtensionSize);
NTSTATUS NTAPI PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PcNewPort(PPORT* OutPort, REFCLSID ClassId);
NTSTATUS NTAPI PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWSTR Name, PUNKNOWN Unknown);
NTSTATUS NTAPI PcGetPhysicalDeviceObject(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT* PhysicalDeviceObject);
NTSTATUS NTAPI PcRegisterAdapterPowerManagement(PUNKNOWN Unknown, PVOID DeviceObject);
NTSTATUS NTAPI PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN OuterUnknown);
