// PortCls's own record of one adapter device, kept in the part of the functional device object's
// extension that PortCls reserves (PORT_CLASS_DEVICE_EXTENSION_SIZE): the stack it sits in, the
// driver's start callback, the adapter's power management and the registered subdevices.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel_new.h"

namespace sim::portcls {

class WaveCyclicPort;

inline constexpr ULONG kPortClsTag = 'lCcP';

struct Subdevice {
    std::u16string name;
    WaveCyclicPort* port = nullptr;  // counted reference
    std::vector<std::u16string> links;
    bool enabled = false;
};

enum class DeviceState { Added, Started, RemovePending, SurpriseRemoved };

class AdapterDevice : public PoolAllocated {
public:
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    PCPFNSTARTDEVICE startDevice = nullptr;
    ULONG maxObjects = 0;
    PADAPTERPOWERMANAGEMENT power = nullptr;  // counted reference
    DEVICE_POWER_STATE powerState = PowerDeviceD0;
    DeviceState state = DeviceState::Added;
    LONG openFiles = 0;

    std::mutex lock;  // guards subdevices and the fields above that dispatch and registration share
    std::vector<std::unique_ptr<Subdevice>> subdevices;
};

// The record of an adapter's device object, or null (reported) for any other device object.
AdapterDevice* AdapterOf(PDEVICE_OBJECT deviceObject, const char* function);
void ForgetAdapter(AdapterDevice* adapter);
void RememberAdapter(AdapterDevice* adapter);

// Turns the subdevice's interfaces on or off (surprise removal, unregistration).
void SetInterfaces(Subdevice& subdevice, bool enable);
// Drops every subdevice of a device that is being removed: interfaces off, ports released.
void DropSubdevices(AdapterDevice& adapter);
NTSTATUS UnregisterSubdevice(PDEVICE_OBJECT deviceObject, PUNKNOWN unknown);
// The port registered under `name`, referenced, or null.
WaveCyclicPort* FindSubdevicePort(AdapterDevice& adapter, const std::u16string& name);

// The empty resource list PortCls hands to StartDevice for a device without hardware resources.
NTSTATUS NewEmptyResourceList(PRESOURCELIST* list);

// NewMasterDmaChannel's channel over a common buffer of at most `maximumLength` bytes.
NTSTATUS NewCommonBufferDmaChannel(ULONG maximumLength, PDMACHANNEL* channel);

// The kernel-streaming requests of filters and pins (ks_dispatch.cpp); each completes the IRP
// unless it pends.
NTSTATUS CreateKsObject(AdapterDevice& adapter, PIRP irp);
NTSTATUS CleanupKsObject(PIRP irp);
NTSTATUS CloseKsObject(AdapterDevice& adapter, PIRP irp);
NTSTATUS ControlKsObject(PIRP irp);

}  // namespace sim::portcls
