// The driver's own part of each functional device object's extension, after the part PortCls
// reserves for itself.
#pragma once

#include "driver/adapter_interfaces.h"

struct AdapterExtension {
    // Set at the end of a successful start; not a counted reference (PortCls holds the adapter).
    IUsbAudioAdapter* adapter;
    // Orders the creation of private handles against removal.
    KMUTEX mutex;
    // Set by the first query-remove, remove or surprise removal; never cleared.
    ULONG removing;
};

inline AdapterExtension* GetAdapterExtension(PDEVICE_OBJECT deviceObject)
{
    return reinterpret_cast<AdapterExtension*>(static_cast<PUCHAR>(deviceObject->DeviceExtension) +
                                               PORT_CLASS_DEVICE_EXTENSION_SIZE);
}
