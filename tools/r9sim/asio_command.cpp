// r9sim asio: an ASIO host's stream on the R9 in loopback, through the installed ASIO driver (or,
// with --private, straight through the kernel driver's private interface), with the round trip
// the host measures from its signal beside the driver's own figures.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "common/device_list.h"
#include "driver/adapter/usb_audio_adapter.h"
#include "driver/driver_tuning.h"
#include "sim/devices/r9/r9_device.h"
#include "sim/kernel/machine.h"
#include "sim/registry/machine_registry.h"
#include "sim/user/processes.h"
#include "tools/r9sim/asio_command.h"
#include "tools/r9sim/asio_driver_install.h"
#include "tools/r9sim/commands.h"
#include "tools/r9sim/plugged_device.h"
#include "tools/r9sim/private_stream_client.h"

namespace r9sim {

namespace {

constexpr ULONG kDsd64WordRate = 88200;
constexpr USHORT kDsdNativeMode = 1;  // 2.8224 MHz of one-bit samples in 32-bit words

void PrintAsioHelp()
{
    std::printf(
        "usage: r9sim asio [--rate R] [--frames N] [--seconds S] [--duplex|--output-only] [--dsd]\n"
        "                  [--old-fashioned] [--private]\n"
        "  --rate R          the device rate, a rate the R9 offers (default 48000)\n"
        "  --frames N        frames per buffer half, as the ASIO driver offers them: 64 to 4096 in\n"
        "                    steps of 32, from 64 x (rate / 44100 or 48000) up (default: the smallest)\n"
        "  --seconds S       simulated seconds of streaming, 1 to 3600 (default 10)\n"
        "  --duplex          input and output (the default); --output-only: output alone\n"
        "  --dsd             native DSD64 (2.8224 MHz, 32-bit words at 88200 Hz)\n"
        "  --old-fashioned   the driver's old-fashioned transfer: output mixed as requests are built\n"
        "  --private         without the ASIO driver: straight through the kernel driver's private\n"
        "                    interface, as the ASIO driver's streaming thread uses it\n");
}

// The buffer sizes the ASIO driver offers: multiples of 32 frames, and at the higher rates of each
// family proportionally more, so that a buffer half always spans the same time; a rate of neither
// family has none above 44.1 kHz.
constexpr long kSmallestBuffer = 64;
constexpr long kLargestBuffer = 4096;
constexpr long kBufferStep = 32;

ULONG SmallestBufferAt(ULONG rate)
{
    if (rate < 44100) {
        return kSmallestBuffer;
    }
    const ULONG family = rate % 44100 == 0 ? 44100 : (rate % 48000 == 0 ? 48000 : 0);
    return family == 0 ? 0 : kSmallestBuffer * (rate / family);
}

// Returns 0, or 2 after naming the argument that is wrong and what it accepts.
int ParseAsioArguments(const Arguments& arguments, AsioOptions& options)
{
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        long value = 0;
        if (argument == "--rate" && hasValue) {
            if (!ParseNumber(arguments[++i], 1, 10000000, value)) {
                std::fprintf(stderr, "r9sim asio: --rate takes a rate in Hz, not '%s'\n", arguments[i].c_str());
                return 2;
            }
            options.rate = ULONG(value);
        } else if (argument == "--frames" && hasValue) {
            if (!ParseNumber(arguments[++i], kSmallestBuffer, kLargestBuffer, value) || value % kBufferStep != 0) {
                std::fprintf(stderr, "r9sim asio: --frames takes 64 to 4096 in steps of 32, not '%s'\n",
                             arguments[i].c_str());
                return 2;
            }
            options.frames = ULONG(value);
        } else if (argument == "--seconds" && hasValue) {
            if (!ParseNumber(arguments[++i], 1, 3600, value)) {
                std::fprintf(stderr, "r9sim asio: --seconds takes 1 to 3600, not '%s'\n", arguments[i].c_str());
                return 2;
            }
            options.seconds = value;
        } else if (argument == "--duplex") {
            options.input = true;
        } else if (argument == "--output-only") {
            options.input = false;
        } else if (argument == "--dsd") {
            options.dsd = true;
        } else if (argument == "--old-fashioned") {
            options.oldFashioned = true;
        } else if (argument == "--private") {
            options.privateInterface = true;
        } else {
            std::fprintf(stderr, "r9sim asio: unknown argument '%s'\n", argument.c_str());
            PrintAsioHelp();
            return 2;
        }
    }
    if (options.dsd) {
        options.rate = kDsd64WordRate;
    }
    const ULONG smallest = SmallestBufferAt(options.rate);
    if (smallest == 0 || smallest > ULONG(kLargestBuffer)) {
        std::fprintf(stderr, "r9sim asio: the ASIO driver offers no buffer size at %u Hz\n", unsigned(options.rate));
        return 2;
    }
    if (options.frames == 0) {
        options.frames = smallest;
    } else if (options.frames < smallest) {
        std::fprintf(stderr, "r9sim asio: at %u Hz the ASIO driver offers buffers from %u frames, not %u\n",
                     unsigned(options.rate), unsigned(smallest), unsigned(options.frames));
        return 2;
    }
    return 0;
}

}  // namespace

