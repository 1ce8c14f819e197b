#include "tools/r9sim/audio_session.h"

#include <unistd.h>

#include <cstdio>

#include "common/device_list.h"
#include "driver/adapter/usb_audio_adapter.h"
#include "sim/user/processes.h"

namespace r9sim {

namespace {

constexpr int64_t kStepNs = 10000000;
constexpr int64_t kProgressThresholdNs = 3000000000LL;
constexpr uint32_t kWaveFilterRates[] = {32000, 44100, 48000, 88200, 96000, 176400, 192000};
constexpr int kBarWidth = 40;

std::string Narrow(const std::u16string& text) { return sim::Utf16ToUtf8(text); }

// Sets the device rate as the control panel does: the device access library finds the R9 and asks
// its driver through the private control interface.
bool SetRateAsTheUserDoes(const std::u16string& instance, uint32_t rate, std::string& offered)
{
    sim::user::ProcessScope process(u"C:\\Program Files\\TAVO\\r9sim.exe");
    CDeviceList list;
    list.Enumerate();
    if (!list.SelectByInstanceId(reinterpret_cast<const WCHAR*>(instance.c_str()))) {
        offered = "no R9 found";
        return false;
    }
    const CAudioDevice& device = *list.GetSelected();
    offered = std::to_string(device.LowestRate()) + " to " + std::to_string(device.HighestRate()) + " Hz";
    return device.SetRate(rate);
}

void DrawProgress(int64_t done, int64_t expected)
{
    const double fraction = expected == 0 ? 1.0 : std::min(1.0, double(done) / double(expected));
    const int filled = int(fraction * kBarWidth);
    std::fprintf(stderr, "\r[%s%s] %6.1f of %.1f s", std::string(size_t(filled), '#').c_str(),
                 std::string(size_t(kBarWidth - filled), ' ').c_str(), double(done) / 1e9, double(expected) / 1e9);
    std::fflush(stderr);
}

}  // namespace

bool IsWaveFilterRate(uint32_t rate)
{
    for (uint32_t known : kWaveFilterRates) {
        if (known == rate) {
            return true;
        }
    }
    return false;
}

std::string WaveFilterRates()
{
    std::string text;
    for (uint32_t rate : kWaveFilterRates) {
        text += (text.empty() ? "" : ", ") + std::to_string(rate);
    }
    return text;
}

AudioSession::~AudioSession()
{
    if (serviceRunning_) {
        Service().Stop();
    }
    if (plugged_ != nullptr) {
        plugged_->Unplug();
    }
}

bool AudioSession::Start(const SessionOptions& options)
{
    sim::devices::R9Variant variant;
    if (!ParseVariant(options.device, variant)) {
        std::fprintf(stderr, "r9sim %s: unknown device '%s' (devices: r9, r9-uac1)\n", command_, options.device.c_str());
        return false;
    }
    machine_ = std::make_unique<sim::Machine>();
    usb_ = std::make_unique<sim::usb::HostController>();
    plugged_ = std::make_unique<PluggedDevice>(*usb_, variant);
    if (!plugged_->Started()) {
        std::fprintf(stderr, "r9sim %s: the driver did not start on the device\n", command_);
        return false;
    }
    plugged_->Loopback(sim::devices::R9Device::kLoopbackDelayFrames);
    if (options.rate != 0 && options.rate != DeviceRate()) {
        std::string offered;
        if (!SetRateAsTheUserDoes(Instance(), options.rate, offered)) {
            std::fprintf(stderr, "r9sim %s: the R9 cannot run at %u Hz (it offers %s)\n", command_,
                         unsigned(options.rate), offered.c_str());
            return false;
        }
        std::printf("device rate: set to %u Hz\n", unsigned(DeviceRate()));
    }
    Service().Start();
    serviceRunning_ = true;
    return true;
}

uint32_t AudioSession::DeviceRate() const
{
    ULONG rate = 0;
    UsbAudioAdapter* adapter = plugged_ == nullptr ? nullptr : plugged_->Adapter();
    if (adapter != nullptr) {
        adapter->GetSampleRate(&rate);
    }
    return rate;
}

void AudioSession::Run(int64_t expected, int64_t limit, const std::function<bool()>& step)
{
    const bool progress = expected > kProgressThresholdNs && isatty(STDERR_FILENO) != 0;
    int64_t shown = -1;
    for (int64_t done = 0; done < limit && step(); done += kStepNs) {
        machine_->RunFor(kStepNs);
        if (progress && done / 100000000 != shown) {
            shown = done / 100000000;
            DrawProgress(done, expected);
        }
    }
    if (progress) {
        DrawProgress(expected, expected);
        std::fprintf(stderr, "\n");
    }
}

void AudioSession::Finish(const std::vector<StreamReport>& reports)
{
    // The service closes its pins once no stream runs; then the device can go cleanly.
    machine_->RunFor(kStepNs);
    PrintSummary(reports);
    Service().Stop();
    serviceRunning_ = false;
    plugged_->Unplug();
    plugged_.reset();
}

void AudioSession::PrintSummary(const std::vector<StreamReport>& reports)
{
    UsbAudioAdapter* adapter = plugged_->Adapter();
    for (const StreamReport& report : reports) {
        const sim::audio::StreamCounters counters = report.stream->Counters();
        const sim::audio::EndpointStatus endpoint = Service().Status(Instance(), report.flow);
        const WAVEFORMATEX& format = endpoint.format.Format;
        std::printf("%s: %llu frames at %u Hz, %u channel(s), through %s at %u Hz, %u channels, %u-bit\n",
                    report.direction.c_str(), static_cast<unsigned long long>(counters.framesQueued),
                    unsigned(report.stream->Format().rate), unsigned(report.stream->Format().channels),
                    endpoint.filterName.empty() ? "(no filter)" : Narrow(endpoint.filterName).c_str(),
                    unsigned(format.nSamplesPerSec), unsigned(format.nChannels), unsigned(format.wBitsPerSample));
        std::printf("  glitches: %llu in the stream, %llu at the device, %llu in the port\n",
                    static_cast<unsigned long long>(report.flow == sim::audio::Flow::Render ? counters.glitches
                                                                                            : counters.overflows),
                    static_cast<unsigned long long>(endpoint.counters.glitches),
                    static_cast<unsigned long long>(endpoint.port.starvations + endpoint.port.overruns));
    }
    const sim::devices::audio::RenderCounters render = Device().Engine().RenderStats();
    const sim::devices::audio::CaptureCounters capture = Device().Engine().CaptureStats();
    std::printf("device: %u Hz; %llu frames reached the converters; FIFO %llu underflows, %llu overflows; "
                "capture %llu frames lost\n",
                unsigned(DeviceRate()), static_cast<unsigned long long>(Device().Engine().RenderRecorder().Frames()),
                static_cast<unsigned long long>(render.underflows.count),
                static_cast<unsigned long long>(render.overflows.count),
                static_cast<unsigned long long>(capture.framesLost));
    if (adapter != nullptr) {
        const EngineStatistics statistics = adapter->Engine().Statistics();
        std::printf("driver: %ld render resets, %ld capture resets\n", static_cast<long>(statistics.renderResets),
                    static_cast<long>(statistics.captureResets));
    }
}

}  // namespace r9sim
