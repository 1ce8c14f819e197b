#include "sim/devices/audio_class/audio_class_function.h"

#include <algorithm>

namespace sim::devices {

using sim::usb::ControlReply;
using sim::usb::SetupPacket;

namespace {

constexpr uint8_t kClassType = 1;
constexpr uint8_t kVendorType = 2;
constexpr uint8_t kToInterface = 1;
constexpr uint8_t kToEndpoint = 2;
// bRequest values: 2.0 CUR and RANGE; 1.0 SET_CUR and GET_CUR, GET_MIN, GET_MAX, GET_RES.
constexpr uint8_t kCur = 0x01;
constexpr uint8_t kRange = 0x02;
constexpr uint8_t kGetCur = 0x81;
constexpr uint8_t kGetMin = 0x82;
constexpr uint8_t kGetMax = 0x83;
constexpr uint8_t kGetRes = 0x84;
// Selectors chained deeper than this lead back to themselves.
constexpr int kDeepestClockChain = 8;

uint32_t StartingRate(const std::vector<SampleRateSubrange>& ranges)
{
    uint32_t lowest = 0;
    for (const SampleRateSubrange& subrange : ranges) {
        if (kDefaultRate >= subrange.minimum && kDefaultRate <= subrange.maximum) {
            return kDefaultRate;
        }
        lowest = lowest == 0 || subrange.minimum < lowest ? subrange.minimum : lowest;
    }
    return lowest;
}

}  // namespace

std::vector<SampleRateSubrange> DefaultClockRanges()
{
    std::vector<SampleRateSubrange> ranges;
    for (uint32_t rate : {44100u, 48000u, 88200u, 96000u, 176400u, 192000u}) {
        ranges.push_back({rate, rate, 0});
    }
    return ranges;
}

AudioClassFunction::AudioClassFunction(const sim::usb::Bytes& configuration)
{
    std::optional<AudioFunctionLayout> parsed = ParseAudioFunction(configuration);
    present_ = parsed.has_value();
    layout_ = parsed.value_or(AudioFunctionLayout{});
    for (const ClockSourceLayout& source : layout_.clockSources) {
        Clock& clock = clocks_[source.id];
        clock.ranges = DefaultClockRanges();
        clock.rate = StartingRate(clock.ranges);
        crystals_.push_back({source.id});
    }
    for (const ClockSelectorLayout& selector : layout_.clockSelectors) {
        selectorPositions_[selector.id] = 1;
    }
    for (const FeatureUnitLayout& unit : layout_.featureUnits) {
        channels_[unit.id].resize(unit.controls.size());
    }
    for (const TerminalLayout& terminal : layout_.terminals) {
        connected_[terminal.id] = true;
    }
    for (const StreamingInterfaceLayout& streaming : layout_.streamingInterfaces) {
        streamingModes_[streaming.number] = 0;
    }
    InitialiseEndpointRates();
}

// ---- Configuration. ----

void AudioClassFunction::SetClockRanges(uint8_t clockId, std::vector<SampleRateSubrange> ranges)
{
    auto found = clocks_.find(clockId);
    if (found == clocks_.end()) {
        return;
    }
    found->second.ranges = std::move(ranges);
    if (!Offers(found->second, found->second.rate)) {
        found->second.rate = StartingRate(found->second.ranges);
    }
}

void AudioClassFunction::SetClockRanges(const std::vector<SampleRateSubrange>& ranges)
{
    for (auto& [id, clock] : clocks_) {
        SetClockRanges(id, ranges);
    }
}

void AudioClassFunction::DriveClocksTogether(const std::vector<uint8_t>& clockIds)
{
    std::set<uint8_t> joined;
    for (uint8_t id : clockIds) {
        if (clocks_.count(id) != 0) {
            joined.insert(id);
        }
    }
    if (joined.empty()) {
        return;
    }
    for (std::set<uint8_t>& crystal : crystals_) {
        for (uint8_t id : joined) {
            crystal.erase(id);
        }
    }
    crystals_.erase(std::remove_if(crystals_.begin(), crystals_.end(), [](const auto& c) { return c.empty(); }),
                    crystals_.end());
    crystals_.push_back(joined);
    const Clock& first = clocks_[*joined.begin()];
    for (uint8_t id : joined) {
        clocks_[id].rate = first.rate;
        clocks_[id].lockTimeNs = first.lockTimeNs;
        clocks_[id].neverValid = first.neverValid;
        clocks_[id].validFromNs = first.validFromNs;
    }
}

void AudioClassFunction::SetLockTime(uint8_t clockId, int64_t nanoseconds)
{
    for (uint8_t id : Crystal(clockId)) {
        clocks_[id].lockTimeNs = nanoseconds;
    }
}

void AudioClassFunction::SetNeverValid(uint8_t clockId)
{
    for (uint8_t id : Crystal(clockId)) {
        clocks_[id].neverValid = true;
    }
}

void AudioClassFunction::SetRangeStalled(uint8_t clockId, bool stalled)
{
    for (uint8_t id : Crystal(clockId)) {
        clocks_[id].rangeStalled = stalled;
    }
}

void AudioClassFunction::CutRangeReply(uint8_t clockId, size_t sent) { clocks_[clockId].rangeSent = sent; }

void AudioClassFunction::SetClockRate(uint8_t clockId, uint32_t rate)
{
    for (uint8_t id : Crystal(clockId)) {
        clocks_[id].rate = rate;
    }
}

void AudioClassFunction::SetSelectorPosition(uint8_t selectorId, uint8_t position)
{
    if (selectorPositions_.count(selectorId) != 0) {
        selectorPositions_[selectorId] = position;
    }
}

void AudioClassFunction::SetVolumeRange(uint8_t unitId, VolumeRange range) { volumeRanges_[unitId] = range; }

void AudioClassFunction::SetConnected(uint8_t terminalId, bool connected) { connected_[terminalId] = connected; }

void AudioClassFunction::SetStreamingModeAccepted(uint8_t interfaceNumber, bool accepted)
{
    if (accepted) {
        modeAccepted_.insert(interfaceNumber);
    } else {
        modeAccepted_.erase(interfaceNumber);
    }
}

void AudioClassFunction::SetStreamingModeAccepted(bool accepted)
{
    for (const StreamingInterfaceLayout& streaming : layout_.streamingInterfaces) {
        SetStreamingModeAccepted(streaming.number, accepted);
    }
}

// ---- Clocks. ----

bool AudioClassFunction::Offers(const Clock& clock, uint32_t rate) const
{
    for (const SampleRateSubrange& subrange : clock.ranges) {
        if (rate >= subrange.minimum && rate <= subrange.maximum &&
            (subrange.resolution == 0 || (rate - subrange.minimum) % subrange.resolution == 0)) {
            return true;
        }
    }
    return false;
}

std::vector<uint8_t> AudioClassFunction::Crystal(uint8_t clockId) const
{
    for (const std::set<uint8_t>& crystal : crystals_) {
        if (crystal.count(clockId) != 0) {
            return {crystal.begin(), crystal.end()};
        }
    }
    return {};
}

// The crystal is reprogrammed: every clock it drives takes the rate and loses lock until the
// oscillator has settled.
void AudioClassFunction::SetRate(uint8_t clockId, uint32_t rate, int64_t nowNs)
{
    for (uint8_t id : Crystal(clockId)) {
        Clock& clock = clocks_[id];
        clock.rate = rate;
        clock.validFromNs = nowNs + clock.lockTimeNs;
    }
}

uint32_t AudioClassFunction::ClockRate(uint8_t clockId) const { return ClockRateThrough(clockId, 0); }

uint32_t AudioClassFunction::ClockRateThrough(uint8_t clockId, int depth) const
{
    if (auto clock = clocks_.find(clockId); clock != clocks_.end()) {
        return clock->second.rate;
    }
    const ClockSelectorLayout* selector = layout_.ClockSelector(clockId);
    const uint8_t position = SelectorPosition(clockId);
    if (selector == nullptr || depth >= kDeepestClockChain || position == 0 || position > selector->inputs.size()) {
        return 0;
    }
    return ClockRateThrough(selector->inputs[position - 1], depth + 1);
}

bool AudioClassFunction::ClockValid(uint8_t clockId, int64_t nowNs) const
{
    auto clock = clocks_.find(clockId);
    return clock != clocks_.end() && !clock->second.neverValid && nowNs >= clock->second.validFromNs;
}

// ---- State. ----

uint8_t AudioClassFunction::SelectorPosition(uint8_t selectorId) const
{
    auto found = selectorPositions_.find(selectorId);
    return found == selectorPositions_.end() ? 0 : found->second;
}

bool AudioClassFunction::Mute(uint8_t unitId, uint8_t channel) const
{
    auto found = channels_.find(unitId);
    return found != channels_.end() && channel < found->second.size() && found->second[channel].mute;
}

int16_t AudioClassFunction::Volume(uint8_t unitId, uint8_t channel) const
{
    auto found = channels_.find(unitId);
    return found != channels_.end() && channel < found->second.size() ? found->second[channel].volume : 0;
}

uint32_t AudioClassFunction::EndpointRate(uint8_t endpointAddress) const
{
    auto found = endpointRates_.find(endpointAddress);
    return found == endpointRates_.end() ? 0 : found->second;
}

uint16_t AudioClassFunction::StreamingMode(uint8_t interfaceNumber) const
{
    auto found = streamingModes_.find(interfaceNumber);
    return found == streamingModes_.end() ? 0 : found->second;
}

uint32_t AudioClassFunction::StreamRate(uint8_t interfaceNumber) const
{
    const StreamingInterfaceLayout* streaming = layout_.StreamingInterface(interfaceNumber);
    if (streaming == nullptr || streaming->alternates.empty()) {
        return 0;
    }
    const StreamingAlternateLayout& first = streaming->alternates.front();
    if (!layout_.audioClass20) {
        return first.dataEndpoint ? EndpointRate(*first.dataEndpoint) : 0;
    }
    const TerminalLayout* terminal = layout_.Terminal(first.terminalLink);
    return terminal != nullptr ? ClockRate(terminal->clock) : 0;
}

// ---- Requests. ----

bool AudioClassFunction::Decode(const SetupPacket& setup, const uint8_t* data, size_t length, Request& request) const
{
    request.get = setup.DeviceToHost();
    request.selector = uint8_t(setup.value >> 8);
    request.channel = uint8_t(setup.value & 0xFF);
    request.data = request.get ? nullptr : data;
    request.length = request.get ? setup.length : length;
    if (layout_.audioClass20) {
        if (setup.request == kCur) {
            request.attribute = Attribute::Cur;
            return true;
        }
        request.attribute = Attribute::Range;
        return setup.request == kRange && request.get;
    }
    if (!request.get) {
        request.attribute = Attribute::Cur;
        return setup.request == kCur;
    }
    switch (setup.request) {
    case kGetCur: request.attribute = Attribute::Cur; return true;
    case kGetMin: request.attribute = Attribute::Min; return true;
    case kGetMax: request.attribute = Attribute::Max; return true;
    case kGetRes: request.attribute = Attribute::Res; return true;
    default: return false;
    }
}

ControlReply AudioClassFunction::Answer(const SetupPacket& setup, const uint8_t* data, size_t length, int64_t nowNs)
{
    if (setup.Type() == kVendorType) {
        return StreamingModeRequest(setup);
    }
    Request request;
    if (setup.Type() != kClassType || !Decode(setup, data, length, request)) {
        return ControlReply::Stall();
    }
    const uint8_t low = uint8_t(setup.index & 0xFF);
    if (setup.Recipient() == kToInterface && low == layout_.controlInterface && present_) {
        return EntityRequest(uint8_t(setup.index >> 8), request, nowNs);
    }
    if (setup.Recipient() == kToEndpoint) {
        return EndpointRequest(low, request);
    }
    return ControlReply::Stall();
}

}  // namespace sim::devices
