// The Audio Control entities' requests: clock sources, clock selectors, feature units and
// terminals, each answering only the controls its descriptor gives it.
#include "sim/devices/audio_class/audio_class_function.h"

#include <algorithm>

namespace sim::devices {

using sim::usb::Bytes;
using sim::usb::ControlReply;

namespace {

constexpr uint8_t kSamplingFrequency = 0x01;  // clock source
constexpr uint8_t kClockValidity = 0x02;      // clock source
constexpr uint8_t kSelectorControl = 0x01;    // clock selector
constexpr uint8_t kMute = 0x01;               // feature unit
constexpr uint8_t kVolume = 0x02;             // feature unit
constexpr uint8_t kConnector = 0x02;          // terminal
constexpr int kDeepestSourceChain = 16;
constexpr uint8_t kStereo = 2;

// 2.0 control fields: 01 read-only, 11 read and write.
bool Readable(uint32_t pair) { return (pair & 1) != 0; }
bool Writable(uint32_t pair) { return (pair & 3) == 3; }

Bytes Dword(uint32_t value) { return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)}; }
Bytes Word(int16_t value) { return {uint8_t(uint16_t(value)), uint8_t(uint16_t(value) >> 8)}; }

uint32_t ReadDword(const uint8_t* data) { return data[0] | data[1] << 8 | data[2] << 16 | uint32_t(data[3]) << 24; }

}  // namespace

ControlReply AudioClassFunction::EntityRequest(uint8_t entityId, const Request& request, int64_t nowNs)
{
    if (const ClockSourceLayout* source = layout_.ClockSource(entityId)) {
        return ClockSourceRequest(*source, request, nowNs);
    }
    if (const ClockSelectorLayout* selector = layout_.ClockSelector(entityId)) {
        return ClockSelectorRequest(*selector, request);
    }
    if (const FeatureUnitLayout* unit = layout_.FeatureUnit(entityId)) {
        return FeatureUnitRequest(*unit, request);
    }
    if (const TerminalLayout* terminal = layout_.Terminal(entityId)) {
        return TerminalRequest(*terminal, request);
    }
    return ControlReply::Stall();
}

ControlReply AudioClassFunction::ClockSourceRequest(const ClockSourceLayout& source, const Request& request,
                                                    int64_t nowNs)
{
    const uint32_t frequency = source.controls & 3;
    const uint32_t validity = source.controls >> 2 & 3;
    Clock& clock = clocks_[source.id];
    if (request.channel != 0) {
        return ControlReply::Stall();
    }
    if (request.selector == kSamplingFrequency && request.attribute == Attribute::Cur) {
        if (request.get) {
            return Readable(frequency) ? ControlReply::Data(Dword(clock.rate)) : ControlReply::Stall();
        }
        // A rate outside the clock's range is refused, as the device cannot generate it.
        if (!Writable(frequency) || request.length < 4 || !Offers(clock, ReadDword(request.data))) {
            return ControlReply::Stall();
        }
        SetRate(source.id, ReadDword(request.data), nowNs);
        return ControlReply::Ack();
    }
    if (request.selector == kSamplingFrequency && request.attribute == Attribute::Range && Readable(frequency) &&
        !clock.rangeStalled) {
        Bytes range = {uint8_t(clock.ranges.size()), uint8_t(clock.ranges.size() >> 8)};
        const size_t sent = std::min(clock.rangeSent, clock.ranges.size());
        for (size_t i = 0; i < sent; ++i) {
            const SampleRateSubrange& subrange = clock.ranges[i];
            for (uint32_t value : {subrange.minimum, subrange.maximum, subrange.resolution}) {
                const Bytes bytes = Dword(value);
                range.insert(range.end(), bytes.begin(), bytes.end());
            }
        }
        return ControlReply::Data(range);
    }
    if (request.selector == kClockValidity && request.attribute == Attribute::Cur && request.get &&
        Readable(validity)) {
        return ControlReply::Data({uint8_t(ClockValid(source.id, nowNs) ? 1 : 0)});
    }
    return ControlReply::Stall();
}

