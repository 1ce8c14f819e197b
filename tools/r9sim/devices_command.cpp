// r9sim devices: the R9 devices the device access library finds on a booted machine, with the
// rates and capabilities it learns from the driver.
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "common/device_list.h"
#include "sim/devices/r9/r9_device.h"
#include "sim/kernel/machine.h"
#include "sim/pnp/driver_store.h"
#include "sim/pnp/plug_and_play.h"
#include "sim/registry/machine_registry.h"
#include "sim/user/processes.h"
#include "tools/r9sim/commands.h"
#include "tools/r9sim/option_values.h"
#include "tools/r9sim/plugged_device.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace r9sim {

namespace {

void PrintDevicesHelp()
{
    std::printf(
        "usage: r9sim devices [--device r9|r9-uac1|none] [--registry FILE]\n"
        "  --device D      what is plugged into the USB port (default: the R9)\n"
        "  --registry FILE the machine's registry, loaded when it exists and saved at the end\n");
}

std::string Text(const WCHAR* text) { return sim::Utf16ToUtf8(reinterpret_cast<const char16_t*>(text)); }

void PrintDevice(size_t index, const CAudioDevice& device)
{
    std::printf("device %zu: %s\n", index, Text(device.Description()).c_str());
    std::printf("  instance ID: %s\n", Text(device.InstanceId()).c_str());
    std::printf("  control path: %s\n", Text(device.ControlPath()).c_str());
    std::printf("  rate range: %u to %u Hz, current rate %u Hz\n", unsigned(device.LowestRate()),
                unsigned(device.HighestRate()), unsigned(device.GetCurrentRate()));
    std::printf("  native DSD: %s\n", device.DsdSupported() != 0 ? "yes" : "no");
    std::printf("  %8s  %-20s  %-20s\n", "rate", "render", "capture");
    for (const RateCaps& caps : device.Capabilities()) {
        std::printf("  %8u  %2u channels, %2u bits  %2u channels, %2u bits\n", unsigned(caps.rate),
                    unsigned(caps.renderChannels), unsigned(caps.renderBits), unsigned(caps.captureChannels),
                    unsigned(caps.captureBits));
    }
}

}  // namespace

int RunDevices(const Arguments& arguments)
{
    std::string device = "r9";
    std::string registryFile;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == "--help") {
            PrintDevicesHelp();
            return 0;
        } else if (arguments[i] == "--device" && i + 1 < arguments.size()) {
            if (!CheckDevice("devices", arguments[++i], true)) {
                return 2;
            }
            device = arguments[i];
        } else if (arguments[i] == "--registry" && i + 1 < arguments.size() && !arguments[i + 1].empty()) {
            registryFile = arguments[++i];
        } else {
            std::fprintf(stderr, "r9sim devices: unexpected argument '%s'\n", arguments[i].c_str());
            PrintDevicesHelp();
            return 2;
        }
    }
    sim::devices::R9Variant variant;
    if (device != "none" && !ParseVariant(device, variant)) {
        std::fprintf(stderr, "r9sim devices: unknown device '%s'\n", device.c_str());
        return 2;
    }
    sim::Machine machine;
    sim::registry::Store& registry = sim::registry::MachineRegistry();
    std::string error;
    if (!registryFile.empty() && std::ifstream(registryFile).good() && !registry.LoadFromFile(registryFile, error)) {
        std::fprintf(stderr, "r9sim devices: %s\n", error.c_str());
        return 1;
    }
    size_t found = 0;
    {
        sim::usb::HostController usb;
        sim::pnp::InstallDriver({u"TVR9AUDIO", &DriverEntry, {u"USB\\VID_3A5C&PID_0009"}});
        sim::usb::BusDevice* plugged = nullptr;
        if (device != "none") {
            plugged = &sim::pnp::PlugDevice(usb, std::make_unique<sim::devices::R9Device>(variant)).device;
        }
        {
            sim::user::ProcessScope process(u"C:\\Program Files\\TAVO\\r9sim.exe");
            CDeviceList list;
            list.Enumerate();
            found = list.Count();
            std::printf("R9 devices found: %zu\n", found);
            for (size_t i = 0; i < list.Count(); ++i) {
                PrintDevice(i, list.Device(i));
            }
        }
        if (plugged != nullptr) {
            sim::pnp::UnplugDevice(usb, *plugged);
        }
    }
    if (!registryFile.empty() && !registry.SaveToFile(registryFile, error)) {
        std::fprintf(stderr, "r9sim devices: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace r9sim
