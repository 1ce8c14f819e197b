#include "tools/asiohost/stream_report.h"

#include <cstdio>

#include "tools/asiohost/caps_report.h"
#include "tools/asiohost/frame_counter_signal.h"

namespace asiohost {

namespace {

std::string Milliseconds(int64_t frames, double rate)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f ms", rate > 0 ? double(frames) * 1000.0 / rate : 0.0);
    return text;
}

}  // namespace

void PrintStreamReport(const StreamReport& report, std::ostream& out)
{
    if (report.failedAt != StreamStep::None && report.failedAt != StreamStep::Streaming && report.switches == 0) {
        out << "stream failed: " << report.failure << "\n";
        return;
    }
    out << "buffer switches: " << report.switches << " (" << report.bufferSize << " samples at "
        << static_cast<long long>(report.rate) << " Hz, " << SampleTypeName(report.sampleType) << ")\n";
    out << "reset requests: " << report.resetRequests << ", driver re-created " << report.recreations
        << " times\n";
    if (!report.failure.empty()) {
        out << "stream failed: " << report.failure << "\n";
    }
    if (!report.signal) {
        out << "input: not checked (the signal is not written in this sample type)\n";
        return;
    }
    if (report.inputs == 0) {
        return;
    }
    if (report.roundTrip < 0) {
        out << "input: the signal never came back\n";
    } else if (report.Continuous()) {
        out << "input: continuous (" << report.signalFrames << " frames of signal)\n";
    } else {
        out << "input: broken, " << report.breaks << " frames did not continue; first: " << report.firstBreak << "\n";
    }
    if (report.roundTrip < 0) {
        return;
    }
    // One-bit DSD counts its signal in 32-sample words, at 1/32 of the rate.
    const bool dsd = report.sampleType == ASIOSTDSDInt8LSB1 || report.sampleType == ASIOSTDSDInt8MSB1;
    const double frameRate = dsd ? report.rate / 32 : report.rate;
    out << "round trip: " << report.roundTrip << (dsd ? " words" : " frames") << " ("
        << Milliseconds(report.roundTrip, frameRate) << "), measured from the signal\n";
    if (report.latencies == ASE_OK) {
        const LONG claimed = report.inputLatency + report.outputLatency;
        out << "getLatencies: input " << report.inputLatency << " + output " << report.outputLatency << " = "
            << claimed << " (" << Milliseconds(claimed, report.rate) << ")";
        if (!dsd) {
            out << "; measured minus claimed: " << report.roundTrip - claimed;
        }
        out << "\n";
    } else {
        out << "getLatencies: " << ErrorName(report.latencies) << "\n";
    }
}

}  // namespace asiohost
