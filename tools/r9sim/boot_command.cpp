// r9sim boot: starts a machine with the driver package installed and the R9 plugged in, lets
// simulated time pass on it, pulls the device out and reports what it saw.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "platform/kernel.h"
#include "sim/kernel/machine.h"
#include "sim/registry/machine_registry.h"
#include "sim/usb/host_controller.h"
#include "tools/r9sim/commands.h"
#include "tools/r9sim/option_values.h"
#include "tools/r9sim/plugged_device.h"

namespace r9sim {

namespace {

void PrintBootHelp()
{
    std::printf(
        "usage: r9sim boot [--device r9|r9-uac1|none] [--realtime] [--processors N] [--seconds S]\n"
        "                  [--stream] [--registry FILE]\n"
        "  --device D      what is plugged into the USB port: the R9 (default), its full-speed Audio\n"
        "                  Class 1.0 variant, or nothing\n"
        "  --realtime      the clock follows the host clock (default: virtual time)\n"
        "  --processors N  simulated processors, 1 to 64 (default 2)\n"
        "  --seconds S     simulated seconds to let pass, 0 to 86400 (default 10)\n"
        "  --stream        the device streams both ways through the driver for those seconds, and\n"
        "                  r9sim reports the frames moved, resets, and the device's FIFO counts\n"
        "  --registry FILE the machine's registry: loaded from FILE when it exists, saved to it\n"
        "                  at shutdown, so settings survive from one run to the next\n");
}

}  // namespace

int RunBoot(const Arguments& arguments)
{
    sim::MachineOptions options;
    long seconds = 10;
    std::string registryFile;
    std::string device = "r9";
    bool stream = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        long value = 0;
        if (argument == "--help") {
            PrintBootHelp();
            return 0;
        } else if (argument == "--device" && hasValue) {
            if (!CheckDevice("boot", arguments[++i], true)) {
                return 2;
            }
            device = arguments[i];
        } else if (argument == "--stream") {
            stream = true;
        } else if (argument == "--realtime") {
            options.clock = sim::ClockMode::Realtime;
        } else if (argument == "--processors" && hasValue) {
            if (!ParseCount("boot", "--processors", arguments[++i], 1, 64, value)) {
                return 2;
            }
            options.processors = ULONG(value);
        } else if (argument == "--seconds" && hasValue) {
            if (!ParseCount("boot", "--seconds", arguments[++i], 0, 86400, value)) {
                return 2;
            }
            seconds = value;
        } else if (argument == "--registry" && hasValue && !arguments[i + 1].empty()) {
            registryFile = arguments[++i];
        } else {
            std::fprintf(stderr, "r9sim boot: unexpected argument '%s'\n", argument.c_str());
            PrintBootHelp();
            return 2;
        }
    }

    sim::Machine machine(options);
    sim::registry::Store& registry = sim::registry::MachineRegistry();
    std::string error;
    if (!registryFile.empty() && std::ifstream(registryFile).good()) {
        if (!registry.LoadFromFile(registryFile, error)) {
            std::fprintf(stderr, "r9sim boot: %s\n", error.c_str());
            return 1;
        }
        std::printf("registry: loaded from %s\n", registryFile.c_str());
    }
    std::printf("clock: %s\n", options.clock == sim::ClockMode::Virtual ? "virtual" : "realtime");
    std::printf("processors: %lu\n", static_cast<unsigned long>(KeQueryActiveProcessorCount(nullptr)));
    {
        sim::usb::HostController usb;
        std::unique_ptr<PluggedDevice> plugged;
        sim::devices::R9Variant variant;
        if (ParseVariant(device, variant)) {
            plugged = std::make_unique<PluggedDevice>(usb, variant);
        }
        const bool streaming = stream && plugged != nullptr && plugged->StartStreaming();
        machine.RunFor(int64_t(seconds) * 1000000000LL);
        if (streaming) {
            plugged->StopStreaming();
        }
        if (plugged != nullptr) {
            plugged->Unplug();
        }
    }
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    std::printf("uptime: %.3f s (performance counter %lld at %lld Hz)\n",
                double(counter.QuadPart) / double(frequency.QuadPart), static_cast<long long>(counter.QuadPart),
                static_cast<long long>(frequency.QuadPart));
    if (!registryFile.empty()) {
        if (!registry.SaveToFile(registryFile, error)) {
            std::fprintf(stderr, "r9sim boot: %s\n", error.c_str());
            return 1;
        }
        std::printf("registry: saved to %s\n", registryFile.c_str());
    }
    return 0;
}

}  // namespace r9sim
