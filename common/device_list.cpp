#include "common/device_list.h"

#include <memory>
#include <new>

#include "common/trace.h"

namespace {

// KSCATEGORY_AUDIO, under which PortCls registers the wave filter's interfaces.
const GUID kAudioInterfaceClass = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

// Room for a device path of up to 259 characters after the detail's size field.
constexpr DWORD kDetailBytes = 528;

// A device registry property as text, in a buffer sized by asking first.
bool ReadTextProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property, std::vector<WCHAR>& text)
{
    DWORD required = 0;
    SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr, nullptr, 0, &required);
    if (required == 0) {
        return false;
    }
    // One character more than asked for, so that text stored without a terminator still ends.
    text.assign(required / sizeof(WCHAR) + 2, 0);
    return SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr, reinterpret_cast<PBYTE>(text.data()),
                                             DWORD((text.size() - 1) * sizeof(WCHAR)), nullptr) != FALSE;
}

}  // namespace

CDeviceList::CDeviceList() : m_SelectedIndex(-1) { m_Devices.reserve(8); }

void CDeviceList::Enumerate()
{
    m_Devices.clear();
    HDEVINFO set = SetupDiGetClassDevsW(&kAudioInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        TraceEvent(W("CDeviceList::Enumerate: no device information set (error %lu)"), GetLastError());
        return;
    }
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData = {};
        interfaceData.cbSize = sizeof interfaceData;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kAudioInterfaceClass, index, &interfaceData)) {
            break;
        }
        std::unique_ptr<BYTE[]> detailBuffer(new (std::nothrow) BYTE[kDetailBytes]);
        if (detailBuffer == nullptr) {
            TraceEvent(W("CDeviceList::Enumerate: out of memory at interface %lu"), index);
            break;
        }
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(detailBuffer.get());
        AddInterface(set, interfaceData, detail);
    }
    SetupDiDestroyDeviceInfoList(set);
}

void CDeviceList::AddInterface(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interfaceData,
                               PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail)
{
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    if (!SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, kDetailBytes, nullptr, &device)) {
        TraceEvent(W("CDeviceList: no interface detail (error %lu)"), GetLastError());
        return;
    }
    std::vector<WCHAR> service;
    if (!ReadTextProperty(set, device, SPDRP_SERVICE, service) || lstrcmpW(service.data(), W("TVR9AUDIO")) != 0) {
        return;
    }
    // The wave filter's reference string starts with "\wave" and goes on with the rate; the
    // private interface is the same device path with "\asio" instead, whatever the rate.
    WCHAR path[kPathCharacters];
    wcsncpy_s(path, detail->DevicePath, _TRUNCATE);
    _wcslwr_s(path);
    WCHAR* wave = wcsstr(path, W("\\wave"));
    if (wave == nullptr) {
        TraceEvent(W("CDeviceList: no wave filter in %ls"), path);
        return;
    }
    *wave = 0;
    if (wcscat_s(path, W("\\asio")) != 0) {
        TraceEvent(W("CDeviceList: control path too long"));
        return;
    }
    std::vector<WCHAR> description;
    WCHAR instanceId[kPathCharacters + 1] = {};
    if (!ReadTextProperty(set, device, SPDRP_DEVICEDESC, description) ||
        !SetupDiGetDeviceInstanceIdW(set, &device, instanceId, DWORD(ARRAYSIZE(instanceId)), nullptr)) {
        TraceEvent(W("CDeviceList: no description or instance ID (error %lu)"), GetLastError());
        return;
    }
    CAudioDevice audioDevice;
    if (audioDevice.Init(path, description.data(), instanceId)) {
        m_Devices.push_back(audioDevice);
    } else {
        TraceEvent(W("CDeviceList: %ls left out"), instanceId);
    }
}

bool CDeviceList::Select(int index)
{
    if (index < 0 || size_t(index) >= m_Devices.size()) {
        return false;
    }
    m_SelectedIndex = index;
    return true;
}

int CDeviceList::Find(const WCHAR* instanceId) const
{
    for (size_t i = 0; i < m_Devices.size(); ++i) {
        if (_wcsicmp(m_Devices[i].InstanceId(), instanceId) == 0) {
            return int(i);
        }
    }
    return -1;
}

bool CDeviceList::SelectByInstanceId(const WCHAR* instanceId)
{
    const int found = Find(instanceId);
    return found >= 0 && Select(found);
}

bool CDeviceList::FindByInstanceId(const WCHAR* instanceId) const { return Find(instanceId) >= 0; }

const CAudioDevice* CDeviceList::GetSelected() const
{
    if (m_SelectedIndex < 0 || size_t(m_SelectedIndex) >= m_Devices.size()) {
        return nullptr;
    }
    return &m_Devices[size_t(m_SelectedIndex)];
}
