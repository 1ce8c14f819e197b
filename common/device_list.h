// The present R9 devices, found through the audio device interfaces of the R9's driver, and the
// selected one. The selected index is an index: Enumerate leaves it alone, so after a rebuild it
// may denote another device, or none, until the owner selects again.
#pragma once

#include <vector>

#include "common/audio_device.h"

class CDeviceList {
public:
    CDeviceList();

    // Rebuilds the list; every failure leaves that interface out (an empty list at worst).
    void Enumerate();
    bool Select(int index);
    bool SelectByInstanceId(const WCHAR* instanceId);
    bool FindByInstanceId(const WCHAR* instanceId) const;
    const CAudioDevice* GetSelected() const;

    int SelectedIndex() const { return m_SelectedIndex; }
    size_t Count() const { return m_Devices.size(); }
    const CAudioDevice& Device(size_t index) const { return m_Devices[index]; }

private:
    int Find(const WCHAR* instanceId) const;
    void AddInterface(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interfaceData,
                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail);

    int m_SelectedIndex;
    std::vector<CAudioDevice> m_Devices;
};
