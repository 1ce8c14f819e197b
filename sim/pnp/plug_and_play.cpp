#include "sim/pnp/plug_and_play.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "sim/io/drivers.h"
#include "sim/io/io_manager.h"
#include "sim/kernel/machine.h"
#include "sim/pnp/audio_endpoint_builder.h"
#include "sim/pnp/driver_store.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/pnp/usb_identity.h"
#include "sim/registry/store.h"

namespace sim::pnp {
namespace {

struct PresentDevice {
    usb::BusDevice* device = nullptr;
    bool hasNode = false;
    std::u16string service;  // the driver started on it; empty when none runs
};

struct LoadedDriverRecord {
    std::u16string service;
    PDRIVER_OBJECT driver = nullptr;
};

// A surprise-removed device whose remove request waits for its last open file to be closed.
struct PendingRemoval {
    PDEVICE_OBJECT pdo = nullptr;
    std::u16string service;
};

class PlugAndPlayState final : public MachineComponent {
public:
    std::mutex lock;  // never held while a driver runs
    std::vector<PresentDevice> devices;
    std::vector<LoadedDriverRecord> drivers;
    std::vector<PendingRemoval> pendingRemovals;
};

PlugAndPlayState& State() { return Machine::Current().Component<PlugAndPlayState>(); }

PresentDevice* FindLocked(PlugAndPlayState& state, const usb::BusDevice& device)
{
    for (PresentDevice& present : state.devices) {
        if (present.device == &device) {
            return &present;
        }
    }
    return nullptr;
}

PDRIVER_OBJECT LoadedLocked(PlugAndPlayState& state, const std::u16string& service)
{
    for (const LoadedDriverRecord& loaded : state.drivers) {
        if (registry::NamesEqual(loaded.service, service)) {
            return loaded.driver;
        }
    }
    return nullptr;
}

// The driver object for `driver`, loading it on first use.
NTSTATUS Load(const InstalledDriver& driver, PDRIVER_OBJECT& object)
{
    PlugAndPlayState& state = State();
    {
        std::lock_guard<std::mutex> guard(state.lock);
        object = LoadedLocked(state, driver.service);
    }
    if (object != nullptr) {
        return STATUS_SUCCESS;
    }
    const NTSTATUS status = io::CreateDriverObject(driver.service, driver.driverEntry, &object);
    if (NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(state.lock);
        state.drivers.push_back({driver.service, object});
    }
    return status;
}

// Windows unloads a Plug and Play driver once no device uses it; one that cannot go yet
// (something still references its device objects) stays loaded.
void UnloadIfUnused(const std::u16string& service)
{
    PlugAndPlayState& state = State();
    PDRIVER_OBJECT driver;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        const bool used = std::any_of(state.devices.begin(), state.devices.end(), [&](const PresentDevice& present) {
            return registry::NamesEqual(present.service, service);
        });
        driver = used ? nullptr : LoadedLocked(state, service);
    }
    if (driver == nullptr || !NT_SUCCESS(io::UnloadDriver(driver))) {
        return;
    }
    std::lock_guard<std::mutex> guard(state.lock);
    state.drivers.erase(std::remove_if(state.drivers.begin(), state.drivers.end(),
                                       [driver](const LoadedDriverRecord& loaded) { return loaded.driver == driver; }),
                        state.drivers.end());
}

// A device whose driver did not come up no longer counts as the driver's.
void Forget(usb::BusDevice& device, const std::u16string& service)
{
    {
        PlugAndPlayState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        FindLocked(state, device)->service.clear();
    }
    UnloadIfUnused(service);
}

// Loads the node's driver and calls its AddDevice. STATUS_SUCCESS leaves the device added and
// counted as the driver's device, waiting for its start.
PlugResult AddFunctionDriver(usb::BusDevice& device, DeviceNode& node)
{
    const std::optional<InstalledDriver> driver = FindDriverFor(node.HardwareIds());
    if (!driver) {
        return {device, &node, STATUS_NO_SUCH_DEVICE, DeviceProblem::FailedInstall};
    }
    MachineDeviceTree().SetService(node, driver->service);
    PDRIVER_OBJECT object = nullptr;
    NTSTATUS status = Load(*driver, object);
    if (!NT_SUCCESS(status)) {
        return {device, &node, status, DeviceProblem::DriverFailedLoad};
    }
    PlugAndPlayState& state = State();
    {
        // Counted as the driver's device while it starts, so a failing start of another device
        // cannot unload the driver underneath it.
        std::lock_guard<std::mutex> guard(state.lock);
        FindLocked(state, device)->service = driver->service;
    }
    status = AddDevice(object, device.Pdo());
    if (!NT_SUCCESS(status)) {
        Forget(device, driver->service);
        return {device, &node, status, DeviceProblem::FailedStart};
    }
    return {device, &node, STATUS_SUCCESS, DeviceProblem::None};
}

PlugResult StartAddedFunctionDriver(usb::BusDevice& device, DeviceNode& node)
{
    const NTSTATUS status = StartAddedDevice(device.Pdo());
    if (NT_SUCCESS(status)) {
        return {device, &node, status, DeviceProblem::None};
    }
    std::u16string service;
    {
        PlugAndPlayState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        service = FindLocked(state, device)->service;
    }
    Forget(device, service);
    return {device, &node, status, DeviceProblem::FailedStart};
}

PlugResult StartFunctionDriver(usb::BusDevice& device, DeviceNode& node)
{
    const PlugResult added = AddFunctionDriver(device, node);
    return NT_SUCCESS(added.status) ? StartAddedFunctionDriver(device, node) : added;
}

// Takes the device's pending removal if it is still pending; whoever takes it finishes it.
bool TakePendingRemoval(PDEVICE_OBJECT pdo, PendingRemoval& removal)
{
    PlugAndPlayState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    for (auto it = state.pendingRemovals.begin(); it != state.pendingRemovals.end(); ++it) {
        if (it->pdo == pdo) {
            removal = *it;
            state.pendingRemovals.erase(it);
            return true;
        }
    }
    return false;
}

NTSTATUS FinishRemoval(const PendingRemoval& removal)
{
    const NTSTATUS status = RemoveDevice(removal.pdo);
    // The hub deletes the physical device object of a device that left; the node stays.
    DetachPhysicalDeviceObject(removal.pdo);
    if (!removal.service.empty()) {
        UnloadIfUnused(removal.service);
    }
    return status;
}

void OnLastFileClosed(PDEVICE_OBJECT device)
{
    PendingRemoval removal;
    if (TakePendingRemoval(device, removal)) {
        FinishRemoval(removal);
    }
}


// The port sees the device, the hub reads its identity and the PnP manager makes its node with
// the physical device object attached. The status is STATUS_SUCCESS until a driver is involved.
PlugResult Enumerate(usb::HostController& usb, std::unique_ptr<usb::UsbDeviceModel> model)
{
    {
        io::IoManager& io = io::IoManager::Current();
        std::lock_guard<std::mutex> held(io.lock);
        io.lastFileClosed = &OnLastFileClosed;
        io.heldBackUnloadDue = &UnloadIfUnused;
    }
    usb::BusDevice& device = usb.Plug(std::move(model));
    const std::optional<UsbDeviceIdentity> identity = ReadUsbIdentity(device);
    PlugAndPlayState& state = State();
    {
        std::lock_guard<std::mutex> guard(state.lock);
        state.devices.push_back({&device, identity.has_value(), {}});
    }
    if (!identity) {
        return {device, nullptr, STATUS_DEVICE_DATA_ERROR, DeviceProblem::DescriptorRequestFailed};
    }
    DeviceNode& node = CreateUsbDeviceNode(*identity);
    AttachPhysicalDeviceObject(node, device.Pdo());
    return {device, &node, STATUS_SUCCESS, DeviceProblem::None};
}

}  // namespace

