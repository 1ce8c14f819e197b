#include "sim/devices/r9/r9_descriptors.h"

#include "sim/usb/descriptors/audio_descriptors.h"

namespace sim::devices {

using namespace sim::usb;
using namespace r9;

namespace {

constexpr uint8_t kIsochronousAsynchronous = 0x05;  // isochronous, asynchronous, data
constexpr uint8_t kIsochronousImplicitFeedback = 0x25;  // isochronous, asynchronous, implicit feedback data
constexpr uint8_t kIsochronousFeedback = 0x11;      // isochronous, no synchronisation, feedback
constexpr uint8_t kIsochronousSynch = 0x01;         // 1.0 synch endpoint: usage bits reserved
constexpr uint8_t kBusPowered = 0x80;
constexpr uint8_t kMaxPower500mA = 250;
constexpr uint16_t kPcm = 0x0001;
// Class, subclass and protocol of a device whose functions are grouped by association descriptors.
constexpr uint8_t kMiscellaneousClass = 0xEF;
constexpr uint8_t kCommonSubclass = 0x02;
constexpr uint8_t kInterfaceAssociationProtocol = 0x01;

// One more sample frame than the nominal rate gives per (micro)frame: an asynchronous device
// catches up with its own clock by sending or asking for one extra frame now and then.
constexpr uint16_t MaxPacket(uint32_t rate, uint32_t packetsPerSecond, uint32_t bytesPerSample)
{
    return static_cast<uint16_t>((rate / packetsPerSecond + 1) * kChannels * bytesPerSample);
}

constexpr uint32_t kHighSpeedTopRate = 384000;
constexpr uint32_t kMicroframesPerSecond = 8000;
constexpr uint32_t kFramesPerSecond = 1000;

static_assert(MaxPacket(kHighSpeedTopRate, kMicroframesPerSecond, 4) == 784, "49 frames of 4 x 4 bytes");
static_assert(MaxPacket(48000, kFramesPerSecond, 3) <= 1023 && MaxPacket(96000, kFramesPerSecond, 2) <= 1023,
              "full-speed isochronous packets hold at most 1023 bytes");

std::vector<std::pair<uint8_t, std::u16string>> R9Strings(bool withClockName)
{
    std::vector<std::pair<uint8_t, std::u16string>> strings = {
        {kManufacturerString, u"TAVO"},
        {kProductString, u"R9"},
        {kSerialNumberString, u"R9-00000001"},
        {kOutputNamesString + 0, u"Output1"},
        {kOutputNamesString + 1, u"Output2"},
        {kOutputNamesString + 2, u"Output3(REAMP)"},
        {kOutputNamesString + 3, u"Output4(REAMP)"},
        {kInputNamesString + 0, u"Input1"},
        {kInputNamesString + 1, u"Input2"},
        {kInputNamesString + 2, u"Input3(DRY)"},
        {kInputNamesString + 3, u"Input4(DRY)"},
    };
    if (withClockName) {
        strings.push_back({kClockSourceString, u"Internal Clock"});
    }
    return strings;
}

DeviceFields R9Device(uint16_t bcdUSB, uint8_t deviceClass, uint8_t subClass, uint8_t protocol)
{
    DeviceFields fields{};
    fields.bcdUSB = bcdUSB;
    fields.bDeviceClass = deviceClass;
    fields.bDeviceSubClass = subClass;
    fields.bDeviceProtocol = protocol;
    fields.bMaxPacketSize0 = 64;
    fields.idVendor = kVendorId;
    fields.idProduct = kProductId;
    fields.bcdDevice = 0x0100;
    fields.iManufacturer = kManufacturerString;
    fields.iProduct = kProductString;
    fields.iSerialNumber = kSerialNumberString;
    fields.bNumConfigurations = 1;
    return fields;
}

namespace uac2_r9 {

constexpr uint8_t kCategoryIoBox = 0x08;
constexpr uint8_t kInternalProgrammableClock = 0x03;
constexpr uint8_t kFrequencyReadWriteValidityRead = 0x07;
constexpr uint32_t kMuteAndVolumeReadWrite = 0x0000000F;
constexpr uint32_t kPcmFormat = 0x00000001;
constexpr uint8_t kFeedbackInterval = 4;  // 2^(4-1) microframes: one report per millisecond

Bytes StreamingInterface(uint8_t number, uint8_t terminalLink, uint8_t channelNames, uint8_t dataEndpoint,
                         uint8_t dataAttributes, uint8_t dataInterval, bool withFeedback)
{
    Bytes bytes = Interface(number, 0, 0, kAudioClass, kAudioStreamingSubclass, kAudioProtocolVersion2);
    const struct {
        uint8_t alternate;
        uint8_t subslotBytes;
        uint8_t bits;
    } alternates[] = {{kAlternate24Bit, 4, 24}, {kAlternate16Bit, 2, 16}};
    for (const auto& a : alternates) {
        Append(bytes, Interface(number, a.alternate, withFeedback ? 2 : 1, kAudioClass, kAudioStreamingSubclass,
                                kAudioProtocolVersion2));
        Append(bytes, uac2::AsGeneral(terminalLink, 0, kFormatTypeI, kPcmFormat, kChannels, 0, channelNames));
        Append(bytes, uac2::FormatTypeI(a.subslotBytes, a.bits));
        Append(bytes, Endpoint(dataEndpoint, dataAttributes,
                               MaxPacket(kHighSpeedTopRate, kMicroframesPerSecond, a.subslotBytes), dataInterval));
        Append(bytes, uac2::IsoEndpoint(0, 0, 0, 0));
        if (withFeedback) {
            Append(bytes, Endpoint(kFeedbackEndpoint, kIsochronousFeedback, 4, kFeedbackInterval));
        }
    }
    return bytes;
}

}  // namespace uac2_r9

namespace uac1_r9 {

constexpr uint8_t kMuteAndVolume = 0x03;
constexpr uint8_t kSamplingFrequencyControl = 0x01;
constexpr uint8_t kFeedbackRefresh = 2;  // a 10.14 report every 2^2 = 4 ms

Bytes StreamingInterface(uint8_t number, uint8_t terminalLink, uint8_t dataEndpoint, bool withFeedback)
{
    Bytes bytes = Interface(number, 0, 0, kAudioClass, kAudioStreamingSubclass, 0);
    const struct {
        uint8_t alternate;
        uint8_t subframeBytes;
        uint8_t bits;
        std::vector<uint32_t> rates;
    } alternates[] = {
        {kAlternate24Bit, 3, 24, {44100, 48000}},
        {kAlternate16Bit, 2, 16, {44100, 48000, 88200, 96000}},
    };
    for (const auto& a : alternates) {
        const uint16_t maxPacket = MaxPacket(a.rates.back(), kFramesPerSecond, a.subframeBytes);
        Append(bytes, Interface(number, a.alternate, withFeedback ? 2 : 1, kAudioClass, kAudioStreamingSubclass, 0));
        Append(bytes, uac1::AsGeneral(terminalLink, 1, kPcm));
        Append(bytes, uac1::FormatTypeI(kChannels, a.subframeBytes, a.bits, a.rates));
        Append(bytes, AudioEndpoint(dataEndpoint, kIsochronousAsynchronous, maxPacket, 1, 0,
                                    withFeedback ? kFeedbackEndpoint : 0));
        Append(bytes, uac1::IsoEndpoint(kSamplingFrequencyControl, 0, 0));
        if (withFeedback) {
            Append(bytes, AudioEndpoint(kFeedbackEndpoint, kIsochronousSynch, 3, 1, kFeedbackRefresh, 0));
        }
    }
    return bytes;
}

}  // namespace uac1_r9

// The R9's terminals and units. Both clock sources are named "Internal Clock": they are the one
// crystal seen from each direction.
Bytes AudioControl20(bool sharedClock)
{
    using namespace uac2_r9;
    const std::vector<uint32_t> masterAndChannels(1 + kChannels, kMuteAndVolumeReadWrite);
    const uint8_t captureClock = sharedClock ? kRenderClockSourceId : kCaptureClockSourceId;
    Bytes clocks = uac2::ClockSource(kRenderClockSourceId, kInternalProgrammableClock, kFrequencyReadWriteValidityRead,
                                     0, kClockSourceString);
    if (!sharedClock) {
        Append(clocks, uac2::ClockSource(kCaptureClockSourceId, kInternalProgrammableClock,
                                         kFrequencyReadWriteValidityRead, 0, kClockSourceString));
    }
    return uac2::AudioControl(
        0x0200, kCategoryIoBox, 0,
        {
            clocks,
            uac2::InputTerminal(kRenderInputTerminalId, kTerminalUsbStreaming, 0, kRenderClockSourceId, kChannels, 0,
                                kOutputNamesString, 0, 0),
            uac2::FeatureUnit(kRenderFeatureUnitId, kRenderInputTerminalId, masterAndChannels, 0),
            uac2::OutputTerminal(kRenderOutputTerminalId, kTerminalLineConnector, 0, kRenderFeatureUnitId,
                                 kRenderClockSourceId, 0, 0),
            uac2::InputTerminal(kCaptureInputTerminalId, kTerminalLineConnector, 0, captureClock, kChannels, 0,
                                kInputNamesString, 0, 0),
            uac2::FeatureUnit(kCaptureFeatureUnitId, kCaptureInputTerminalId, masterAndChannels, 0),
            uac2::OutputTerminal(kCaptureOutputTerminalId, kTerminalUsbStreaming, 0, kCaptureFeatureUnitId,
                                 captureClock, 0, 0),
        });
}

// With implicit feedback the capture endpoint tells the host what render consumes, and render has
// no feedback endpoint of its own. The data endpoints carry a packet every 2^(dataInterval-1)
// microframes.
DescriptorSet R9Descriptors20(bool sharedClock, bool implicitFeedback, uint8_t dataInterval)
{
    using namespace uac2_r9;
    DescriptorSet set;
    set.device = Device(R9Device(0x0200, kMiscellaneousClass, kCommonSubclass, kInterfaceAssociationProtocol));
    set.configuration =
        ConfigurationBuilder(1, 0, kBusPowered, kMaxPower500mA)
            .Add(
                InterfaceAssociation(kAudioControlInterface, 3, kAudioClass, 0, kAudioProtocolVersion2, kProductString))
            .Add(Interface(kAudioControlInterface, 0, 0, kAudioClass, kAudioControlSubclass, kAudioProtocolVersion2))
            .Add(AudioControl20(sharedClock))
            .Add(StreamingInterface(kRenderInterface, kRenderInputTerminalId, kOutputNamesString, kRenderEndpoint,
                                    kIsochronousAsynchronous, dataInterval, !implicitFeedback))
            .Add(StreamingInterface(kCaptureInterface, kCaptureOutputTerminalId, kInputNamesString, kCaptureEndpoint,
                                    implicitFeedback ? kIsochronousImplicitFeedback : kIsochronousAsynchronous,
                                    dataInterval, false))
            .Build();
    set.languageIds = {kEnglishUnitedStates};
    set.strings = R9Strings(true);
    return set;
}

}  // namespace

DescriptorSet R9Descriptors() { return R9Descriptors20(false, false, 1); }

DescriptorSet R9SharedClockDescriptors() { return R9Descriptors20(true, false, 1); }

DescriptorSet R9ImplicitFeedbackDescriptors() { return R9Descriptors20(false, true, 1); }

DescriptorSet R9EveryOtherMicroframeDescriptors() { return R9Descriptors20(false, false, 2); }

DescriptorSet R9FullSpeedUac1Descriptors()
{
    using namespace uac1_r9;
    const std::vector<uint32_t> masterAndChannels(1 + kChannels, kMuteAndVolume);

    DescriptorSet set;
    set.device = Device(R9Device(0x0110, 0, 0, 0));
    set.configuration =
        ConfigurationBuilder(1, 0, kBusPowered, kMaxPower500mA)
            .Add(Interface(kAudioControlInterface, 0, 0, kAudioClass, kAudioControlSubclass, 0))
            .Add(uac1::AudioControl(
                0x0100, {kRenderInterface, kCaptureInterface},
                {
                    uac1::InputTerminal(kRenderInputTerminalId, kTerminalUsbStreaming, 0, kChannels, 0,
                                        kOutputNamesString, 0),
                    uac1::FeatureUnit(kRenderFeatureUnitId, kRenderInputTerminalId, 1, masterAndChannels, 0),
                    uac1::OutputTerminal(kRenderOutputTerminalId, kTerminalLineConnector, 0, kRenderFeatureUnitId, 0),
                    uac1::InputTerminal(kCaptureInputTerminalId, kTerminalLineConnector, 0, kChannels, 0,
                                        kInputNamesString, 0),
                    uac1::FeatureUnit(kCaptureFeatureUnitId, kCaptureInputTerminalId, 1, masterAndChannels, 0),
                    uac1::OutputTerminal(kCaptureOutputTerminalId, kTerminalUsbStreaming, 0, kCaptureFeatureUnitId, 0),
                }))
            .Add(StreamingInterface(kRenderInterface, kRenderInputTerminalId, kRenderEndpoint, true))
            .Add(StreamingInterface(kCaptureInterface, kCaptureOutputTerminalId, kCaptureEndpoint, false))
            .Build();
    set.languageIds = {kEnglishUnitedStates};
    set.strings = R9Strings(false);
    return set;
}

}  // namespace sim::devices
