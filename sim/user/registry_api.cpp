// The registry's Reg* calls on the machine's store, with the access checks, size rules and error
// codes of advapi32. HKEY_CURRENT_USER is the interactive user's key; HKEY_CLASSES_ROOT reads the
// user's Software\Classes before the machine's and creates in the machine's. Every process sees
// the 64-bit view (KEY_WOW64_* are accepted and change nothing).
#include <algorithm>
#include <cstring>

#include "sim/registry/machine_registry.h"
#include "sim/user/user_machine.h"

namespace sim::user {

namespace {

constexpr ACCESS_MASK kWowFlags = KEY_WOW64_64KEY | KEY_WOW64_32KEY;

class RegistryKey final : public UserObject {
public:
    explicit RegistryKey(registry::KeyRef key) : key(std::move(key)) { }
    const char* TypeName() const override { return "Key"; }
    ACCESS_MASK AllAccess() const override { return KEY_ALL_ACCESS; }

    // Closing a key completes its pending notifications: their events are signalled.
    void HandleClosed() override
    {
        std::vector<std::pair<uint64_t, std::function<void()>>> pending;
        {
            std::lock_guard<std::mutex> held(lock);
            pending.swap(watches);
        }
        for (auto& [watch, signal] : pending) {
            if (registry::MachineRegistry().CancelWatch(watch)) {
                signal();
            }
        }
    }