ControlReply AudioClassFunction::ClockSelectorRequest(const ClockSelectorLayout& selector, const Request& request)
{
    const uint32_t control = selector.controls & 3;
    if (request.selector != kSelectorControl || request.channel != 0 || request.attribute != Attribute::Cur) {
        return ControlReply::Stall();
    }
    if (request.get) {
        return Readable(control) ? ControlReply::Data({selectorPositions_[selector.id]}) : ControlReply::Stall();
    }
    if (!Writable(control) || request.length < 1 || request.data[0] == 0 || request.data[0] > selector.inputs.size()) {
        return ControlReply::Stall();
    }
    selectorPositions_[selector.id] = request.data[0];
    return ControlReply::Ack();
}

ControlReply AudioClassFunction::FeatureUnitRequest(const FeatureUnitLayout& unit, const Request& request)
{
    if (request.channel >= unit.controls.size() || (request.selector != kMute && request.selector != kVolume)) {
        return ControlReply::Stall();
    }
    const uint32_t index = request.selector == kMute ? 0 : 1;
    const uint32_t entry = unit.controls[request.channel];
    bool allowed;
    if (layout_.audioClass20) {
        const uint32_t pair = entry >> (2 * index) & 3;
        allowed = request.get ? Readable(pair) : Writable(pair);
    } else {
        allowed = (entry >> index & 1) != 0;
    }
    if (!allowed) {
        return ControlReply::Stall();
    }
    Channel& channel = channels_[unit.id][request.channel];
    const VolumeRange range = volumeRanges_[unit.id];
    if (request.selector == kMute) {
        if (request.attribute != Attribute::Cur) {
            return ControlReply::Stall();
        }
        if (request.get) {
            return ControlReply::Data({uint8_t(channel.mute ? 1 : 0)});
        }
        if (request.length < 1) {
            return ControlReply::Stall();
        }
        channel.mute = request.data[0] != 0;
        return ControlReply::Ack();
    }
    switch (request.attribute) {
    case Attribute::Cur:
        if (request.get) {
            return ControlReply::Data(Word(channel.volume));
        }
        if (request.length < 2) {
            return ControlReply::Stall();
        }
        // A level beyond the range is taken as the nearest end of it, as attenuators do; 0x8000
        // is no level but silence, which both class releases define for the current volume.
        channel.volume = int16_t(request.data[0] | request.data[1] << 8);
        if (channel.volume != kVolumeSilence) {
            channel.volume = std::clamp(channel.volume, range.minimum, range.maximum);
        }
        return ControlReply::Ack();
    case Attribute::Range: {
        Bytes answer = {1, 0};
        for (int16_t value : {range.minimum, range.maximum, range.resolution}) {
            const Bytes bytes = Word(value);
            answer.insert(answer.end(), bytes.begin(), bytes.end());
        }
        return ControlReply::Data(answer);
    }
    case Attribute::Min: return ControlReply::Data(Word(range.minimum));
    case Attribute::Max: return ControlReply::Data(Word(range.maximum));
    case Attribute::Res: return ControlReply::Data(Word(range.resolution));
    }
    return ControlReply::Stall();
}

ControlReply AudioClassFunction::TerminalRequest(const TerminalLayout& terminal, const Request& request)
{
    const uint32_t connector = terminal.controls >> 2 & 3;
    if (!layout_.audioClass20 || request.selector != kConnector || request.channel != 0 ||
        request.attribute != Attribute::Cur || !request.get || !Readable(connector)) {
        return ControlReply::Stall();
    }
    // The cluster now on the connector: bNrChannels, bmChannelConfig, iChannelNames. An empty jack
    // carries no channels.
    const uint8_t channels = connected_[terminal.id] ? ClusterChannels(terminal) : 0;
    return ControlReply::Data({channels, 0, 0, 0, 0, 0});
}

// An input terminal names its channels; an output terminal carries those of whatever feeds it.
uint8_t AudioClassFunction::ClusterChannels(const TerminalLayout& terminal) const
{
    const TerminalLayout* at = &terminal;
    for (int depth = 0; depth < kDeepestSourceChain; ++depth) {
        if (at->input) {
            return at->channels;
        }
        uint8_t source = at->source;
        while (const FeatureUnitLayout* unit = layout_.FeatureUnit(source)) {
            if (++depth >= kDeepestSourceChain) {
                return kStereo;
            }
            source = unit->source;
        }
        at = layout_.Terminal(source);
        if (at == nullptr) {
            return kStereo;
        }
    }
    return kStereo;
}

}  // namespace sim::devices
