#include "tools/asiohost/caps_report.h"

#include <cstring>
#include <iomanip>

#include "tools/asiohost/driver_instance.h"
#include "tools/asiohost/frame_counter_signal.h"

namespace asiohost {

namespace {

const double kStandardRates[] = {8000,   11025,  16000,  22050,  32000,  44100,  48000,  88200,
                                 96000,  176400, 192000, 352800, 384000, 705600, 768000};
const double kDsdRates[] = {2822400, 5644800, 11289600};
constexpr LONG kMaxClockSources = 32;

void ReportChannels(IASIO* driver, std::ostream& out)
{
    LONG inputs = 0;
    LONG outputs = 0;
    const ASIOError error = driver->getChannels(&inputs, &outputs);
    if (error != ASE_OK) {
        out << "channels: " << ErrorName(error) << "\n";
        return;
    }
    out << "channels: " << inputs << " in, " << outputs << " out\n";
    for (int direction = 0; direction < 2; ++direction) {
        const bool input = direction == 0;
        for (LONG channel = 0; channel < (input ? inputs : outputs); ++channel) {
            ASIOChannelInfo info = {};
            info.channel = channel;
            info.isInput = input ? ASIOTrue : ASIOFalse;
            const ASIOError result = driver->getChannelInfo(&info);
            out << "  " << (input ? "in " : "out") << " " << std::setw(2) << channel << "  ";
            if (result != ASE_OK) {
                out << ErrorName(result) << "\n";
                continue;
            }
            out << std::left << std::setw(32) << FieldText(info.name, sizeof info.name) << std::right
                << SampleTypeName(info.type) << " (" << info.type << "), group " << info.channelGroup << "\n";
        }
    }
}

void ReportBuffers(IASIO* driver, std::ostream& out)
{
    LONG minimum = 0;
    LONG maximum = 0;
    LONG preferred = 0;
    LONG granularity = 0;
    const ASIOError error = driver->getBufferSize(&minimum, &maximum, &preferred, &granularity);
    if (error != ASE_OK) {
        out << "buffer sizes: " << ErrorName(error) << "\n";
        return;
    }
    out << "buffer sizes: min " << minimum << ", max " << maximum << ", preferred " << preferred
        << ", granularity " << granularity;
    if (granularity == 0 || minimum == maximum) {
        out << " (one size)";
    } else if (granularity == -1) {
        out << " (powers of two)";
    }
    out << "\n";
    LONG input = 0;
    LONG output = 0;
    const ASIOError latencies = driver->getLatencies(&input, &output);
    if (latencies == ASE_OK) {
        out << "latencies: input " << input << ", output " << output << " frames (before createBuffers)\n";
    } else {
        out << "latencies: " << ErrorName(latencies) << "\n";
    }
}

void ReportRates(IASIO* driver, std::ostream& out)
{
    ASIOSampleRate rate = 0;
    const ASIOError error = driver->getSampleRate(&rate);
    if (error == ASE_OK) {
        out << "sample rate: " << std::fixed << std::setprecision(0) << rate << " Hz\n";
    } else {
        out << "sample rate: " << ErrorName(error) << "\n";
    }
    out << "can run at:";
    bool any = false;
    for (double candidate : kStandardRates) {
        if (driver->canSampleRate(candidate) == ASE_OK) {
            out << " " << std::fixed << std::setprecision(0) << candidate;
            any = true;
        }
    }
    out << (any ? " Hz\n" : " none of the standard rates\n");
}

void ReportClocks(IASIO* driver, std::ostream& out)
{
    ASIOClockSource clocks[kMaxClockSources] = {};
    LONG count = kMaxClockSources;
    const ASIOError error = driver->getClockSources(clocks, &count);
    if (error != ASE_OK) {
        out << "clock sources: " << ErrorName(error) << "\n";
        return;
    }
    out << "clock sources: " << count << "\n";
    for (LONG i = 0; i < count && i < kMaxClockSources; ++i) {
        out << "  " << clocks[i].index << "  " << FieldText(clocks[i].name, sizeof clocks[i].name)
            << (clocks[i].isCurrentSource ? " (current)" : "") << "\n";
    }
}

const char* Answer(ASIOError error) { return error == ASE_SUCCESS || error == ASE_OK ? "yes" : "no"; }

void ReportFeatures(IASIO* driver, std::ostream& out)
{
    ASIOIoFormat dsd = {};
    dsd.FormatType = kASIODSDFormat;
    const ASIOError canDsd = driver->future(kAsioCanDoIoFormat, &dsd);
    out << "native DSD: " << Answer(canDsd);
    if (canDsd == ASE_SUCCESS) {
        ASIOIoFormat current = {};
        if (driver->future(kAsioGetIoFormat, &current) == ASE_SUCCESS) {
            out << " (current format: " << (current.FormatType == kASIODSDFormat ? "DSD" : "PCM") << ")";
        }
        out << "; DSD rates:";
        // canSampleRate answers for the current format; DSD rates are asked in the DSD format.
        if (driver->future(kAsioSetIoFormat, &dsd) == ASE_SUCCESS) {
            for (double candidate : kDsdRates) {
                if (driver->canSampleRate(candidate) == ASE_OK) {
                    out << " " << std::fixed << std::setprecision(0) << candidate;
                }
            }
            ASIOIoFormat pcm = {};
            pcm.FormatType = kASIOPCMFormat;
            driver->future(kAsioSetIoFormat, &pcm);
        }
    }
    out << "\n";
    out << "time info: " << Answer(driver->future(kAsioCanTimeInfo, nullptr))
        << ", time code: " << Answer(driver->future(kAsioCanTimeCode, nullptr))
        << ", input monitor: " << Answer(driver->future(kAsioCanInputMonitor, nullptr))
        << ", outputReady: " << Answer(driver->outputReady()) << "\n";
}

}  // namespace

std::string ErrorName(ASIOError error)
{
    switch (error) {
    case ASE_OK:
        return "ASE_OK";
    case ASE_SUCCESS:
        return "ASE_SUCCESS";
    case ASE_NotPresent:
        return "ASE_NotPresent";
    case ASE_HWMalfunction:
        return "ASE_HWMalfunction";
    case ASE_InvalidParameter:
        return "ASE_InvalidParameter";
    case ASE_InvalidMode:
        return "ASE_InvalidMode";
    case ASE_SPNotAdvancing:
        return "ASE_SPNotAdvancing";
    case ASE_NoClock:
        return "ASE_NoClock";
    case ASE_NoMemory:
        return "ASE_NoMemory";
    default:
        return "error " + std::to_string(error);
    }
}

void ReportCaps(IASIO* driver, std::ostream& out)
{
    ReportChannels(driver, out);
    ReportBuffers(driver, out);
    ReportRates(driver, out);
    ReportClocks(driver, out);
    ReportFeatures(driver, out);
}

}  // namespace asiohost