PlugResult PlugDevice(usb::HostController& usb, std::unique_ptr<usb::UsbDeviceModel> model)
{
    const PlugResult enumerated = Enumerate(usb, std::move(model));
    return enumerated.node == nullptr ? enumerated : StartFunctionDriver(enumerated.device, *enumerated.node);
}

std::vector<PlugResult> PlugDevicesAtBoot(usb::HostController& usb,
                                          std::vector<std::unique_ptr<usb::UsbDeviceModel>> models)
{
    std::vector<PlugResult> added;
    for (auto& model : models) {
        const PlugResult enumerated = Enumerate(usb, std::move(model));
        added.push_back(enumerated.node == nullptr ? enumerated : AddFunctionDriver(enumerated.device, *enumerated.node));
    }
    std::vector<PlugResult> results;
    for (const PlugResult& result : added) {
        const bool waiting = result.node != nullptr && result.status == STATUS_SUCCESS;
        results.push_back(waiting ? StartAddedFunctionDriver(result.device, *result.node) : result);
    }
    return results;
}

NTSTATUS UnplugDevice(usb::HostController& usb, usb::BusDevice& device)
{
    PlugAndPlayState& state = State();
    PresentDevice present;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        auto found = std::find_if(state.devices.begin(), state.devices.end(),
                                  [&](const PresentDevice& entry) { return entry.device == &device; });
        if (found != state.devices.end()) {
            present = *found;
            state.devices.erase(found);
        }
    }
    if (present.device == nullptr) {
        Machine::Current().Verify().Report("UnplugDevice", "the device was not plugged in through Plug and Play");
        return STATUS_NO_SUCH_DEVICE;
    }
    usb.Unplug(device);
    if (!present.hasNode) {
        return STATUS_SUCCESS;
    }
    SurpriseRemoveDevice(device.Pdo());
    OnAudioDeviceRemoval(device.Pdo());
    // Windows sends the remove request of a surprise-removed device only once the last handle to
    // it is closed; until then the driver keeps the device object and may see requests.
    PlugAndPlayState& pending = State();
    {
        std::lock_guard<std::mutex> guard(pending.lock);
        pending.pendingRemovals.push_back({device.Pdo(), present.service});
    }
    PendingRemoval removal;
    if (InterlockedCompareExchange(&device.Pdo()->ReferenceCount, 0, 0) != 0 ||
        !TakePendingRemoval(device.Pdo(), removal)) {
        return STATUS_PENDING;
    }
    return FinishRemoval(removal);
}

NTSTATUS DisableDevice(usb::BusDevice& device)
{
    PlugAndPlayState& state = State();
    std::u16string service;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        const PresentDevice* present = FindLocked(state, device);
        service = present == nullptr ? std::u16string() : present->service;
    }
    if (service.empty()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = QueryRemoveDevice(device.Pdo());
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = RemoveDevice(device.Pdo());
    OnAudioDeviceRemoval(device.Pdo());
    {
        std::lock_guard<std::mutex> guard(state.lock);
        FindLocked(state, device)->service.clear();
    }
    UnloadIfUnused(service);
    return status;
}

PDRIVER_OBJECT LoadedDriver(const std::u16string& service)
{
    PlugAndPlayState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    return LoadedLocked(state, service);
}

}  // namespace sim::pnp
