#include "sim/devices/audio_class/audio_engine_device.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "sim/kernel/machine.h"
#include "sim/usb/bus_time.h"

namespace sim::devices {

namespace {

constexpr uint8_t kDirectionIn = 0x80;
constexpr int kDeepestClockChain = 8;
constexpr uint8_t kLongestIntervalExponent = 15;

int64_t MachineTime() { return sim::Machine::Exists() ? sim::Machine::Current().Now() : 0; }

// Feature units chained after one another before a terminal; more would be a loop.
constexpr int kMaximumHops = 16;

// A channel's gain through a feature unit: its master and own volume in 1/256 dB, silent when
// either is muted or set to the silence value 0x8000.
double ChannelGain(const AudioClassFunction& function, uint8_t unit, uint8_t channel)
{
    const int16_t master = function.Volume(unit, 0);
    const int16_t own = function.Volume(unit, channel);
    if (function.Mute(unit, 0) || function.Mute(unit, channel) || master == kVolumeSilence || own == kVolumeSilence) {
        return 0.0;
    }
    const double decibels = (double(master) + double(own)) / 256.0;
    return decibels == 0.0 ? 1.0 : std::pow(10.0, decibels / 20.0);
}

audio::BusSpeed EngineSpeed(sim::usb::UsbSpeed speed)
{
    return speed == sim::usb::UsbSpeed::High ? audio::BusSpeed::High : audio::BusSpeed::Full;
}

std::unique_ptr<audio::AudioClock> NewClock(uint32_t rate)
{
    return std::make_unique<audio::AudioClock>(rate != 0 ? rate : kDefaultRate);
}

uint8_t FeedbackPeriodExponent(const sim::usb::EndpointLayout& endpoint, bool audioClass20)
{
    if (!audioClass20 && endpoint.refresh != 0) {
        return std::min(endpoint.refresh, kLongestIntervalExponent);
    }
    return endpoint.interval > 1 ? std::min(uint8_t(endpoint.interval - 1), kLongestIntervalExponent) : 0;
}

// Before the first period since the bus started is complete, the count of the slot itself.
audio::FeedbackTiming FeedbackTimingOf(const sim::usb::IsoSlot& slot, sim::usb::UsbSpeed speed, uint8_t exponent)
{
    audio::FeedbackTiming timing;
    timing.slotStartNs = slot.startNs;
    timing.slotEndNs = slot.startNs + slot.durationNs;
    timing.periodStartNs = timing.slotStartNs;
    timing.periodEndNs = timing.slotEndNs;
    const int64_t intervals = int64_t(1) << exponent;
    const int64_t end = int64_t(slot.busInterval) / intervals * intervals;
    if (slot.bus != nullptr && end >= intervals) {
        timing.periodStartNs = slot.bus->IntervalStartNs(end - intervals, speed);
        timing.periodEndNs = slot.bus->IntervalStartNs(end, speed);
        timing.periodIntervals = uint32_t(intervals);
    }
    return timing;
}

}  // namespace

AudioEngineDevice::AudioEngineDevice(sim::usb::DescriptorSet descriptors, sim::usb::UsbSpeed speed)
    : AudioClassDevice(std::move(descriptors), speed), spareClock_(kDefaultRate)
{
    const AudioFunctionLayout& layout = Function().Layout();
    if (layout.audioClass20) {
        for (const ClockSourceLayout& source : layout.clockSources) {
            clocks_[source.id] = NewClock(Function().ClockRate(source.id));
        }
    } else {
        for (const StreamingInterfaceLayout& streaming : layout.streamingInterfaces) {
            for (const StreamingAlternateLayout& alternate : streaming.alternates) {
                if (alternate.dataEndpoint && clocks_.count(*alternate.dataEndpoint) == 0) {
                    clocks_[*alternate.dataEndpoint] = NewClock(Function().EndpointRate(*alternate.dataEndpoint));
                }
            }
        }
    }
    audio::AudioClock* render = StreamClock(true);
    audio::AudioClock* capture = StreamClock(false);
    render = render != nullptr ? render : &spareClock_;
    capture = capture != nullptr ? capture : &spareClock_;
    engine_ = render == capture ? std::make_unique<audio::AudioStreamingEngine>(EngineSpeed(speed), *render)
                                : std::make_unique<audio::AudioStreamingEngine>(EngineSpeed(speed), *render, *capture);
}

audio::AudioClock* AudioEngineDevice::Clock(uint8_t clockOrEndpoint)
{
    auto found = clocks_.find(clockOrEndpoint);
    return found == clocks_.end() ? nullptr : found->second.get();
}

// By the first alternate with a data endpoint. A 2.0 terminal names a clock source or a selector;
// a selector is followed through the position it has now.
audio::AudioClock* AudioEngineDevice::StreamClock(bool render)
{
    const AudioFunctionLayout& layout = Function().Layout();
    for (const StreamingInterfaceLayout& streaming : layout.streamingInterfaces) {
        const StreamingAlternateLayout* first = nullptr;
        for (const StreamingAlternateLayout& alternate : streaming.alternates) {
            first = first == nullptr && alternate.dataEndpoint ? &alternate : first;
        }
        if (first == nullptr || InterfaceRenders(streaming.number) != render) {
            continue;
        }
        if (!layout.audioClass20) {
            return Clock(*first->dataEndpoint);
        }
        const TerminalLayout* terminal = layout.Terminal(first->terminalLink);
        uint8_t id = terminal != nullptr ? terminal->clock : 0;
        for (int depth = 0; depth < kDeepestClockChain; ++depth) {
            const ClockSelectorLayout* selector = layout.ClockSelector(id);
            const uint8_t position = selector != nullptr ? Function().SelectorPosition(id) : 0;
            if (selector == nullptr || position == 0 || position > selector->inputs.size()) {
                break;
            }
            id = selector->inputs[position - 1];
        }
        return Clock(id);
    }
    return nullptr;
}

bool AudioEngineDevice::RendersFromTerminal(uint8_t terminalId) const
{
    for (const StreamingInterfaceLayout& streaming : Function().Layout().streamingInterfaces) {
        for (const StreamingAlternateLayout& alternate : streaming.alternates) {
            if (alternate.terminalLink == terminalId && InterfaceRenders(streaming.number)) {
                return true;
            }
        }
    }
    return false;
}

bool AudioEngineDevice::InterfaceRenders(uint8_t interfaceNumber) const
{
    const StreamingInterfaceLayout* streaming = Function().Layout().StreamingInterface(interfaceNumber);
    if (streaming == nullptr) {
        return false;
    }
    for (const StreamingAlternateLayout& alternate : streaming->alternates) {
        if (alternate.dataEndpoint) {
            return (*alternate.dataEndpoint & kDirectionIn) == 0;
        }
    }
    return false;
}

std::optional<AudioEngineDevice::RunningStream> AudioEngineDevice::Describe(uint8_t interfaceNumber,
                                                                           uint8_t alternateNumber) const
{
    const StreamingInterfaceLayout* streaming = Function().Layout().StreamingInterface(interfaceNumber);
    const sim::usb::AlternateLayout* usbAlternate = Layout().Find(interfaceNumber, alternateNumber);
    if (streaming == nullptr || usbAlternate == nullptr) {
        return std::nullopt;
    }
    for (const StreamingAlternateLayout& alternate : streaming->alternates) {
        if (alternate.alternate != alternateNumber || !alternate.dataEndpoint) {
            continue;
        }
        RunningStream stream;
        stream.interfaceNumber = interfaceNumber;
        stream.alternate = alternateNumber;
        stream.dataEndpoint = *alternate.dataEndpoint;
        stream.feedbackEndpoint = alternate.feedbackEndpoint;
        for (const sim::usb::EndpointLayout& endpoint : usbAlternate->endpoints) {
            if (alternate.feedbackEndpoint && endpoint.address == *alternate.feedbackEndpoint) {
                stream.feedbackPeriodExponent = FeedbackPeriodExponent(endpoint, Function().AudioClass20());
            }
        }
        stream.format = audio::StreamFormat{alternate.channels, alternate.subslotBytes, alternate.bitResolution};
        try {
            stream.format.Check();
        } catch (const std::invalid_argument&) {
            return std::nullopt;
        }
        for (const sim::usb::EndpointLayout& endpoint : usbAlternate->endpoints) {
            if (endpoint.address != stream.dataEndpoint) {
                continue;
            }
            stream.maxPacketBytes = endpoint.BytesPerInterval();
            // A high-speed endpoint is serviced every 2^(bInterval - 1) microframes.
            if (Speed() == sim::usb::UsbSpeed::High && endpoint.interval > 1) {
                const uint8_t exponent = uint8_t(endpoint.interval - 1);
                stream.servicePeriodScale = int64_t(1) << std::min(exponent, kLongestIntervalExponent);
            }
            return stream;
        }
    }
    return std::nullopt;
}

void AudioEngineDevice::Start(const RunningStream& stream)
{
    if ((stream.dataEndpoint & kDirectionIn) == 0) {
        engine_->StartRender(audio::RenderSettings{stream.format, stream.maxPacketBytes});
        render_ = stream;
    } else {
        engine_->StartCapture(stream.format);
        capture_ = stream;
    }
}

void AudioEngineDevice::StopAll()
{
    if (render_) {
        engine_->StopRender();
        render_.reset();
    }
    if (capture_) {
        engine_->StopCapture();
        capture_.reset();
    }
}

void AudioEngineDevice::FollowRates()
{
    const int64_t now = MachineTime();
    const bool audioClass20 = Function().AudioClass20();
    for (auto& [id, clock] : clocks_) {
        const uint32_t rate = audioClass20 ? Function().ClockRate(id) : Function().EndpointRate(id);
        if (rate == 0 || rate == clock->NominalRate()) {
            continue;
        }
        clock->SetNominalRate(now, rate);
        if (render_ && clock.get() == &engine_->RenderClock()) {
            Start(*render_);
        }
        if (capture_ && clock.get() == &engine_->CaptureClock()) {
            Start(*capture_);
        }
    }
}

// The feature units render passes: those whose source leads back to an input terminal that a
// streaming interface carries data from the host into.
void AudioEngineDevice::FollowRenderGain()
{
    const AudioFunctionLayout& layout = Function().Layout();
    std::vector<double> gains;
    for (const FeatureUnitLayout& unit : layout.featureUnits) {
        uint8_t source = unit.source;
        for (int hops = 0; hops < kMaximumHops && layout.FeatureUnit(source) != nullptr; ++hops) {
            source = layout.FeatureUnit(source)->source;
        }
        const TerminalLayout* terminal = layout.Terminal(source);
        if (terminal == nullptr || !terminal->input || !RendersFromTerminal(source)) {
            continue;
        }
        const uint8_t channels = uint8_t(unit.controls.empty() ? 0 : unit.controls.size() - 1);
        gains.resize(std::max<size_t>(gains.size(), channels), 1.0);
        for (uint8_t channel = 1; channel <= channels; ++channel) {
            gains[channel - 1] *= ChannelGain(Function(), unit.id, channel);
        }
    }
    engine_->SetRenderGain(std::move(gains));
}

sim::usb::ControlReply AudioEngineDevice::ClassRequest(const sim::usb::SetupPacket& setup, const uint8_t* data,
                                                       size_t length)
{
    sim::usb::ControlReply reply = AudioClassDevice::ClassRequest(setup, data, length);
    FollowRates();
    FollowRenderGain();
    return reply;
}

void AudioEngineDevice::OnConfigured(uint8_t) { StopAll(); }

void AudioEngineDevice::OnAlternateSelected(uint8_t interfaceNumber, uint8_t alternate)
{
    if (Function().Layout().StreamingInterface(interfaceNumber) == nullptr) {
        return;
    }
    FollowRates();
    const bool renders = InterfaceRenders(interfaceNumber);
    std::optional<RunningStream>& running = renders ? render_ : capture_;
    if (running && running->interfaceNumber == interfaceNumber) {
        if (renders) {
            engine_->StopRender();
        } else {
            engine_->StopCapture();
        }
        running.reset();
    }
    if (std::optional<RunningStream> stream = Describe(interfaceNumber, alternate)) {
        Start(*stream);
    }
}

void AudioEngineDevice::OnBusReset()
{
    AudioClassDevice::OnBusReset();
    StopAll();
}

USBD_STATUS AudioEngineDevice::IsoOut(const sim::usb::IsoSlot& slot, const uint8_t* data, uint32_t length)
{
    if (render_ && slot.endpoint == render_->dataEndpoint) {
        engine_->OnIsoOut(slot.startNs, data, length);
    }
    return USBD_STATUS_SUCCESS;
}

sim::usb::IsoInData AudioEngineDevice::IsoIn(const sim::usb::IsoSlot& slot, uint8_t* buffer, uint32_t capacity)
{
    sim::usb::IsoInData data;
    if (capture_ && slot.endpoint == capture_->dataEndpoint) {
        data.length = engine_->OnIsoIn(slot.startNs, slot.durationNs * capture_->servicePeriodScale, buffer, capacity);
    } else if (render_ && render_->feedbackEndpoint == slot.endpoint) {
        data.length = engine_->OnFeedbackIn(FeedbackTimingOf(slot, Speed(), render_->feedbackPeriodExponent), buffer,
                                            capacity);
    }
    return data;
}

}  // namespace sim::devices
