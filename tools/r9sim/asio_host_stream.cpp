// r9sim asio through the ASIO driver: the test ASIO host finds tvr9asio.dll where hosts look,
// creates it through COM and streams the asked-for number of buffer switches, re-creating the
// driver should it ask for a reset; the kernel driver's figures are read while the stream runs.
#include <cstdio>
#include <iostream>

#include "common/device_list.h"
#include "driver/adapter/usb_audio_adapter.h"
#include "tools/asiohost/installed_drivers.h"
#include "tools/asiohost/stream_report.h"
#include "tools/r9sim/asio_command.h"

namespace r9sim {

namespace {

constexpr char kDriverName[] = "TAVO R9 ASIO Driver";
constexpr ULONG kDsdBitsPerWord = 32;

// The host's engine, which also notes the kernel driver's margin and ring fill once the stream
// has settled (on the second buffer switch), and the driver's and the device's counts on the last
// switch asked for, before the stop (the device's FIFO runs dry once the host stops feeding it).
class FigureTakingHost : public asiohost::HostEngine {
public:
    FigureTakingHost(PluggedDevice& plugged, uint64_t lastSwitch)
        : adapter_(*plugged.Adapter()), device_(plugged.Device()), lastSwitch_(lastSwitch)
    {
    }

    void BufferSwitch(LONG index, const ASIOTime* time) override
    {
        if (switches == 1) {
            margin = adapter_.Engine().Asio().Margin();
            prefill = adapter_.Engine().Asio().RenderRing().PrefillBytes();
        }
        if (switches + 1 == lastSwitch_) {
            statistics = adapter_.Engine().Statistics();
            underflows = device_.Engine().RenderStats().underflows.count;
            overflows = device_.Engine().RenderStats().overflows.count;
        }
        HostEngine::BufferSwitch(index, time);
    }

    LONG margin = 0;
    ULONG prefill = 0;
    EngineStatistics statistics = {};
    uint64_t underflows = 0;
    uint64_t overflows = 0;

private:
    UsbAudioAdapter& adapter_;
    sim::devices::R9Device& device_;
    uint64_t lastSwitch_;
};

void PrintRateRefused(const AsioOptions& options)
{
    CDeviceList list;
    list.Enumerate();
    if (list.Count() == 0) {
        std::fprintf(stderr, "r9sim asio: the R9 does not run at %u Hz\n", unsigned(options.rate));
        return;
    }
    const CAudioDevice& device = list.Device(0);
    std::fprintf(stderr, "r9sim asio: the R9 does not run at %u Hz (its range: %u to %u Hz)\n", unsigned(options.rate),
                 unsigned(device.LowestRate()), unsigned(device.HighestRate()));
}

}  // namespace

int StreamThroughAsioDriver(const AsioOptions& options, PluggedDevice& plugged)
{
    asiohost::ComApartment apartment;
    const std::vector<asiohost::InstalledDriver> drivers = asiohost::ListInstalledDrivers();
    const asiohost::InstalledDriver* driver = asiohost::FindDriver(drivers, kDriverName);
    if (driver == nullptr || !driver->usable) {
        std::printf("ASIO driver: none installed; streaming through the private interface\n");
        return StreamThroughPrivateInterface(options, plugged);
    }
    std::printf("ASIO driver: %s, %s, through the test ASIO host\n", driver->name.c_str(), driver->serverPath.c_str());
    asiohost::StreamOptions stream;
    stream.dsd = options.dsd;
    stream.rate = options.dsd ? double(options.rate) * kDsdBitsPerWord : double(options.rate);
    stream.bufferSize = LONG(options.dsd ? options.frames * kDsdBitsPerWord : options.frames);
    stream.inputs = options.input ? -1 : 0;
    stream.switches = uint64_t(options.seconds) * options.rate / options.frames;
    FigureTakingHost engine(plugged, stream.switches);
    asiohost::HostSession session(driver->clsid, engine);
    // The R9's converters resolve 24 bits of every 32-bit word, DSD words included.
    stream.convertedBits = 24;
    asiohost::StreamReport report;
    const bool streamed = session.Stream(stream, report);
    if (!streamed && report.failedAt == asiohost::StreamStep::Rate) {
        PrintRateRefused(options);
        return 1;
    }

    std::printf("stream: %s at %u Hz%s, %u-frame halves, %ld s\n", options.input ? "duplex" : "output only",
                unsigned(options.rate), options.dsd ? " (native DSD64)" : "", unsigned(options.frames),
                options.seconds);
    std::fflush(stdout);
    asiohost::PrintStreamReport(report, std::cout);
    std::cout.flush();
    PrintDriverFigures(options, *plugged.Adapter(), engine.margin, engine.prefill);
    std::printf("resets: render %ld, capture %ld\n", static_cast<long>(engine.statistics.renderResets),
                static_cast<long>(engine.statistics.captureResets));
    std::printf("device FIFO: %llu underflows, %llu overflows\n", static_cast<unsigned long long>(engine.underflows),
                static_cast<unsigned long long>(engine.overflows));
    return streamed && report.resetRequests == 0 && (!options.input || report.Continuous()) ? 0 : 1;
}

}  // namespace r9sim
