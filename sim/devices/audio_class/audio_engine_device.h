// An Audio Class device whose isochronous endpoints move audio on its own sample clocks: the
// AudioClassFunction answers the requests from descriptor state as before, and an
// AudioStreamingEngine does what the device does with the audio, wired as its contract asks:
// - one AudioClock per clock source (2.0) or per data endpoint (1.0, whose rate is set on the
//   endpoint); render and capture run from the clock their terminal (2.0, through the clock
//   selectors' positions when the device is built) or endpoint (1.0) names, the same object when
//   both name one clock. A rate the host sets becomes the clock's
//   nominal rate, and a stream running on that clock starts over at it, as firmware that
//   reprograms its converters does;
// - selecting an alternate with a data endpoint starts render (OUT endpoint) or capture (IN) with
//   the alternate's Type I layout and wMaxPacketSize; alternate 0, a new configuration or a port
//   reset stops it. An alternate whose layout the engine cannot carry streams nothing;
// - OUT data, IN data and the feedback endpoint of the running alternates go to the engine; any
//   other endpoint takes every packet and sends nothing;
// - the feedback endpoint's measurement period is its reporting period, 2^P bus intervals: P is
//   bInterval - 1, the exponent of an isochronous endpoint's polling period at either speed (USB
//   2.0 section 9.6.6, which Audio Class 2.0 feedback endpoints follow), or bRefresh for the synch
//   endpoint of an Audio Class 1.0 device, which refreshes its value every 2^bRefresh frames (USB
//   2.0 section 5.12.4.2, Audio Class 1.0 section 4.6.2.1). The device latches its count at every
//   2^P-th SOF since the bus started, and a report carries the last complete period (when the
//   engine counts; see FeedbackGenerator).
//
// The bus calls the device one call at a time under its lock. A test changes the engine (signals,
// drift, feedback options) before streaming starts, or dates a change ahead (clocks keep changes
// in time order), and reads its counters once the transfers have ended.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>

#include "sim/devices/audio_class/audio_class_device.h"
#include "sim/devices/audio_engine/audio_streaming_engine.h"

namespace sim::devices {

class AudioEngineDevice : public AudioClassDevice {
public:
    AudioEngineDevice(sim::usb::DescriptorSet descriptors, sim::usb::UsbSpeed speed);

    audio::AudioStreamingEngine& Engine() { return *engine_; }
    const audio::AudioStreamingEngine& Engine() const { return *engine_; }
    // The clock of a clock source (2.0) or of a data endpoint (1.0); null when there is none.
    audio::AudioClock* Clock(uint8_t clockOrEndpoint);

    USBD_STATUS IsoOut(const sim::usb::IsoSlot& slot, const uint8_t* data, uint32_t length) override;
    sim::usb::IsoInData IsoIn(const sim::usb::IsoSlot& slot, uint8_t* buffer, uint32_t capacity) override;

protected:
    sim::usb::ControlReply ClassRequest(const sim::usb::SetupPacket& setup, const uint8_t* data,
                                        size_t length) override;
    void OnConfigured(uint8_t configurationValue) override;
    void OnAlternateSelected(uint8_t interfaceNumber, uint8_t alternate) override;
    void OnBusReset() override;

private:
    // A streaming alternate the engine runs.
    struct RunningStream {
        uint8_t interfaceNumber = 0;
        uint8_t alternate = 0;
        uint8_t dataEndpoint = 0;
        std::optional<uint8_t> feedbackEndpoint;
        uint8_t feedbackPeriodExponent = 0;  // P
        int64_t servicePeriodScale = 1;  // bus intervals between data packets
        audio::StreamFormat format;
        uint32_t maxPacketBytes = 0;
    };

    // The clock the render or capture interface runs from; null when there is none.
    audio::AudioClock* StreamClock(bool render);
    std::optional<RunningStream> Describe(uint8_t interfaceNumber, uint8_t alternate) const;
    bool InterfaceRenders(uint8_t interfaceNumber) const;
    // A streaming interface carries render data through the terminal.
    bool RendersFromTerminal(uint8_t terminalId) const;
    void Start(const RunningStream& stream);
    void StopAll();
    // Brings every clock to the rate the function now has; restarts streams whose clock changed.
    void FollowRates();
    // Gives the converter the gains of the feature units between the USB streaming input terminal
    // and the outputs: each output channel's volume (master plus channel, in dB) and mute.
    void FollowRenderGain();

    std::map<uint8_t, std::unique_ptr<audio::AudioClock>> clocks_;
    audio::AudioClock spareClock_;  // for a direction the device does not have
    std::unique_ptr<audio::AudioStreamingEngine> engine_;
    std::optional<RunningStream> render_;
    std::optional<RunningStream> capture_;
};

}  // namespace sim::devices
