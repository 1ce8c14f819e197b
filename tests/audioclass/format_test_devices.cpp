#include "tests/audioclass/format_test_devices.h"

#include "tests/audioclass/model_test_support.h"

namespace audioclasstest {

using namespace sim::usb;

namespace {

constexpr uint8_t kInternalClock = 0x03;
constexpr uint8_t kFrequencyReadWriteValidityRead = 0x07;
constexpr uint8_t kIsochronousAsynchronous = 0x05;
constexpr uint8_t kIsochronousFeedback = 0x11;
constexpr uint8_t kIsochronousSynch = 0x01;
constexpr uint8_t kSamplingFrequencyControl = 0x01;

}  // namespace

Bytes Device20(const std::vector<RenderAlternate>& render, bool highSpeed, uint16_t maxPacket, uint8_t interval,
               const Bytes& after)
{
    Bytes renderInterface = StreamingAlternate(kRenderInterface, 0, 0);
    for (size_t i = 0; i < render.size(); ++i) {
        const RenderAlternate& alternate = render[i];
        Append(renderInterface, StreamingAlternate(kRenderInterface, uint8_t(i + 1), 2));
        Append(renderInterface, uac2::AsGeneral(1, 0, kFormatTypeI, alternate.formats, alternate.channels, 0, 0));
        Append(renderInterface, uac2::FormatTypeI(alternate.subslotBytes, alternate.bits));
        Append(renderInterface, Endpoint(kRenderEndpoint, kIsochronousAsynchronous, maxPacket, interval));
        Append(renderInterface, uac2::IsoEndpoint(0, 0, 0, 0));
        // 16.16 every millisecond at high speed, 10.14 every frame at full speed.
        Append(renderInterface, Endpoint(kFeedbackEndpoint, kIsochronousFeedback, highSpeed ? 4 : 3, highSpeed ? 4 : 1));
    }
    return Configuration(
        {ControlInterface(0),
         uac2::AudioControl(
             0x0200, 0x08, 0,
             {uac2::ClockSource(kFormatClock, kInternalClock, kFrequencyReadWriteValidityRead, 0, 0),
              uac2::InputTerminal(1, kTerminalUsbStreaming, 0, kFormatClock, 2, 0, 0, 0, 0),
              uac2::OutputTerminal(3, kTerminalSpeaker, 0, 1, kFormatClock, 0, 0),
              uac2::InputTerminal(4, kTerminalLineConnector, 0, kFormatClock, 2, 0, 0, 0, 0),
              uac2::OutputTerminal(6, kTerminalUsbStreaming, 0, 4, kFormatClock, 0, 0)}),
         renderInterface, Streaming20(kCaptureInterface, 6, kCaptureEndpoint), after});
}

Bytes Device10(const RenderAlternate& format, const std::vector<uint32_t>& rates, uint16_t maxPacket, uint8_t interval,
               bool captureRateControl)
{
    const Bytes formatType = uac1::FormatTypeI(format.channels, format.subslotBytes, format.bits, rates);
    return Configuration(
        {ControlInterface(0),
         uac1::AudioControl(0x0100, {kRenderInterface, kCaptureInterface},
                            {uac1::InputTerminal(1, kTerminalUsbStreaming, 0, format.channels, 0, 0, 0),
                             uac1::OutputTerminal(3, kTerminalSpeaker, 0, 1, 0),
                             uac1::InputTerminal(4, kTerminalLineConnector, 0, format.channels, 0, 0, 0),
                             uac1::OutputTerminal(6, kTerminalUsbStreaming, 0, 4, 0)}),
         StreamingAlternate(kRenderInterface, 0, 0), StreamingAlternate(kRenderInterface, 1, 2), AsGeneral10(1),
         formatType,
         AudioEndpoint(kRenderEndpoint, kIsochronousAsynchronous, maxPacket, interval, 0, kFeedbackEndpoint),
         uac1::IsoEndpoint(kSamplingFrequencyControl, 0, 0),
         AudioEndpoint(kFeedbackEndpoint, kIsochronousSynch, 3, 1, 2, 0), StreamingAlternate(kCaptureInterface, 0, 0),
         StreamingAlternate(kCaptureInterface, 1, 1), AsGeneral10(6), formatType,
         AudioEndpoint(kCaptureEndpoint, kIsochronousAsynchronous, maxPacket, interval, 0, 0),
         uac1::IsoEndpoint(captureRateControl ? kSamplingFrequencyControl : 0, 0, 0)});
}

}  // namespace audioclasstest
