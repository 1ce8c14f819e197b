// The PortCls entry points, sizes and values an adapter driver is built against: the functions'
// signatures, PortCls's reserved part of the device extension, the device capabilities record
// that IAdapterPowerManagement fills, and the enumerations the port interfaces take.
#include <type_traits>

#include "platform/kernel.h"

#define R9_CHECK_SIZE(type, size) static_assert(sizeof(type) == (size), "size of " #type)
#define R9_CHECK_OFFSET(type, field, offset) static_assert(FIELD_OFFSET(type, field) == (offset), #type "." #field)
#define R9_CHECK_VALUE(name, value) static_assert((name) == (value), #name)
#define R9_CHECK_SIGNATURE(function, type) \
    static_assert(std::is_same<decltype(&function), type>::value, "signature of " #function)

R9_CHECK_VALUE(PORT_CLASS_DEVICE_EXTENSION_SIZE, 512);

R9_CHECK_SIZE(DEVICE_CAPABILITIES, 64);
R9_CHECK_OFFSET(DEVICE_CAPABILITIES, Address, 8);
R9_CHECK_OFFSET(DEVICE_CAPABILITIES, UINumber, 12);
R9_CHECK_OFFSET(DEVICE_CAPABILITIES, DeviceState, 16);
R9_CHECK_OFFSET(DEVICE_CAPABILITIES, SystemWake, 44);
R9_CHECK_OFFSET(DEVICE_CAPABILITIES, DeviceWake, 48);
R9_CHECK_OFFSET(DEVICE_CAPABILITIES, D3Latency, 60);

R9_CHECK_SIZE(POWER_STATE, 4);
R9_CHECK_VALUE(PowerDeviceD0, 1);
R9_CHECK_VALUE(PowerDeviceD3, 4);
R9_CHECK_VALUE(KSSTATE_STOP, 0);
R9_CHECK_VALUE(KSSTATE_RUN, 3);
R9_CHECK_VALUE(Width32Bits, 2);
R9_CHECK_VALUE(TypeF, 4);

R9_CHECK_SIGNATURE(PcInitializeAdapterDriver, NTSTATUS(NTAPI*)(PDRIVER_OBJECT, PUNICODE_STRING, PDRIVER_ADD_DEVICE));
R9_CHECK_SIGNATURE(PcAddAdapterDevice,
                   NTSTATUS(NTAPI*)(PDRIVER_OBJECT, PDEVICE_OBJECT, PCPFNSTARTDEVICE, ULONG, ULONG));
R9_CHECK_SIGNATURE(PcDispatchIrp, NTSTATUS(NTAPI*)(PDEVICE_OBJECT, PIRP));
R9_CHECK_SIGNATURE(PcNewPort, NTSTATUS(NTAPI*)(PPORT*, REFCLSID));
R9_CHECK_SIGNATURE(PcRegisterSubdevice, NTSTATUS(NTAPI*)(PDEVICE_OBJECT, PWSTR, PUNKNOWN));
R9_CHECK_SIGNATURE(PcGetPhysicalDeviceObject, NTSTATUS(NTAPI*)(PDEVICE_OBJECT, PDEVICE_OBJECT*));
R9_CHECK_SIGNATURE(PcRegisterAdapterPowerManagement, NTSTATUS(NTAPI*)(PUNKNOWN, PVOID));
R9_CHECK_SIGNATURE(PcNewServiceGroup, NTSTATUS(NTAPI*)(PSERVICEGROUP*, PUNKNOWN));
R9_CHECK_SIGNATURE(IoRegisterDeviceInterface,
                   NTSTATUS(NTAPI*)(PDEVICE_OBJECT, const GUID*, PUNICODE_STRING, PUNICODE_STRING));
R9_CHECK_SIGNATURE(IoSetDeviceInterfaceState, NTSTATUS(NTAPI*)(PUNICODE_STRING, BOOLEAN));

// Interface pointers are what the driver and PortCls hand each other; each derives as published.
static_assert(std::is_base_of<IPort, IPortWaveCyclic>::value, "IPortWaveCyclic derives from IPort");
static_assert(std::is_base_of<IMiniport, IMiniportWaveCyclic>::value, "IMiniportWaveCyclic derives from IMiniport");
static_assert(std::is_base_of<IServiceSink, IServiceGroup>::value, "IServiceGroup derives from IServiceSink");
static_assert(std::is_base_of<IUnknown, IDmaChannel>::value, "IDmaChannel derives from IUnknown");