void PrintDriverFigures(const AsioOptions& options, UsbAudioAdapter& adapter, LONG marginBytes, ULONG prefillBytes)
{
    const UsbStreamFormat& render = adapter.Engine().UsbFormat(kDirectionOut);
    const double msPerFrame = 1000.0 / options.rate;
    std::printf("driver figures:\n");
    if (options.input && !options.oldFashioned && render.bytesPerFrame != 0) {
        const LONG margin = marginBytes / LONG(render.bytesPerFrame);
        std::printf("  late-mixing margin: %ld frames (%.2f ms)\n", static_cast<long>(margin), margin * msPerFrame);
    } else {
        std::printf("  output mixed as render requests are built\n");
    }
    if (options.input && render.bytesPerFrame != 0) {
        std::printf("  render ring: starts %u frames of silence ahead\n", unsigned(prefillBytes / render.bytesPerFrame));
    }
    std::printf("  render requests: %u in flight of %u ms each; capture requests of %u ms\n",
                unsigned(g_DriverTuning.outRequestsInFlight), unsigned(g_DriverTuning.outPacketsPerRequest),
                unsigned(g_DriverTuning.inPacketsPerRequest));
    std::printf("  device converters: %u frames (DAC %u, ADC %u)\n",
                unsigned(sim::devices::R9Device::kLoopbackDelayFrames), unsigned(sim::devices::R9Device::kDacDelayFrames),
                unsigned(sim::devices::R9Device::kAdcDelayFrames));
}

