#include "tools/asiohost/host_session.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "tools/asiohost/caps_report.h"

namespace asiohost {

namespace {

// Time the driver may take beyond the stream's own length to deliver the switches asked for: its
// start, and a re-creation after a reset request.
constexpr ULONGLONG kSlackMs = 1000;

std::string Hex(HRESULT result)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(static_cast<ULONG>(result)));
    return text;
}

std::string Hz(double rate) { return std::to_string(static_cast<long long>(rate)) + " Hz"; }

}  // namespace

bool HostSession::Fail(StreamReport& report, StreamStep step, const std::string& failure)
{
    report.failedAt = step;
    report.failure = failure;
    return false;
}

bool HostSession::Open(const StreamOptions& options, bool applyRate, StreamReport& report)
{
    const HRESULT created = driver_.Create(clsid_);
    if (FAILED(created)) {
        return Fail(report, StreamStep::Create,
                    "the driver could not be created (CoCreateInstance: " + Hex(created) + ")");
    }
    if (driver_->init(nullptr) != ASIOTrue) {
        return Fail(report, StreamStep::Init, "init failed: " + driver_.ErrorMessage());
    }
    if (options.dsd) {
        ASIOIoFormat format = {};
        format.FormatType = kASIODSDFormat;
        if (driver_->future(kAsioSetIoFormat, &format) != ASE_SUCCESS) {
            return Fail(report, StreamStep::Format, "the driver does not stream native DSD");
        }
    }
    if (applyRate && options.rate > 0) {
        const ASIOError can = driver_->canSampleRate(options.rate);
        const ASIOError set = can == ASE_OK ? driver_->setSampleRate(options.rate) : can;
        if (set != ASE_OK) {
            return Fail(report, StreamStep::Rate,
                        "the driver cannot run at " + Hz(options.rate) + " (" + ErrorName(set) + ")");
        }
    }
    LONG inputs = 0;
    LONG outputs = 0;
    LONG sizes[4] = {};
    if (driver_->getChannels(&inputs, &outputs) != ASE_OK ||
        driver_->getBufferSize(&sizes[0], &sizes[1], &sizes[2], &sizes[3]) != ASE_OK) {
        return Fail(report, StreamStep::Buffers, "the driver answers neither its channels nor its buffer sizes");
    }
    report.inputs = options.inputs < 0 ? inputs : std::min(options.inputs, inputs);
    report.outputs = options.outputs < 0 ? outputs : std::min(options.outputs, outputs);
    report.bufferSize = options.bufferSize > 0 ? options.bufferSize : sizes[2];
    std::vector<ASIOBufferInfo> infos;
    for (LONG channel = 0; channel < std::max(report.inputs, report.outputs); ++channel) {
        if (channel < report.inputs) {
            infos.push_back({ASIOTrue, channel, {}});
        }
        if (channel < report.outputs) {
            infos.push_back({ASIOFalse, channel, {}});
        }
    }
    if (infos.empty()) {
        return Fail(report, StreamStep::Buffers, "no channels to stream");
    }
    ASIOChannelInfo first = {};
    first.channel = infos[0].channelNum;
    first.isInput = infos[0].isInput;
    driver_->getChannelInfo(&first);
    report.sampleType = first.type;
    const ASIOError buffers =
        driver_->createBuffers(infos.data(), LONG(infos.size()), report.bufferSize, engine_.Callbacks());
    if (buffers != ASE_OK) {
        return Fail(report, StreamStep::Buffers,
                    "createBuffers of " + std::to_string(infos.size()) + " channels, " +
                        std::to_string(report.bufferSize) + " samples: " + ErrorName(buffers));
    }
    prepared_ = true;
    driver_->getSampleRate(&report.rate);
    report.latencies = driver_->getLatencies(&report.inputLatency, &report.outputLatency);
    report.signal = engine_.StreamSignal(infos.data(), int(infos.size()), report.bufferSize, report.sampleType,
                                         options.convertedBits, uint32_t(outputs));
    engine_.CallOutputReady(options.callOutputReady ? driver_.Get() : nullptr);
    const ASIOError started = driver_->start();
    if (started != ASE_OK) {
        return Fail(report, StreamStep::Start, "start: " + ErrorName(started));
    }
    return true;
}

void HostSession::CollectSignal(StreamReport& report)
{
    const SignalChecker& input = engine_.Input();
    report.signalFrames += input.SignalFrames();
    report.breaks += input.Breaks();
    if (report.firstBreak.empty()) {
        report.firstBreak = input.FirstBreak();
    }
    if (input.Arrived()) {
        report.roundTrip = input.RoundTripFrames();
    }
}

void HostSession::Close(StreamReport& report)
{
    if (prepared_) {
        driver_->stop();
        CollectSignal(report);
        engine_.EndSignal();
        engine_.CallOutputReady(nullptr);
        driver_->disposeBuffers();
        prepared_ = false;
    }
    driver_.Release();
}

bool HostSession::Recreate(const StreamOptions& options, StreamReport& report)
{
    recreatingThread_ = GetCurrentThreadId();
    if (++report.recreations > options.maxResets) {
        return Fail(report, StreamStep::Streaming,
                    "the driver asked for a reset " + std::to_string(report.recreations) + " times");
    }
    Close(report);
    // The new object runs at whatever rate the driver now has (a reset often follows a rate
    // change in its control panel); the host keeps its own choice of format.
    return Open(options, false, report);
}

bool HostSession::Run(const StreamOptions& options, StreamReport& report)
{
    const uint64_t target = options.switches > 0 ? engine_.switches + options.switches : 0;
    ULONGLONG begin = GetTickCount64();
    ULONGLONG limit = options.milliseconds;
    engine_.WakeAfterSwitches(target);
    if (target != 0) {
        const double seconds = double(options.switches) * report.bufferSize / std::max(report.rate, 1.0);
        limit = ULONGLONG(seconds * 1000) + kSlackMs;
    }
    for (;;) {
        const ULONGLONG elapsed = GetTickCount64() - begin;
        if (elapsed >= limit) {
            break;
        }
        const DWORD waited = WaitForSingleObject(engine_.WakeEvent(), DWORD(limit - elapsed));
        if (engine_.TakeResetRequest()) {
            if (!Recreate(options, report)) {
                return false;
            }
            if (target != 0) {
                begin = GetTickCount64();  // the switches still to come get their time again
            }
            continue;
        }
        if (engine_.TakeLatencyChange()) {
            report.latencies = driver_->getLatencies(&report.inputLatency, &report.outputLatency);
        }
        if (target != 0 && engine_.switches >= target) {
            return true;
        }
        if (waited != WAIT_OBJECT_0) {
            break;
        }
    }
    if (target != 0) {
        return Fail(report, StreamStep::Streaming,
                    "only " + std::to_string(engine_.switches - (target - options.switches)) + " of " +
                        std::to_string(options.switches) + " buffer switches came in time");
    }
    return true;
}

bool HostSession::Stream(const StreamOptions& options, StreamReport& report)
{
    report = StreamReport{};
    if (!engine_.Active()) {
        return Fail(report, StreamStep::Create, "another host of this process holds the ASIO callbacks");
    }
    const uint64_t switchesBefore = engine_.switches;
    const int resetsBefore = engine_.resetRequests;
    const bool streamed = Open(options, true, report) && Run(options, report);
    Close(report);
    report.switches = engine_.switches - switchesBefore;
    report.resetRequests = engine_.resetRequests - resetsBefore;
    return streamed;
}

}  // namespace asiohost
