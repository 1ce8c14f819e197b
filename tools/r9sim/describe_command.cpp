// r9sim describe: the driver's model of the built-in R9 (or its Audio Class 1.0 variant), or of any
// device whose descriptors are in a file.
#include <cstdio>
#include <string>

#include "sim/devices/r9/r9_descriptors.h"
#include "sim/devices/r9/r9_device.h"
#include "sim/kernel/machine.h"
#include "tools/r9sim/commands.h"
#include "tools/r9sim/option_values.h"
#include "tools/r9sim/descriptor_file.h"
#include "tools/r9sim/model_description.h"

namespace r9sim {

namespace {

void PrintDescribeHelp()
{
    std::printf(
        "usage: r9sim describe [--device r9|r9-uac1 | --descriptors FILE] [--speed full|high]\n"
        "  --device r9         the built-in R9: high speed, Audio Class 2.0 (default)\n"
        "  --device r9-uac1    the R9's full-speed Audio Class 1.0 variant\n"
        "  --descriptors FILE  any device: its configuration descriptor set, optionally preceded by\n"
        "                      the 18-byte device descriptor, as raw bytes or as hex text\n"
        "  --speed full|high   the bus speed of a --descriptors device (default: full for USB 1.x\n"
        "                      devices, otherwise high for Audio Class 2.0 and full for 1.0)\n"
        "Exit code 0 when the driver accepts the device, 1 when it refuses it or the file is unusable.\n");
}

DeviceDescriptors FromSet(const sim::usb::DescriptorSet& set)
{
    DeviceDescriptors descriptors;
    descriptors.device = set.device;
    descriptors.configuration = set.configuration;
    return descriptors;
}

}  // namespace

int RunDescribe(const Arguments& arguments)
{
    std::string device = "r9";
    std::string file;
    DescribeOptions options;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == "--help") {
            PrintDescribeHelp();
            return 0;
        } else if (argument == "--device" && hasValue) {
            if (!CheckDevice("describe", arguments[++i])) {
                return 2;
            }
            device = arguments[i];
        } else if (argument == "--descriptors" && hasValue) {
            file = arguments[++i];
        } else if (argument == "--speed" && hasValue && (arguments[i + 1] == "full" || arguments[i + 1] == "high")) {
            options.speed = arguments[++i] == "high" ? SpeedChoice::High : SpeedChoice::Full;
        } else {
            std::fprintf(stderr, "r9sim describe: bad argument '%s'\n", argument.c_str());
            PrintDescribeHelp();
            return 2;
        }
    }

    DeviceDescriptors descriptors;
    std::string title;
    if (!file.empty()) {
        std::string error;
        if (!LoadDescriptorFile(file, descriptors, error)) {
            std::fprintf(stderr, "r9sim describe: %s\n", error.c_str());
            return 1;
        }
        title = file;
    } else if (options.speed != SpeedChoice::Automatic) {
        std::fprintf(stderr,
                     "r9sim describe: --speed applies to --descriptors only; the built-in devices have theirs\n");
        return 2;
    } else if (device == "r9") {
        descriptors = FromSet(sim::devices::R9Descriptors());
        options = {SpeedChoice::High, "the built-in R9 is a high-speed device", [] {
                       return std::make_unique<sim::devices::R9Device>(sim::devices::R9Variant::HighSpeedUac2);
                   }};
        title = "the built-in R9";
    } else {
        descriptors = FromSet(sim::devices::R9FullSpeedUac1Descriptors());
        options = {SpeedChoice::Full, "the built-in variant is a full-speed device", [] {
                       return std::make_unique<sim::devices::R9Device>(sim::devices::R9Variant::FullSpeedUac1);
                   }};
        title = "the built-in R9, full-speed Audio Class 1.0 variant";
    }

    // The model allocates from kernel pool, which only a simulated machine provides.
    sim::Machine machine;
    std::string report;
    const int result = DescribeDevice(descriptors, options, report);
    std::printf("%s\n%s", title.c_str(), report.c_str());
    return result;
}

}  // namespace r9sim