int StreamThroughPrivateInterface(const AsioOptions& options, PluggedDevice& plugged)
{
    CDeviceList list;
    list.Enumerate();
    if (list.Count() == 0) {
        std::fprintf(stderr, "r9sim asio: the device access library found no R9\n");
        return 1;
    }
    const CAudioDevice& device = list.Device(0);
    // Opened before the rate changes: at a rate without a wave filter the device has no interface
    // to open, and only handles opened before reach it.
    PrivateStreamClient client(reinterpret_cast<const char16_t*>(device.ControlPath()));
    if (!client.IsOpen()) {
        std::fprintf(stderr, "r9sim asio: the driver's control interface did not open (error %u)\n",
                     unsigned(GetLastError()));
        return 1;
    }
    if (device.GetCurrentRate() != options.rate && !device.SetRate(options.rate)) {
        std::fprintf(stderr, "r9sim asio: the R9 does not run at %u Hz (its range: %u to %u Hz)\n",
                     unsigned(options.rate), unsigned(device.LowestRate()), unsigned(device.HighestRate()));
        return 1;
    }
    StreamRequest request;
    request.bufferFrames = options.frames;
    request.input = options.input;
    request.mode = options.dsd ? kDsdNativeMode : 0;
    DWORD error = client.Claim();
    error = error != 0 ? error : client.Open(request);
    error = error != 0 ? error : client.Start();
    if (error != 0) {
        std::fprintf(stderr, "r9sim asio: the driver refused the stream (error %u)\n", unsigned(error));
        return 1;
    }
    UsbAudioAdapter& adapter = *plugged.Adapter();
    const LONG margin = adapter.Engine().Asio().Margin();
    const ULONG prefill = adapter.Engine().Asio().RenderRing().PrefillBytes();
    const uint64_t halves = uint64_t(options.seconds) * options.rate / options.frames;
    const bool streamed = client.Stream(halves);
    const auto render = plugged.Device().Engine().RenderStats();
    const EngineStatistics statistics = adapter.Engine().Statistics();
    client.Stop();
    client.CloseStream();

    std::printf("stream: %s at %u Hz%s, %u-frame halves, %ld s\n", options.input ? "duplex" : "output only",
                unsigned(options.rate), options.dsd ? " (native DSD64)" : "", unsigned(options.frames),
                options.seconds);
    std::printf("buffer switches: %llu%s\n", static_cast<unsigned long long>(client.HalvesDone()),
                streamed ? "" : (" (stopped: " + client.Error() + ")").c_str());
    if (options.input) {
        const int64_t roundTrip = client.RoundTripFrames();
        std::printf("input: %s\n", client.Input().Continuous() ? "continuous" : client.Input().FirstBreak().c_str());
        if (roundTrip >= 0) {
            std::printf("round trip: %lld frames (%.2f ms), measured from the signal\n",
                        static_cast<long long>(roundTrip), double(roundTrip) * 1000.0 / options.rate);
        } else {
            std::printf("round trip: the signal never came back\n");
        }
    }
    PrintDriverFigures(options, adapter, margin, prefill);
    std::printf("resets: render %ld, capture %ld\n", static_cast<long>(statistics.renderResets),
                static_cast<long>(statistics.captureResets));
    std::printf("device FIFO: %llu underflows, %llu overflows\n",
                static_cast<unsigned long long>(render.underflows.count),
                static_cast<unsigned long long>(render.overflows.count));
    return streamed && (!options.input || client.Input().Continuous()) ? 0 : 1;
}

namespace {

// A host program's process on a machine with the driver package installed, tvr9asio.dll
// included unless the private interface is asked for.
int StreamAsHost(const AsioOptions& options, PluggedDevice& plugged)
{
    sim::user::ProcessScope host(u"C:\\Program Files\\Host\\host.exe");
    if (options.privateInterface) {
        return StreamThroughPrivateInterface(options, plugged);
    }
    if (FAILED(InstallAsioDriver())) {
        std::fprintf(stderr, "r9sim asio: the ASIO driver did not register\n");
        return 1;
    }
    return StreamThroughAsioDriver(options, plugged);
}

}  // namespace

int RunAsio(const Arguments& arguments)
{
    for (const std::string& argument : arguments) {
        if (argument == "--help") {
            PrintAsioHelp();
            return 0;
        }
    }
    AsioOptions options;
    if (const int error = ParseAsioArguments(arguments, options); error != 0) {
        return error;
    }
    sim::Machine machine;
    sim::usb::HostController usb;
    PluggedDevice plugged(usb, sim::devices::R9Variant::HighSpeedUac2, options.oldFashioned);
    int exitCode = 1;
    if (plugged.Started()) {
        plugged.Loopback(sim::devices::R9Device::kLoopbackDelayFrames);
        // The host process ends, closing its handle, before the device is pulled out.
        exitCode = StreamAsHost(options, plugged);
    }
    plugged.Unplug();
    return exitCode;
}

}  // namespace r9sim
