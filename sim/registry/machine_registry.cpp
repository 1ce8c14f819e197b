#include "sim/registry/machine_registry.h"

#include "sim/kernel/machine.h"

namespace sim::registry {

namespace {

std::unique_ptr<Store> MakeMachineRegistry()
{
    auto store = std::make_unique<Store>();
    store->SetClock([] {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        return int64_t(now.QuadPart);
    });
    for (const char16_t* path :
         {u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Control\\Class",
          u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Enum", u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services",
          u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
          u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
          u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP", u"\\REGISTRY\\USER\\.DEFAULT"}) {
        store->CreatePath(path);
    }
    // The audio service's endpoint store exists from Vista on, with or without audio devices.
    if (RtlIsNtDdiVersionAvailable(NTDDI_VISTA)) {
        for (const char16_t* path :
             {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\Render",
              u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\Capture"}) {
            store->CreatePath(path);
        }
    }
    store->CreateLink(kCurrentControlSetPath, kControlSetPath);
    return store;
}

struct MachineRegistryComponent : MachineComponent {
    std::unique_ptr<Store> store = MakeMachineRegistry();
};

}  // namespace

Store& MachineRegistry() { return *Machine::Current().Component<MachineRegistryComponent>().store; }

}  // namespace sim::registry
