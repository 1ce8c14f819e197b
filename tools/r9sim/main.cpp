// r9sim: the command-line front end of the simulated Windows machine with its R9 device.
#include <cstdio>
#include <cstring>

#include "tools/r9sim/commands.h"

namespace {

struct Command {
    const char* name;
    int (*run)(const r9sim::Arguments&);
    const char* summary;
};

const Command kCommands[] = {
    {"asio", &r9sim::RunAsio, "stream like an ASIO host through the R9 in loopback and measure the round trip"},
    {"boot", &r9sim::RunBoot, "boot a machine with the R9 plugged in, optionally stream silence through it, unplug it"},
    {"describe", &r9sim::RunDescribe, "print the driver's model of the R9 or of any device's descriptors"},
    {"devices", &r9sim::RunDevices, "list the R9 devices the device access library finds, with rates and capabilities"},
    {"generate", &r9sim::RunGenerate, "write a test signal (a sine or the frame-counter pattern) to an audio file"},
    {"play", &r9sim::RunPlay, "play an audio file through the audio service into the R9 and report what it heard"},
    {"record", &r9sim::RunRecord, "record what the R9's inputs produce through the audio service into a file"},
};

void PrintUsage()
{
    std::printf("usage: r9sim <command> [options]\n\ncommands:\n");
    for (const Command& command : kCommands) {
        std::printf("  %-10s %s\n", command.name, command.summary);
    }
    std::printf("\n'r9sim <command> --help' describes a command's options.\n");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        PrintUsage();
        return argc < 2 ? 2 : 0;
    }
    for (const Command& command : kCommands) {
        if (std::strcmp(argv[1], command.name) == 0) {
            return command.run(r9sim::Arguments(argv + 2, argv + argc));
        }
    }
    std::fprintf(stderr, "r9sim: unknown command '%s'\n\n", argv[1]);
    PrintUsage();
    return 2;
}