    registry::KeyRef key;
    std::mutex lock;
    std::vector<std::pair<uint64_t, std::function<void()>>> watches;
};

bool IsPredefined(HKEY key)
{
    const auto value = reinterpret_cast<ULONG_PTR>(key);
    return value >= reinterpret_cast<ULONG_PTR>(HKEY_CLASSES_ROOT) &&
           value <= reinterpret_cast<ULONG_PTR>(HKEY_USERS);
}

std::u16string PredefinedPath(HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE) {
        return u"\\REGISTRY\\MACHINE";
    }
    if (key == HKEY_CURRENT_USER) {
        return registry::kCurrentUserPath;
    }
    if (key == HKEY_USERS) {
        return u"\\REGISTRY\\USER";
    }
    return registry::kMachineClassesPath;
}

ACCESS_MASK KeyAccess(REGSAM sam)
{
    if ((sam & MAXIMUM_ALLOWED) != 0) {
        return KEY_ALL_ACCESS;
    }
    return MapGenericAccess(sam & ~kWowFlags, KEY_READ, KEY_WRITE, KEY_ALL_ACCESS) & KEY_ALL_ACCESS;
}

// The key a handle stands for, checked for `access`; an error code otherwise.
LSTATUS ResolveHandle(HKEY handle, ACCESS_MASK access, registry::KeyRef& key)
{
    registry::Store& store = registry::MachineRegistry();
    if (IsPredefined(handle)) {
        return NT_SUCCESS(store.Open(nullptr, PredefinedPath(handle), key)) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    }
    HandleEntry entry;
    if (!CurrentProcess("registry").Lookup(handle, entry)) {
        return ERROR_INVALID_HANDLE;
    }
    auto typed = std::dynamic_pointer_cast<RegistryKey>(entry.object);
    if (typed == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if ((entry.access & access) != access) {
        return ERROR_ACCESS_DENIED;
    }
    key = typed->key;
    return ERROR_SUCCESS;
}

std::u16string SubPath(LPCWSTR subKey) { return subKey == nullptr ? std::u16string() : std::u16string(subKey); }

LSTATUS ErrorOf(NTSTATUS status)
{
    if (status == STATUS_CANNOT_DELETE) {
        return ERROR_ACCESS_DENIED;
    }
    return LSTATUS(DosErrorFromStatus(status));
}

HKEY NewKeyHandle(const registry::KeyRef& key, ACCESS_MASK access)
{
    return reinterpret_cast<HKEY>(InsertHandle(std::make_shared<RegistryKey>(key), access));
}

LSTATUS OpenKey(HKEY base, const std::u16string& path, registry::KeyRef& key)
{
    registry::Store& store = registry::MachineRegistry();
    if (base == HKEY_CLASSES_ROOT) {
        const std::u16string user = std::u16string(registry::kCurrentUserPath) + u"\\SOFTWARE\\Classes";
        const std::u16string suffix = path.empty() ? std::u16string() : u"\\" + path;
        if (!path.empty() && NT_SUCCESS(store.Open(nullptr, user + suffix, key))) {
            return ERROR_SUCCESS;
        }
        return ErrorOf(store.Open(nullptr, registry::kMachineClassesPath + suffix, key));
    }
    registry::KeyRef start;
    LSTATUS error = ResolveHandle(base, 0, start);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    return ErrorOf(store.Open(start, path, key));
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

}  // namespace

}  // namespace sim::user

using sim::user::ErrorOf;
using sim::user::ResolveHandle;

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult)
{
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    sim::registry::KeyRef key;
    const LSTATUS error = sim::user::OpenKey(hKey, sim::user::SubPath(lpSubKey), key);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    *phkResult = sim::user::NewKeyHandle(key, sim::user::KeyAccess(samDesired));
    return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition)
{
    if (phkResult == nullptr || lpSubKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    sim::registry::Store& store = sim::registry::MachineRegistry();
    sim::registry::KeyRef node;
    LSTATUS error = hKey == HKEY_CLASSES_ROOT
                        ? ErrorOf(store.Open(nullptr, sim::registry::kMachineClassesPath, node))
                        : ResolveHandle(hKey, KEY_CREATE_SUB_KEY, node);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    // Every missing key along the path is created; the disposition tells about the last one. A
    // trailing backslash is ignored, an empty component elsewhere is a bad path.
    std::u16string path(lpSubKey);
    if (!path.empty() && path.back() == u'\\') {
        path.pop_back();
    }
    bool created = false;
    size_t start = 0;
    while (!path.empty()) {
        const size_t end = path.find(u'\\', start);
        const std::u16string component = path.substr(start, end == std::u16string::npos ? end : end - start);
        if (component.empty()) {
            return ERROR_BAD_PATHNAME;
        }
        sim::registry::KeyRef next;
        const NTSTATUS status = store.Create(node, component, (dwOptions & REG_OPTION_VOLATILE) != 0, next, created);
        if (!NT_SUCCESS(status)) {
            return ErrorOf(status);
        }
        node = next;
        if (end == std::u16string::npos) {
            break;
        }
        start = end + 1;
    }
    if (lpdwDisposition != nullptr) {
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    *phkResult = sim::user::NewKeyHandle(node, sim::user::KeyAccess(samDesired));
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY hKey)
{
    if (sim::user::IsPredefined(hKey)) {
        return ERROR_SUCCESS;
    }
    sim::user::Process& process = sim::user::CurrentProcess(__func__);
    sim::user::HandleEntry entry;
    if (!process.Lookup(hKey, entry) || std::dynamic_pointer_cast<sim::user::RegistryKey>(entry.object) == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    process.Remove(hKey)->HandleClosed();
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData)
{
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    sim::registry::KeyRef key;
    LSTATUS error = ResolveHandle(hKey, KEY_QUERY_VALUE, key);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    sim::registry::Value value;
    const NTSTATUS status = sim::registry::MachineRegistry().QueryValue(key, sim::user::SubPath(lpValueName), value);
    if (!NT_SUCCESS(status)) {
        return ErrorOf(status);
    }
    if (lpType != nullptr) {
        *lpType = value.type;
    }
    const DWORD size = DWORD(value.data.size());
    if (lpData == nullptr) {
        if (lpcbData != nullptr) {
            *lpcbData = size;
        }
        return ERROR_SUCCESS;
    }
    if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (size != 0) {
        std::memcpy(lpData, value.data.data(), size);
    }
    // A string stored without its terminator gets one when the buffer has room for it; the byte
    // count returned does not include it.
    if (sim::user::IsStringType(value.type) && size >= sizeof(WCHAR) && *lpcbData >= size + sizeof(WCHAR)) {
        WCHAR last;
        std::memcpy(&last, lpData + size - sizeof(WCHAR), sizeof last);
        if (last != 0) {
            std::memset(lpData + size, 0, sizeof(WCHAR));
        }
    }
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData)
{
    sim::registry::KeyRef key;
    LSTATUS error = ResolveHandle(hKey, KEY_SET_VALUE, key);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (lpData == nullptr && cbData != 0) {
        return ERROR_NOACCESS;
    }
    return ErrorOf(sim::registry::MachineRegistry().SetValue(key, sim::user::SubPath(lpValueName), dwType, lpData,
                                                             cbData));
}

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName)
{
    sim::registry::KeyRef key;
    LSTATUS error = ResolveHandle(hKey, KEY_SET_VALUE, key);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    return ErrorOf(sim::registry::MachineRegistry().DeleteValue(key, sim::user::SubPath(lpValueName)));
}

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey)
{
    if (lpSubKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    sim::registry::KeyRef key;
    LSTATUS error = sim::user::OpenKey(hKey, lpSubKey, key);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    return ErrorOf(sim::registry::MachineRegistry().Delete(key));
}

namespace {

// An enumerated key's or value's name into the caller's buffer of *count characters: the length
// without the terminator comes back, or ERROR_MORE_DATA when name and terminator do not fit.
LSTATUS CopyEnumeratedName(const std::u16string& name, LPWSTR out, LPDWORD count)
{
    if (name.size() + 1 > *count) {
        return ERROR_MORE_DATA;
    }
    name.copy(out, name.size());
    out[name.size()] = 0;
    *count = DWORD(name.size());
    return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPWSTR lpClass,
                      LPDWORD lpcchClass, PVOID lpftLastWriteTime)
{
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    sim::registry::KeyRef key;
    LSTATUS error = ResolveHandle(hKey, KEY_ENUMERATE_SUB_KEYS, key);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    sim::registry::KeySummary summary;
    const NTSTATUS status = sim::registry::MachineRegistry().EnumerateSubkey(key, dwIndex, summary);
    if (!NT_SUCCESS(status)) {
        return ErrorOf(status);
    }
    error = CopyEnumeratedName(summary.name, lpName, lpcchName);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) {
        lpClass[0] = 0;
        *lpcchClass = 0;
    }
    (void)lpftLastWriteTime;
    return ERROR_SUCCESS;
}

LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
        (lpData != nullptr && lpcbData == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    sim::registry::KeyRef key;
    LSTATUS error = ResolveHandle(hKey, KEY_QUERY_VALUE, key);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    sim::registry::Value value;
    const NTSTATUS status = sim::registry::MachineRegistry().EnumerateValue(key, dwIndex, value);
    if (!NT_SUCCESS(status)) {
        return ErrorOf(status);
    }
    error = CopyEnumeratedName(value.name, lpValueName, lpcchValueName);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (lpType != nullptr) {
        *lpType = value.type;
    }
    if (lpcbData != nullptr) {
        const DWORD size = DWORD(value.data.size());
        if (lpData != nullptr && *lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        if (lpData != nullptr && size != 0) {
            std::memcpy(lpData, value.data.data(), size);
        }
        *lpcbData = size;
    }
    return ERROR_SUCCESS;
}

LSTATUS RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter, HANDLE hEvent, BOOL fAsynchronous)
{
    constexpr DWORD kFilters = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_LAST_SET |
                               REG_NOTIFY_CHANGE_SECURITY;
    const DWORD filter = dwNotifyFilter & ~DWORD(REG_NOTIFY_THREAD_AGNOSTIC);
    if ((filter & ~kFilters) != 0 || filter == 0 || (fAsynchronous && hEvent == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    sim::user::HandleEntry entry;
    if (sim::user::IsPredefined(hKey) || !sim::user::CurrentProcess(__func__).Lookup(hKey, entry)) {
        // A predefined key is opened for the caller first; the simulated product watches only
        // keys it opened itself.
        return sim::user::IsPredefined(hKey) ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE;
    }
    auto key = std::dynamic_pointer_cast<sim::user::RegistryKey>(entry.object);
    if (key == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if ((entry.access & KEY_NOTIFY) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    KEVENT* signal;
    sim::user::ObjectRef eventObject;
    KEVENT local;
    if (fAsynchronous) {
        eventObject = sim::user::ReferenceHandle(hEvent, EVENT_MODIFY_STATE, __func__);
        if (eventObject == nullptr || eventObject->Waitable() == nullptr ||
            std::string(eventObject->TypeName()) != "Event") {
            return ERROR_INVALID_HANDLE;
        }
        signal = reinterpret_cast<KEVENT*>(eventObject->Waitable());
    } else {
        KeInitializeEvent(&local, NotificationEvent, FALSE);
        signal = &local;
    }
    std::function<void()> fire = [signal, eventObject] { KeSetEvent(signal, IO_NO_INCREMENT, FALSE); };
    const uint64_t watch = sim::registry::MachineRegistry().Watch(key->key, bWatchSubtree != FALSE, filter, fire);
    {
        std::lock_guard<std::mutex> held(key->lock);
        key->watches.emplace_back(watch, fire);
    }
    if (!fAsynchronous) {
        DISPATCHER_HEADER* header = &local.Header;
        sim::user::UserModeWait(&header, 1, WaitAny, sim::kNoDeadline, false);
        std::lock_guard<std::mutex> held(key->lock);
        key->watches.erase(std::remove_if(key->watches.begin(), key->watches.end(),
                                          [watch](const auto& pending) { return pending.first == watch; }),
                           key->watches.end());
    }
    return ERROR_SUCCESS;
}
