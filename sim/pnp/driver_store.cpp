#include "sim/pnp/driver_store.h"

#include <cstring>
#include <mutex>

#include "sim/kernel/machine.h"
#include "sim/registry/machine_registry.h"

namespace sim::pnp {
namespace {

// Service key values setup writes for a kernel-mode Plug and Play driver: loaded on demand when
// a device needs it, a load failure logged without stopping the boot.
constexpr ULONG kServiceKernelDriver = 1;  // SERVICE_KERNEL_DRIVER
constexpr ULONG kServiceDemandStart = 3;   // SERVICE_DEMAND_START
constexpr ULONG kServiceErrorNormal = 1;   // SERVICE_ERROR_NORMAL

class DriverStore final : public MachineComponent {
public:
    std::mutex lock;
    std::vector<InstalledDriver> drivers;
};

DriverStore& Store() { return Machine::Current().Component<DriverStore>(); }

std::vector<uint8_t> ExpandableText(const std::u16string& text)
{
    std::vector<uint8_t> data((text.size() + 1) * sizeof(char16_t), 0);
    std::memcpy(data.data(), text.data(), text.size() * sizeof(char16_t));
    return data;
}

}  // namespace

std::u16string ServiceKeyPath(const std::u16string& service)
{
    return std::u16string(registry::kCurrentControlSetPath) + u"\\Services\\" + service;
}

NTSTATUS InstallDriver(const InstalledDriver& driver)
{
    if (driver.service.empty() || driver.driverEntry == nullptr || driver.hardwareIds.empty()) {
        return STATUS_INVALID_PARAMETER;
    }
    registry::Store& registry = registry::MachineRegistry();
    const std::u16string key = ServiceKeyPath(driver.service);
    registry.SetValue(key, u"ImagePath", REG_EXPAND_SZ,
                      ExpandableText(u"\\SystemRoot\\System32\\drivers\\" + driver.service + u".sys"));
    registry.SetDword(key, u"Type", kServiceKernelDriver);
    registry.SetDword(key, u"Start", kServiceDemandStart);
    registry.SetDword(key, u"ErrorControl", kServiceErrorNormal);

    DriverStore& store = Store();
    std::lock_guard<std::mutex> guard(store.lock);
    for (InstalledDriver& installed : store.drivers) {
        if (registry::NamesEqual(installed.service, driver.service)) {
            installed = driver;
            return STATUS_SUCCESS;
        }
    }
    store.drivers.push_back(driver);
    return STATUS_SUCCESS;
}

std::optional<InstalledDriver> FindDriverFor(const std::vector<std::u16string>& deviceIds)
{
    DriverStore& store = Store();
    std::lock_guard<std::mutex> guard(store.lock);
    for (const std::u16string& id : deviceIds) {
        for (const InstalledDriver& driver : store.drivers) {
            for (const std::u16string& listed : driver.hardwareIds) {
                if (registry::NamesEqual(listed, id)) {
                    return driver;
                }
            }
        }
    }
    return std::nullopt;
}

}  // namespace sim::pnp
