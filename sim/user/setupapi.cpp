// SetupAPI's device-interface sets over the registry as Windows keeps it: the interfaces of a
// class are the subkeys of Control\DeviceClasses\{class} (one per device, "##?#<instance>#{class}",
// with its DeviceInstance) and theirs (one per reference string, "#<reference>", with SymbolicLink
// and Control\Linked, 1 while enabled); the device's properties come from its Enum key. The sets
// hold device-interface lists only (DIGCF_DEVICEINTERFACE), which is all the product asks for.
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "sim/pnp/device_interfaces.h"
#include "sim/pnp/device_tree.h"
#include "sim/registry/machine_registry.h"
#include "sim/user/user_machine.h"

namespace sim::user {

namespace {

struct InterfaceEntry {
    std::u16string symbolicLink;  // "\\?\..." as the SymbolicLink value holds it
    std::u16string instancePath;
    bool active = false;
};

struct DeviceInfoSet {
    GUID interfaceClass{};
    std::vector<InterfaceEntry> interfaces;
    std::vector<std::u16string> devices;  // instance paths; DevInst is the index + 1
};

class SetupApiSets final : public MachineComponent {
public:
    std::mutex lock;
    std::map<void*, std::shared_ptr<DeviceInfoSet>> sets;
};

std::shared_ptr<DeviceInfoSet> FindSet(HDEVINFO handle)
{
    SetupApiSets& sets = Machine::Current().Component<SetupApiSets>();
    std::lock_guard<std::mutex> held(sets.lock);
    auto found = sets.sets.find(handle);
    if (found == sets.sets.end()) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return found->second;
}

std::u16string StringValue(const std::u16string& key, const std::u16string& name)
{
    registry::Value value;
    if (!registry::MachineRegistry().GetValue(key, name, value) || value.type != REG_SZ) {
        return {};
    }
    std::u16string text(value.data.size() / sizeof(WCHAR), u'\0');
    if (!text.empty()) {
        std::memcpy(text.data(), value.data.data(), text.size() * sizeof(WCHAR));
    }
    return text.substr(0, text.find(u'\0'));
}

bool Linked(const std::u16string& referenceKey)
{
    registry::Value value;
    if (!registry::MachineRegistry().GetValue(referenceKey + u"\\Control", u"Linked", value) ||
        value.data.size() != sizeof(DWORD)) {
        return false;
    }
    DWORD linked;
    std::memcpy(&linked, value.data.data(), sizeof linked);
    return linked != 0;
}

DWORD DeviceIndex(DeviceInfoSet& set, const std::u16string& instancePath)
{
    for (size_t i = 0; i < set.devices.size(); ++i) {
        if (registry::NamesEqual(set.devices[i], instancePath)) {
            return DWORD(i + 1);
        }
    }
    set.devices.push_back(instancePath);
    return DWORD(set.devices.size());
}

const std::u16string* DeviceOf(DeviceInfoSet& set, PSP_DEVINFO_DATA data)
{
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA) || data->DevInst == 0 ||
        data->DevInst > set.devices.size()) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return &set.devices[data->DevInst - 1];
}

bool FillDeviceInfo(DeviceInfoSet& set, const std::u16string& instancePath, PSP_DEVINFO_DATA data)
{
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        ::SetLastError(ERROR_INVALID_USER_BUFFER);
        return false;
    }
    data->DevInst = DeviceIndex(set, instancePath);
    data->Reserved = data->DevInst;
    const std::u16string classGuid =
        StringValue(std::u16string(registry::kEnumPath) + u"\\" + instancePath, u"ClassGUID");
    unsigned d1 = 0, d2 = 0, d3 = 0, b[8] = {};
    std::sscanf(Utf16ToUtf8(classGuid).c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0], &b[1],
                &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]);
    data->ClassGuid = GUID{d1, USHORT(d2), USHORT(d3), {UCHAR(b[0]), UCHAR(b[1]), UCHAR(b[2]), UCHAR(b[3]),
                                                         UCHAR(b[4]), UCHAR(b[5]), UCHAR(b[6]), UCHAR(b[7])}};
    return true;
}

