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
          u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP", u"\\REGISTRY\\USER\\.DEFAULT", kCurrentUserPath,
          u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\CLSID", u"\\REGISTRY\\USER\\S-1-5-21-3623811015-3361044348-30300820-1001\\SOFTWARE"}) {
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
    // The multimedia class scheduler's tasks (Vista on), with their priority within the class.
    if (RtlIsNtDdiVersionAvailable(NTDDI_VISTA)) {
        const std::u16string tasks =
            u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Multimedia\\SystemProfile\\Tasks\\";
        for (const char16_t* task : {u"Audio", u"Capture", u"Distribution", u"Games", u"Playback", u"Pro Audio",
                                     u"Window Manager"}) {
            store->SetDword(tasks + task, u"Priority", 6);
            store->SetString(tasks + task, u"Scheduling Category", u"Medium");
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
