// The Audio Class part of a simulated device's firmware: it keeps the state of the entities its
// descriptors describe and answers the class requests on them as a device does. Clock sources
// have a current rate, a RANGE of subranges and a validity that a rate change takes away for a
// while (or for good, on a clock that never locks); clock selectors a position; feature units a
// mute and a volume per channel with a volume RANGE (1.0: MIN, MAX, RES); terminals a connector
// state; 1.0 streaming endpoints a sampling frequency. It also answers the vendor request that
// switches a streaming interface between PCM and native DSD. Whatever the descriptors do not allow
// (an absent control, a write to a read-only one, a rate the clock does not offer, a wrong length)
// is stalled.
//
// Clocks driven by one crystal are kept as one: a rate set on any of them is set on all, and all of
// them lose and regain lock together.
//
//   AudioClassFunction function(descriptors.configuration);
//   function.SetClockRanges({{44100, 44100, 0}, {48000, 48000, 0}});
//   function.SetLockTime(kClockId, 50 * kMillisecond);
//   ControlReply reply = function.Answer(setup, data, length, machine.Now());
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "sim/devices/audio_class/audio_function_layout.h"
#include "sim/usb/device_model.h"

namespace sim::devices {

struct SampleRateSubrange {
    uint32_t minimum = 0;
    uint32_t maximum = 0;
    uint32_t resolution = 0;  // 0 with minimum == maximum: a single rate
};

// The rates a clock offers until told otherwise: 44.1 to 192 kHz, one subrange per rate.
std::vector<SampleRateSubrange> DefaultClockRanges();
// The rate every clock and 1.0 endpoint starts at, when it offers it; else its lowest rate.
constexpr uint32_t kDefaultRate = 48000;

// The volume value both Audio Class releases reserve for silence (minus infinity).
constexpr int16_t kVolumeSilence = INT16_MIN;

struct VolumeRange {
    int16_t minimum = -100 * 256;  // 1/256 dB
    int16_t maximum = 0;
    int16_t resolution = 256;
};

class AudioClassFunction {
public:
    explicit AudioClassFunction(const sim::usb::Bytes& configuration);

    const AudioFunctionLayout& Layout() const { return layout_; }
    bool AudioClass20() const { return layout_.audioClass20; }

    // ---- Configuration. ----
    // The RANGE of one clock source, or of every one; a current rate it no longer offers moves to
    // the default rate or the lowest one.
    void SetClockRanges(uint8_t clockId, std::vector<SampleRateSubrange> ranges);
    void SetClockRanges(const std::vector<SampleRateSubrange>& ranges);
    // These clock sources run from one crystal from now on.
    void DriveClocksTogether(const std::vector<uint8_t>& clockIds);
    // A clock of this crystal is invalid for `nanoseconds` after each change of its rate.
    void SetLockTime(uint8_t clockId, int64_t nanoseconds);
    // A clock of this crystal never becomes valid.
    void SetNeverValid(uint8_t clockId);
    // Whether the clocks of this crystal stall RANGE of their sampling-frequency control, as
    // firmware does that cannot tell its rates (a clock following an external source without
    // signal, for one) or whose control code is broken.
    void SetRangeStalled(uint8_t clockId, bool stalled);
    // The clock's RANGE answer counts all its subranges but carries only the first `sent` of them,
    // as firmware with a short reply buffer does.
    void CutRangeReply(uint8_t clockId, size_t sent);
    // The rate a clock's crystal runs at, as if set by a request but without losing lock.
    void SetClockRate(uint8_t clockId, uint32_t rate);
    // What the selector reports from now on, even a position it does not have (as broken firmware
    // does).
    void SetSelectorPosition(uint8_t selectorId, uint8_t position);
    void SetVolumeRange(uint8_t unitId, VolumeRange range);
    void SetConnected(uint8_t terminalId, bool connected);
    // Whether the streaming interface takes the PCM/DSD mode request (a device without native DSD
    // stalls it); every streaming interface of `acceptAll`.
    void SetStreamingModeAccepted(uint8_t interfaceNumber, bool accepted);
    void SetStreamingModeAccepted(bool accepted);
    // Whether a 1.0 endpoint without the sampling-frequency control still answers GET_CUR of it.
    void SetEndpointRateReadableWithoutControl(bool readable) { endpointRateReadableWithoutControl_ = readable; }

