// Device-interface notifications for windows (RegisterDeviceNotificationW): when Plug and Play
// turns an interface on or off, every window registered for its class gets WM_DEVICECHANGE with
// DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE and a DEV_BROADCAST_DEVICEINTERFACE_W naming the
// interface. Windows delivers these from the Plug and Play service without waiting for the
// window; here they are sent the same way (SendNotifyMessageW), so the driver that changed the
// interface never waits for a user-mode window.
#include <cstring>

#include "sim/user/device_notifications.h"
#include "sim/user/user_machine.h"
#include "sim/user/window_records.h"

namespace sim::user {
namespace {

struct Registration {
    HWND window;
    GUID interfaceClass;
};

struct DeviceNotifications : MachineComponent {
    std::mutex lock;
    std::map<HDEVNOTIFY, Registration> registrations;
    ULONG_PTR next = 0x60000;
};

DeviceNotifications& Notifications() { return Machine::Current().Component<DeviceNotifications>(); }

}  // namespace

void DeviceInterfaceChanged(const GUID& interfaceClass, const std::u16string& kernelName, bool arrived)
{
    std::vector<HWND> targets;
    {
        DeviceNotifications& notifications = Notifications();
        std::lock_guard<std::mutex> held(notifications.lock);
        for (const auto& [handle, registration] : notifications.registrations) {
            if (registration.interfaceClass == interfaceClass) {
                targets.push_back(registration.window);
            }
        }
    }
    // User mode names an interface "\\?\..." where the kernel says "\??\...".
    std::u16string symbolicLink = kernelName;
    if (symbolicLink.compare(0, 4, u"\\??\\") == 0) {
        symbolicLink[1] = u'\\';
    }
    for (HWND window : targets) {
        const size_t bytes = sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) + symbolicLink.size() * sizeof(WCHAR);
        auto buffer = std::shared_ptr<BYTE>(new BYTE[bytes](), std::default_delete<BYTE[]>());
        auto* broadcast = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(buffer.get());
        broadcast->dbcc_size = DWORD(bytes);
        broadcast->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        broadcast->dbcc_classguid = interfaceClass;
        std::memcpy(broadcast->dbcc_name, symbolicLink.c_str(), (symbolicLink.size() + 1) * sizeof(WCHAR));
        SendNotifyMessageKeeping(window, WM_DEVICECHANGE, arrived ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                                 buffer, reinterpret_cast<LPARAM>(broadcast));
    }
}

}  // namespace sim::user

HDEVNOTIFY RegisterDeviceNotificationW(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags)
{
    auto* filter = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(NotificationFilter);
    if (filter == nullptr || Flags != DEVICE_NOTIFY_WINDOW_HANDLE ||
        filter->dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE || filter->dbcc_size < sizeof(*filter)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HWND window = static_cast<HWND>(hRecipient);
    if (!IsWindow(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    sim::user::DeviceNotifications& notifications = sim::user::Notifications();
    std::lock_guard<std::mutex> held(notifications.lock);
    HDEVNOTIFY handle = reinterpret_cast<HDEVNOTIFY>(notifications.next += 4);
    notifications.registrations[handle] = {window, filter->dbcc_classguid};
    return handle;
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY Handle)
{
    sim::user::DeviceNotifications& notifications = sim::user::Notifications();
    std::lock_guard<std::mutex> held(notifications.lock);
    if (notifications.registrations.erase(Handle) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