const char16_t* PropertyValueName(DWORD property)
{
    switch (property) {
    case SPDRP_DEVICEDESC:
        return u"DeviceDesc";
    case SPDRP_HARDWAREID:
        return u"HardwareID";
    case SPDRP_COMPATIBLEIDS:
        return u"CompatibleIDs";
    case SPDRP_SERVICE:
        return u"Service";
    case SPDRP_CLASS:
        return u"Class";
    case SPDRP_CLASSGUID:
        return u"ClassGUID";
    case SPDRP_DRIVER:
        return u"Driver";
    case SPDRP_FRIENDLYNAME:
        return u"FriendlyName";
    default:
        return nullptr;
    }
}

}  // namespace

}  // namespace sim::user

HDEVINFO SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND hwndParent, DWORD Flags)
{
    sim::user::CurrentProcess(__func__);
    const HDEVINFO invalid = reinterpret_cast<HDEVINFO>(INVALID_HANDLE_VALUE);
    if ((Flags & DIGCF_DEVICEINTERFACE) == 0 || (ClassGuid == nullptr && (Flags & DIGCF_ALLCLASSES) == 0)) {
        SetLastError((Flags & DIGCF_DEVICEINTERFACE) == 0 ? ERROR_INVALID_FLAGS : ERROR_INVALID_PARAMETER);
        return invalid;
    }
    auto set = std::make_shared<sim::user::DeviceInfoSet>();
    sim::registry::Store& store = sim::registry::MachineRegistry();
    std::vector<GUID> classes;
    if (ClassGuid != nullptr) {
        classes.push_back(*ClassGuid);
        set->interfaceClass = *ClassGuid;
    }
    const std::u16string enumerator = Enumerator == nullptr ? std::u16string() : std::u16string(Enumerator) + u"\\";
    for (const GUID& interfaceClass : classes) {
        const std::u16string classKey = sim::pnp::DeviceClassKeyPath(interfaceClass);
        for (const std::u16string& deviceKeyName : store.SubkeyNames(classKey)) {
            const std::u16string deviceKey = classKey + u"\\" + deviceKeyName;
            const std::u16string instance = sim::user::StringValue(deviceKey, u"DeviceInstance");
            if (instance.empty() ||
                (!enumerator.empty() && !sim::registry::NamesEqual(instance.substr(0, enumerator.size()), enumerator))) {
                continue;
            }
            const bool present = sim::pnp::MachineDeviceTree().IsPresent(instance);
            for (const std::u16string& referenceName : store.SubkeyNames(deviceKey)) {
                const std::u16string referenceKey = deviceKey + u"\\" + referenceName;
                sim::user::InterfaceEntry entry{sim::user::StringValue(referenceKey, u"SymbolicLink"), instance,
                                                present && sim::user::Linked(referenceKey)};
                if (referenceName.empty() || referenceName[0] != u'#' || entry.symbolicLink.empty() ||
                    ((Flags & DIGCF_PRESENT) != 0 && !entry.active)) {
                    continue;
                }
                set->interfaces.push_back(entry);
            }
        }
    }
    sim::user::SetupApiSets& sets = sim::Machine::Current().Component<sim::user::SetupApiSets>();
    std::lock_guard<std::mutex> held(sets.lock);
    sets.sets[set.get()] = set;
    (void)hwndParent;
    return set.get();
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, const GUID* InterfaceClassGuid,
                                 DWORD MemberIndex, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData)
{
    auto set = sim::user::FindSet(DeviceInfoSet);
    if (set == nullptr) {
        return FALSE;
    }
    if (DeviceInterfaceData == nullptr || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (InterfaceClassGuid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::u16string* device = nullptr;
    if (DeviceInfoData != nullptr && (device = sim::user::DeviceOf(*set, DeviceInfoData)) == nullptr) {
        return FALSE;
    }
    DWORD seen = 0;
    for (size_t i = 0; i < set->interfaces.size(); ++i) {
        const sim::user::InterfaceEntry& entry = set->interfaces[i];
        if (!IsEqualGUID(*InterfaceClassGuid, set->interfaceClass) ||
            (device != nullptr && !sim::registry::NamesEqual(*device, entry.instancePath))) {
            continue;
        }
        if (seen++ == MemberIndex) {
            DeviceInterfaceData->InterfaceClassGuid = *InterfaceClassGuid;
            DeviceInterfaceData->Flags = entry.active ? SPINT_ACTIVE : 0;
            DeviceInterfaceData->Reserved = i + 1;
            return TRUE;
        }
    }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData)
{
    auto set = sim::user::FindSet(DeviceInfoSet);
    if (set == nullptr) {
        return FALSE;
    }
    if (DeviceInterfaceData == nullptr || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        DeviceInterfaceData->Reserved == 0 || DeviceInterfaceData->Reserved > set->interfaces.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((DeviceInterfaceDetailData == nullptr && DeviceInterfaceDetailDataSize != 0) ||
        (DeviceInterfaceDetailData != nullptr &&
         DeviceInterfaceDetailDataSize < offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + sizeof(WCHAR))) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (DeviceInterfaceDetailData != nullptr && DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    const sim::user::InterfaceEntry& entry = set->interfaces[DeviceInterfaceData->Reserved - 1];
    const DWORD required =
        DWORD(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (entry.symbolicLink.size() + 1) * sizeof(WCHAR));
    if (RequiredSize != nullptr) {
        *RequiredSize = required;
    }
    if (DeviceInfoData != nullptr && !sim::user::FillDeviceInfo(*set, entry.instancePath, DeviceInfoData)) {
        return FALSE;
    }
    if (DeviceInterfaceDetailData == nullptr || DeviceInterfaceDetailDataSize < required) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(DeviceInterfaceDetailData->DevicePath, entry.symbolicLink.c_str(),
                (entry.symbolicLink.size() + 1) * sizeof(WCHAR));
    return TRUE;
}

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                       PDWORD PropertyRegDataType, PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize)
{
    auto set = sim::user::FindSet(DeviceInfoSet);
    if (set == nullptr) {
        return FALSE;
    }
    const std::u16string* device = sim::user::DeviceOf(*set, DeviceInfoData);
    if (device == nullptr) {
        return FALSE;
    }
    const char16_t* name = sim::user::PropertyValueName(Property);
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_REG_PROPERTY);
        return FALSE;
    }
    if (PropertyBuffer == nullptr && PropertyBufferSize != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    sim::registry::Value value;
    if (!sim::registry::MachineRegistry().GetValue(std::u16string(sim::registry::kEnumPath) + u"\\" + *device, name,
                                                   value)) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    if (PropertyRegDataType != nullptr) {
        *PropertyRegDataType = value.type;
    }
    if (RequiredSize != nullptr) {
        *RequiredSize = DWORD(value.data.size());
    }
    if (PropertyBufferSize < value.data.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (!value.data.empty()) {
        std::memcpy(PropertyBuffer, value.data.data(), value.data.size());
    }
    return TRUE;
}

BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, PWSTR DeviceInstanceId,
                                 DWORD DeviceInstanceIdSize, PDWORD RequiredSize)
{
    auto set = sim::user::FindSet(DeviceInfoSet);
    if (set == nullptr) {
        return FALSE;
    }
    const std::u16string* device = sim::user::DeviceOf(*set, DeviceInfoData);
    if (device == nullptr) {
        return FALSE;
    }
    const DWORD required = DWORD(device->size() + 1);
    if (RequiredSize != nullptr) {
        *RequiredSize = required;
    }
    if (DeviceInstanceId == nullptr || DeviceInstanceIdSize < required) {
        SetLastError(DeviceInstanceId == nullptr && DeviceInstanceIdSize != 0 ? ERROR_INVALID_PARAMETER
                                                                              : ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(DeviceInstanceId, device->c_str(), required * sizeof(WCHAR));
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    sim::user::SetupApiSets& sets = sim::Machine::Current().Component<sim::user::SetupApiSets>();
    std::lock_guard<std::mutex> held(sets.lock);
    if (sets.sets.erase(DeviceInfoSet) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