    // ---- State, as the device has it. ----
    uint32_t ClockRate(uint8_t clockId) const;
    bool ClockValid(uint8_t clockId, int64_t nowNs) const;
    uint8_t SelectorPosition(uint8_t selectorId) const;  // 1-based
    bool Mute(uint8_t unitId, uint8_t channel) const;
    int16_t Volume(uint8_t unitId, uint8_t channel) const;
    uint32_t EndpointRate(uint8_t endpointAddress) const;
    uint16_t StreamingMode(uint8_t interfaceNumber) const;
    // The rate a streaming interface runs at: on 2.0 its terminal's clock (through selectors), on
    // 1.0 its data endpoint's sampling frequency. 0 when it cannot be told.
    uint32_t StreamRate(uint8_t interfaceNumber) const;

    // A port reset restarts the firmware's streaming side: every interface is back in PCM. Clock
    // rates, positions and levels stay as they were.
    void BusReset();

    // A class or vendor request, answered at machine time `nowNs`.
    sim::usb::ControlReply Answer(const sim::usb::SetupPacket& setup, const uint8_t* data, size_t length,
                                  int64_t nowNs);

private:
    struct Clock {
        std::vector<SampleRateSubrange> ranges;
        uint32_t rate = 0;
        int64_t lockTimeNs = 0;
        bool neverValid = false;
        bool rangeStalled = false;
        int64_t validFromNs = INT64_MIN;
        size_t rangeSent = SIZE_MAX;
    };
    struct Channel {
        bool mute = false;
        int16_t volume = 0;
    };

    // A decoded request: GET or SET of the current value or a RANGE / MIN / MAX / RES attribute.
    enum class Attribute { Cur, Range, Min, Max, Res };
    struct Request {
        bool get = false;
        Attribute attribute = Attribute::Cur;
        uint8_t selector = 0;
        uint8_t channel = 0;
        const uint8_t* data = nullptr;
        size_t length = 0;
    };
    bool Decode(const sim::usb::SetupPacket& setup, const uint8_t* data, size_t length, Request& request) const;

    // Per entity kind (audio_class_entities.cpp).
    sim::usb::ControlReply EntityRequest(uint8_t entityId, const Request& request, int64_t nowNs);
    sim::usb::ControlReply ClockSourceRequest(const ClockSourceLayout& source, const Request& request, int64_t nowNs);
    sim::usb::ControlReply ClockSelectorRequest(const ClockSelectorLayout& selector, const Request& request);
    sim::usb::ControlReply FeatureUnitRequest(const FeatureUnitLayout& unit, const Request& request);
    sim::usb::ControlReply TerminalRequest(const TerminalLayout& terminal, const Request& request);
    uint8_t ClusterChannels(const TerminalLayout& terminal) const;

    // Streaming interfaces (audio_class_streaming.cpp).
    sim::usb::ControlReply EndpointRequest(uint8_t endpointAddress, const Request& request);
    sim::usb::ControlReply StreamingModeRequest(const sim::usb::SetupPacket& setup);
    bool EndpointOffers(uint8_t endpointAddress, uint32_t rate, bool* hasControl) const;
    void InitialiseEndpointRates();

    bool Offers(const Clock& clock, uint32_t rate) const;
    void SetRate(uint8_t clockId, uint32_t rate, int64_t nowNs);
    std::vector<uint8_t> Crystal(uint8_t clockId) const;
    uint32_t ClockRateThrough(uint8_t clockId, int depth) const;

    bool present_ = false;  // the bytes hold an Audio Control interface
    AudioFunctionLayout layout_;
    std::map<uint8_t, Clock> clocks_;
    std::vector<std::set<uint8_t>> crystals_;
    std::map<uint8_t, uint8_t> selectorPositions_;
    std::map<uint8_t, std::vector<Channel>> channels_;
    std::map<uint8_t, VolumeRange> volumeRanges_;
    std::map<uint8_t, bool> connected_;
    std::map<uint8_t, uint32_t> endpointRates_;
    std::map<uint8_t, uint16_t> streamingModes_;
    std::set<uint8_t> modeAccepted_;
    bool endpointRateReadableWithoutControl_ = false;
};

}  // namespace sim::devices
