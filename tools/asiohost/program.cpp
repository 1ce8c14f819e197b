#include "tools/asiohost/program.h"

#include <cstdlib>

#include "tools/asiohost/caps_report.h"
#include "tools/asiohost/driver_instance.h"
#include "tools/asiohost/installed_drivers.h"
#include "tools/asiohost/stream_report.h"

namespace asiohost {

namespace {

const char kUsage[] =
    "usage: asiohost [--list]\n"
    "       asiohost DRIVER [--stream SECONDS] [--rate HZ] [--buffer SAMPLES] [--inputs N] [--outputs N]\n"
    "                       [--dsd] [--output-ready] [--bits B]\n"
    "Lists the ASIO drivers installed on this machine, or reports what DRIVER (its name or its\n"
    "number in the list) says about itself: channels, buffer sizes, latencies, rates, clocks.\n"
    "  --stream SECONDS  then stream for that long, full duplex on every channel unless --inputs or\n"
    "                    --outputs say how many; every output plays a frame-counter signal (loud!),\n"
    "                    and with the outputs looped back to the inputs (digitally, bit for bit) the\n"
    "                    inputs are checked for it and the round trip is measured\n"
    "  --rate HZ         set this rate first; --buffer the buffer size (default: the preferred)\n"
    "  --dsd             stream native DSD; --output-ready call outputReady after each buffer\n"
    "  --bits B          bits of a sample that survive the loopback (default 24)\n";

struct ProgramOptions {
    bool list = false;
    std::string driver;
    long seconds = 0;
    StreamOptions stream;
};

bool Number(const std::string& text, long low, long high, long& value)
{
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == 0 && value >= low && value <= high;
}

// Returns 0, or 2 after naming what is wrong.
int Parse(const std::vector<std::string>& arguments, ProgramOptions& options, std::ostream& err)
{
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        long value = 0;
        struct Numeric {
            const char* name;
            long low;
            long high;
        } const numerics[] = {{"--stream", 1, 3600}, {"--rate", 1, 100000000}, {"--buffer", 1, 1 << 20},
                              {"--inputs", 0, 1024},  {"--outputs", 0, 1024},   {"--bits", 8, 32}};
        const Numeric* numeric = nullptr;
        for (const Numeric& candidate : numerics) {
            numeric = argument == candidate.name ? &candidate : numeric;
        }
        if (numeric != nullptr) {
            if (!hasValue || !Number(arguments[++i], numeric->low, numeric->high, value)) {
                err << "asiohost: " << numeric->name << " takes a number from " << numeric->low << " to "
                    << numeric->high << "\n";
                return 2;
            }
            const std::string name = numeric->name;
            if (name == "--stream") {
                options.seconds = value;
            } else if (name == "--rate") {
                options.stream.rate = double(value);
            } else if (name == "--buffer") {
                options.stream.bufferSize = value;
            } else if (name == "--inputs") {
                options.stream.inputs = value;
            } else if (name == "--outputs") {
                options.stream.outputs = value;
            } else {
                options.stream.convertedBits = uint32_t(value);
            }
        } else if (argument == "--dsd") {
            options.stream.dsd = true;
        } else if (argument == "--output-ready") {
            options.stream.callOutputReady = true;
        } else if (argument == "--list") {
            options.list = true;
        } else if (argument.size() > 1 && argument[0] == '-') {
            err << "asiohost: unknown option '" << argument << "'\n" << kUsage;
            return 2;
        } else if (options.driver.empty()) {
            options.driver = argument;
        } else {
            err << "asiohost: one driver at a time, not '" << argument << "' too\n";
            return 2;
        }
    }
    options.list = options.list || options.driver.empty();
    return 0;
}

void PrintList(const std::vector<InstalledDriver>& drivers, std::ostream& out)
{
    out << "ASIO drivers: " << drivers.size() << "\n";
    for (size_t i = 0; i < drivers.size(); ++i) {
        const InstalledDriver& driver = drivers[i];
        out << "  " << i + 1 << "  " << driver.name << "\n";
        if (!driver.description.empty()) {
            out << "       description: " << driver.description << "\n";
        }
        if (!driver.usable) {
            out << "       not usable: " << driver.problem << "\n";
            continue;
        }
        out << "       CLSID: " << driver.clsidText << "\n";
        if (driver.serverPath.empty()) {
            out << "       not registered with COM\n";
        } else {
            out << "       server: " << driver.serverPath << " (ThreadingModel "
                << (driver.threadingModel.empty() ? "none" : driver.threadingModel) << ")\n";
        }
    }
}

// Creates and initialises the driver, reports it, and releases it before any stream: a process
// has one driver object at a time.
bool Report(const InstalledDriver& driver, std::ostream& out)
{
    out << "driver: " << driver.name << " " << driver.clsidText << "\n";
    DriverInstance instance;
    const HRESULT created = instance.Create(driver.clsid);
    if (FAILED(created)) {
        out << "create: failed, CoCreateInstance answers 0x" << std::hex << static_cast<ULONG>(created)
            << std::dec << "\n";
        return false;
    }
    out << "name: " << instance.DriverName() << ", version " << instance->getDriverVersion() << "\n";
    if (instance->init(nullptr) != ASIOTrue) {
        out << "init: failed: " << instance.ErrorMessage() << "\n";
        return false;
    }
    out << "init: ok\n";
    ReportCaps(instance.Get(), out);
    return true;
}

}  // namespace

int RunProgram(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err)
{
    for (const std::string& argument : arguments) {
        if (argument == "--help" || argument == "/?") {
            out << kUsage;
            return 0;
        }
    }
    ProgramOptions options;
    if (const int error = Parse(arguments, options, err); error != 0) {
        return error;
    }
    ComApartment apartment;
    if (FAILED(apartment.Result())) {
        err << "asiohost: COM did not start\n";
        return 1;
    }
    const std::vector<InstalledDriver> drivers = ListInstalledDrivers();
    if (options.list) {
        PrintList(drivers, out);
        return 0;
    }
    const InstalledDriver* driver = FindDriver(drivers, options.driver);
    if (driver == nullptr) {
        err << "asiohost: no ASIO driver '" << options.driver << "' (asiohost --list names them)\n";
        return 2;
    }
    if (!driver->usable) {
        out << "driver: " << driver->name << " is not usable: " << driver->problem << "\n";
        return 1;
    }
    if (!Report(*driver, out)) {
        return 1;
    }
    if (options.seconds == 0) {
        return 0;
    }
    options.stream.milliseconds = DWORD(options.seconds * 1000);
    HostEngine engine;
    HostSession session(driver->clsid, engine);
    StreamReport report;
    const bool streamed = session.Stream(options.stream, report);
    out << "stream: " << report.inputs << " in, " << report.outputs << " out, " << options.seconds << " s\n";
    PrintStreamReport(report, out);
    // A signal that never came back only means the outputs are not looped back; one that came back
    // broken is a fault.
    const bool broken = report.roundTrip >= 0 && !report.Continuous();
    return streamed && !broken ? 0 : 1;
}

}  // namespace asiohost
