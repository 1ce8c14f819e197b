// The TAVO R9 on the simulated bus: its descriptors (high speed, Audio Class 2.0; a variant whose
// terminals share one clock; or the full-speed Audio Class 1.0 variant), its Audio Class function
// with the R9's rates and its PCM/DSD mode request, and its isochronous endpoints on the device's
// own sample clocks (AudioEngineDevice).
//
// Both 2.0 clock sources are driven by the R9's one crystal, so a rate set on either is the rate of
// both (AudioClassFunction::DriveClocksTogether), and a drift set through Engine().SetDriftPpm
// moves render and capture alike; the shared-clock variant has the one clock for both directions.
// The 1.0 variant sets its rate per endpoint, each endpoint with its clock, one drift for both.
//
// What tests reach through Engine(): the render FIFO's counters and the recorder of what reached
// the converters (RenderStats, RenderRecorder), the inputs' signals and the loopback
// (SetInputSignal, SetLoopbackLatency), the drift (SetDriftPpm), and the feedback reports
// (Feedback(): 4-byte 16.16 reports at full speed, garbage reports, the steering gain, and reports
// counted over the feedback endpoint's period as hardware measures them instead of the exact rate).
#pragma once

#include <cstdint>
#include <string>

#include "sim/devices/audio_class/audio_engine_device.h"

namespace sim::devices {

enum class R9Variant { HighSpeedUac2, FullSpeedUac1, SharedClock, ImplicitFeedback, EveryOtherMicroframe };

class R9Device : public AudioEngineDevice {
public:
    // The R9's converters delay the signal by the group delay of their linear-phase digital filters,
    // a fixed number of sample periods whatever the rate: the DAC's interpolation filter and the
    // ADC's decimation filter. Delta-sigma converters of this class state 15 to 40 sample periods
    // for each in their datasheets; the R9 sits in the middle. A loopback hears both.
    static constexpr uint32_t kDacDelayFrames = 25;
    static constexpr uint32_t kAdcDelayFrames = 22;
    static constexpr uint32_t kLoopbackDelayFrames = kDacDelayFrames + kAdcDelayFrames;

    explicit R9Device(R9Variant variant = R9Variant::HighSpeedUac2);
    // A unit with its own serial number ("R9-00000001" unless given).
    R9Device(R9Variant variant, const std::u16string& serialNumber);

    // The rate the device now runs render (direction 0) or capture (1) at, as its clocks or its
    // 1.0 endpoints were set.
    uint32_t CurrentRate(uint8_t direction) const;
};

// The R9's clock: 44.1 to 384 kHz; the DSD bit rates run at 88.2, 176.4 and 352.8 kHz.
std::vector<SampleRateSubrange> R9ClockRanges();

}  // namespace sim::devices
