// Streaming interfaces: enumeration, alternates, endpoint classification, terminal ties, the
// shared-clock flag and the quirk table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/usbaudio/alternate_format.h"
#include "driver/usbaudio/audio_quirks.h"
#include "tests/audioclass/model_test_support.h"

namespace audioclasstest {
namespace {

using namespace sim::usb;

constexpr uint8_t kAsynchronous = 0x05;      // isochronous, asynchronous, data
constexpr uint8_t kImplicitFeedback = 0x25;  // isochronous, asynchronous, implicit feedback data
constexpr uint8_t kFeedback = 0x11;          // isochronous, feedback
constexpr uint8_t kReservedUsage = 0x31;
constexpr uint8_t kSynch10 = 0x01;  // 1.0 synch endpoint: isochronous, no synchronisation

// Render: IT 1 (USB streaming) -> OT 2; capture: IT 3 -> OT 4 (USB streaming). Clock sources 5 and 6.
Bytes Control20(uint8_t renderClock = 5, uint8_t captureClock = 5)
{
    return uac2::AudioControl(0x0200, 0, 0,
                              {uac2::ClockSource(5, 0x03, 0x07, 0, 0), uac2::ClockSource(6, 0x03, 0x07, 0, 0),
                               uac2::InputTerminal(1, kTerminalUsbStreaming, 0, renderClock, 2, 0, 0, 0, 0),
                               uac2::OutputTerminal(2, kTerminalSpeaker, 0, 1, renderClock, 0, 0),
                               uac2::InputTerminal(3, kTerminalMicrophone, 0, captureClock, 2, 0, 0, 0, 0),
                               uac2::OutputTerminal(4, kTerminalUsbStreaming, 0, 3, captureClock, 0, 0)});
}

Bytes Control10()
{
    return uac1::AudioControl(
        0x0100, {1, 2},
        {uac1::InputTerminal(1, kTerminalUsbStreaming, 0, 2, 0, 0, 0),
         uac1::OutputTerminal(2, kTerminalSpeaker, 0, 1, 0), uac1::InputTerminal(3, kTerminalMicrophone, 0, 2, 0, 0, 0),
         uac1::OutputTerminal(4, kTerminalUsbStreaming, 0, 3, 0)});
}

// A 2.0 alternate with the given endpoints (and nothing class-specific for the endpoints).
Bytes Alternate20(uint8_t number, uint8_t alternate, std::initializer_list<Bytes> endpoints)
{
    Bytes bytes =
        Concat({StreamingAlternate(number, alternate, uint8_t(endpoints.size())), AsGeneral20(1), Format20()});
    for (const Bytes& endpoint : endpoints) {
        Append(bytes, endpoint);
    }
    return bytes;
}

std::vector<UCHAR> InterfaceNumbers(const CUSBAudioModel& model)
{
    std::vector<UCHAR> numbers;
    for (StreamingInterface* record = model.GetFirstStreamingInterface(); record != nullptr; record = record->Next) {
        numbers.push_back(record->InterfaceNumber);
    }
    return numbers;
}

UCHAR Address(const USB_ENDPOINT_DESCRIPTOR* endpoint) { return endpoint != nullptr ? endpoint->bEndpointAddress : 0; }

class StreamingInterfaceTest : public ModelTest {};

// Alternates are taken to be numbered without gaps: 0, 1 and 3 make two.
TEST_F(StreamingInterfaceTest, AlternateCountEndsAtTheFirstMissingNumber)
{
    const Bytes alternate1 = Alternate20(1, 1, {Endpoint(0x01, kAsynchronous, 392, 1)});
    const Bytes alternate2 = Alternate20(1, 2, {Endpoint(0x01, kAsynchronous, 196, 1)});
    const Bytes alternate3 = Alternate20(1, 3, {Endpoint(0x01, kAsynchronous, 96, 1)});
    const struct {
        const char* name;
        Bytes streaming;
        ULONG count;
    } cases[] = {
        {"alternates 0, 1, 3", Concat({StreamingAlternate(1, 0, 0), alternate1, alternate3}), 2},
        {"alternates 0, 1, 2, 3", Concat({StreamingAlternate(1, 0, 0), alternate1, alternate2, alternate3}), 4},
        {"alternates 0, 1", Concat({StreamingAlternate(1, 0, 0), alternate1}), 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto device = Parse(Configuration({ControlInterface(0), Control20(), c.streaming}), true);
        ASSERT_EQ(device->status, STATUS_SUCCESS);
        const StreamingInterface* record = device->Interface(1);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->AlternateCount, c.count);
        EXPECT_EQ(record->Alternates[0].Interface->bAlternateSetting, 0);
        EXPECT_EQ(record->Alternates[0].DataEndpoint, nullptr);
        EXPECT_EQ(record->Alternates[0].AsGeneral, nullptr);
        for (ULONG n = 1; n < c.count; ++n) {
            EXPECT_EQ(record->Alternates[n].Interface->bAlternateSetting, n);
            EXPECT_NE(record->Alternates[n].DataEndpoint, nullptr);
        }
    }
}

TEST_F(StreamingInterfaceTest, EnumerationEndsAtTheFirstInterfaceThatDoesNotStream)
{
    const Bytes midi = Interface(3, 0, 0, kAudioClass, kMidiStreamingSubclass, 0);
    const Bytes hid = Interface(2, 0, 1, 0x03, 0, 0);
    const struct {
        const char* name;
        Bytes configuration;
        std::vector<UCHAR> interfaces;
    } cases[] = {
        {"a MIDI interface after two streaming interfaces",
         Configuration({ControlInterface(0), Control20(), Streaming20(1, 1, 0x01), Streaming20(2, 4, 0x82), midi,
                        Streaming20(4, 1, 0x03)}),
         {1, 2}},
        {"a gap in the interface numbers",
         Configuration({ControlInterface(0), Control20(), Streaming20(1, 1, 0x01), Streaming20(3, 4, 0x82)}),
         {1}},
        {"a HID interface",
         Configuration({ControlInterface(0), Control20(), Streaming20(1, 1, 0x01), hid, Streaming20(3, 4, 0x82)}),
         {1}},
        {"streaming interfaces count from the control interface on",
         Configuration({Streaming20(0, 1, 0x01), ControlInterface(1), Control20(), Streaming20(2, 4, 0x82)}),
         {2}},
        {"no streaming interface at all", Configuration({ControlInterface(0), Control20()}), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto device = Parse(c.configuration, true);
        ASSERT_EQ(device->status, STATUS_SUCCESS);
        EXPECT_EQ(InterfaceNumbers(device->model), c.interfaces);
        EXPECT_EQ(device->model.GetStreamingInterfaceCount(), LONG(c.interfaces.size()));
    }
}

TEST_F(StreamingInterfaceTest, StreamingInterfacesTheModelRefuses)
{
    Bytes shortEndpoint = Endpoint(0x01, kAsynchronous, 392, 1);
    shortEndpoint.resize(5);
    shortEndpoint[0] = 5;
    Bytes shortAsGeneral = AsGeneral20(1);
    shortAsGeneral.resize(8);
    shortAsGeneral[0] = 8;
    const Bytes alternate0 = StreamingAlternate(1, 0, 0);
    const struct {
        const char* name;
        Bytes streaming;
    } cases[] = {
        {"no alternate 1", alternate0},
        {"alternate 1 without endpoints",
         Concat({alternate0, StreamingAlternate(1, 1, 0), AsGeneral20(1), Format20()})},
        {"alternate 1's endpoint only after the next interface",
         Concat({alternate0, StreamingAlternate(1, 1, 1), AsGeneral20(1), Format20(),
                 Alternate20(1, 2, {Endpoint(0x01, kAsynchronous, 392, 1)})})},
        {"alternate 1's endpoint too short",
         Concat({alternate0, StreamingAlternate(1, 1, 1), AsGeneral20(1), shortEndpoint})},
        {"alternate 1 without AS general",
         Concat({alternate0, StreamingAlternate(1, 1, 1), Format20(), Endpoint(0x01, kAsynchronous, 392, 1)})},
        {"AS general too short for its fields", Concat({alternate0, StreamingAlternate(1, 1, 1), shortAsGeneral,
                                                        Format20(), Endpoint(0x01, kAsynchronous, 392, 1)})},
        {"bTerminalLink names no entity", Streaming20(1, 9, 0x01)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto device = Parse(Configuration({ControlInterface(0), Control20(), c.streaming}), true);
        EXPECT_EQ(device->status, STATUS_NOT_SUPPORTED);
        EXPECT_STRNE(device->model.GetFailureReason(), "");
    }
}

TEST_F(StreamingInterfaceTest, DirectionComesFromAlternateOnesFirstEndpoint)
{
    auto device = Parse(Configuration({ControlInterface(0), Control20(), Streaming20(1, 4, 0x81),
                                       Streaming20(2, 1, 0x02), Streaming20(3, 1, 0x03)}),
                        true);
    ASSERT_EQ(device->status, STATUS_SUCCESS);
    EXPECT_EQ(device->Interface(1)->Direction, kDirectionIn);
    EXPECT_EQ(device->Interface(2)->Direction, kDirectionOut);
    EXPECT_EQ(device->model.GetCaptureInterface(), device->Interface(1));
    EXPECT_EQ(device->model.GetRenderInterface(), device->Interface(2));
    EXPECT_EQ(device->Interface(1)->Terminal, device->Entity(4));
    EXPECT_EQ(device->Interface(2)->Terminal, device->Entity(1));
}

// Isochronous endpoints polled less often than every 2^(5-1) microframes or 16 ms are passed over
// for both jobs; the next usable ones take them.
TEST_F(StreamingInterfaceTest, IntervalLimitsOnAudioClass20)
{
    const struct {
        bool highSpeed;
        uint8_t interval;
        bool usable;
    } cases[] = {{true, 4, true}, {true, 5, false}, {false, 15, true}, {false, 16, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.highSpeed ? "high" : "full") << " speed, bInterval " << int(c.interval));
        const Bytes streaming = Concat(
            {StreamingAlternate(1, 0, 0),
             Alternate20(1, 1,
                         {Endpoint(0x01, kAsynchronous, 392, c.interval), Endpoint(0x81, kFeedback, 4, c.interval),
                          Endpoint(0x02, kAsynchronous, 392, 1), Endpoint(0x82, kFeedback, 4, 1)})});
        auto device = Parse(Configuration({ControlInterface(0), Control20(), streaming}), c.highSpeed);
        ASSERT_EQ(device->status, STATUS_SUCCESS);
        const AlternateSetting& alternate = device->Interface(1)->Alternates[1];
        EXPECT_EQ(Address(alternate.DataEndpoint), c.usable ? 0x01 : 0x02);
        EXPECT_EQ(Address(alternate.FeedbackEndpoint), c.usable ? 0x81 : 0x82);
    }
}

TEST_F(StreamingInterfaceTest, UsageTypesOnAudioClass20)
{
    const Bytes streaming =
        Concat({StreamingAlternate(1, 0, 0),
                Alternate20(1, 1,
                            {Endpoint(0x81, kReservedUsage, 4, 1), Endpoint(0x82, kImplicitFeedback, 392, 1),
                             Endpoint(0x83, kAsynchronous, 392, 1), Endpoint(0x04, kFeedback, 4, 4)})});
    auto device = Parse(Configuration({ControlInterface(0), Control20(), streaming}), true);
    ASSERT_EQ(device->status, STATUS_SUCCESS);
    const AlternateSetting& alternate = device->Interface(1)->Alternates[1];
    EXPECT_EQ(Address(alternate.DataEndpoint), 0x82);
    EXPECT_TRUE(usbaudio::IsImplicitFeedbackData(alternate.DataEndpoint));
    EXPECT_EQ(Address(alternate.FeedbackEndpoint), 0x04);
}

// On 1.0 the first endpoint is the data endpoint, and a synch endpoint counts only when the data
// endpoint's bSynchAddress names it.
TEST_F(StreamingInterfaceTest, FeedbackEndpointOnAudioClass10)
{
    const Bytes data9 = AudioEndpoint(0x01, kAsynchronous, 196, 1, 0, 0x81);
    const Bytes synch = AudioEndpoint(0x81, kSynch10, 3, 1, 2, 0);
    const struct {
        const char* name;
        Bytes first;
        Bytes second;
        UCHAR data;
        UCHAR feedback;
    } cases[] = {
        {"9-byte data endpoint naming the synch endpoint", data9, synch, 0x01, 0x81},
        {"7-byte data endpoint has no bSynchAddress", Endpoint(0x01, kAsynchronous, 196, 1), synch, 0x01, 0},
        {"bSynchAddress names another endpoint", AudioEndpoint(0x01, kAsynchronous, 196, 1, 0, 0x82), synch, 0x01, 0},
        {"synch endpoint with a synchronisation type", data9, AudioEndpoint(0x81, kAsynchronous, 3, 1, 2, 0), 0x01, 0},
        {"synch endpoint polled every 16 ms", data9, AudioEndpoint(0x81, kSynch10, 3, 16, 2, 0), 0x01, 0},
        {"synch endpoint polled every 15 ms", data9, AudioEndpoint(0x81, kSynch10, 3, 15, 2, 0), 0x01, 0x81},
        {"the data endpoint needs no usable interval", AudioEndpoint(0x01, kAsynchronous, 196, 16, 0, 0x81), synch,
         0x01, 0x81},
        {"a first endpoint with bit 4 set is no data endpoint", AudioEndpoint(0x01, 0x11, 196, 1, 0, 0x81), synch, 0,
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes streaming = Concat({StreamingAlternate(1, 0, 0), StreamingAlternate(1, 1, 2), AsGeneral10(1),
                                        Format10(), c.first, uac1::IsoEndpoint(1, 0, 0), c.second});
        auto device = Parse(Configuration({ControlInterface(0), Control10(), streaming}), false);
        ASSERT_EQ(device->status, STATUS_SUCCESS);
        const AlternateSetting& alternate = device->Interface(1)->Alternates[1];
        EXPECT_EQ(Address(alternate.DataEndpoint), c.data);
        EXPECT_EQ(Address(alternate.FeedbackEndpoint), c.feedback);
    }
}

// A device that counts more endpoints than an alternate describes must not lend it the next
// alternate's feedback endpoint.
TEST_F(StreamingInterfaceTest, EndpointsStayInsideTheirAlternate)
{
    const Bytes streaming =
        Concat({StreamingAlternate(1, 0, 0), StreamingAlternate(1, 1, 2), AsGeneral20(1), Format20(),
                Endpoint(0x01, kAsynchronous, 392, 1),
                Alternate20(1, 2, {Endpoint(0x01, kAsynchronous, 196, 1), Endpoint(0x81, kFeedback, 4, 4)})});
    auto device = Parse(Configuration({ControlInterface(0), Control20(), streaming}), true);
    ASSERT_EQ(device->status, STATUS_SUCCESS);
    const StreamingInterface* record = device->Interface(1);
    EXPECT_EQ(Address(record->Alternates[1].FeedbackEndpoint), 0);
    EXPECT_EQ(Address(record->Alternates[2].FeedbackEndpoint), 0x81);
}

TEST_F(StreamingInterfaceTest, ClassSpecificDescriptorsOfEachAlternate)
{
    const Bytes classEndpoint = uac1::IsoEndpoint(1, 0, 0);
    const Bytes streaming = Concat({
        StreamingAlternate(1, 0, 0),
        // Alternate 1 as it should be.
        StreamingAlternate(1, 1, 1),
        AsGeneral10(1),
        Format10(),
        AudioEndpoint(0x01, kAsynchronous, 196, 1, 0, 0),
        classEndpoint,
        // Alternate 2: the class endpoint before the data endpoint, where nobody looks for it.
        StreamingAlternate(1, 2, 1),
        AsGeneral10(1),
        uac1::FormatTypeIContinuous(2, 2, 16, 8000, 48000),
        classEndpoint,
        AudioEndpoint(0x01, kAsynchronous, 196, 1, 0, 0),
        // Alternate 3: no format type descriptor.
        StreamingAlternate(1, 3, 1),
        AsGeneral10(1),
        AudioEndpoint(0x01, kAsynchronous, 196, 1, 0, 0),
    });
    auto device = Parse(Configuration({ControlInterface(0), Control10(), streaming}), false);
    ASSERT_EQ(device->status, STATUS_SUCCESS);
    const StreamingInterface* record = device->Interface(1);
    ASSERT_EQ(record->AlternateCount, 4u);
    const AlternateSetting& first = record->Alternates[1];
    EXPECT_NE(first.ClassEndpoint, nullptr);
    EXPECT_TRUE(usbaudio::HasSamplingFrequencyControl(first));
    EXPECT_EQ(usbaudio::GetSampleRateType(first), 2u);
    EXPECT_EQ(usbaudio::GetDiscreteSampleRate(first, 1), 48000u);
    EXPECT_EQ(usbaudio::GetDiscreteSampleRate(first, 2), 0u);
    const AlternateSetting& second = record->Alternates[2];
    EXPECT_EQ(second.ClassEndpoint, nullptr);
    ULONG lower = 0;
    ULONG upper = 0;
    EXPECT_TRUE(usbaudio::GetContinuousSampleRates(second, &lower, &upper));
    EXPECT_EQ(lower, 8000u);
    EXPECT_EQ(upper, 48000u);
    const AlternateSetting& third = record->Alternates[3];
    EXPECT_NE(third.AsGeneral, nullptr);
    EXPECT_EQ(third.FormatType, nullptr);
    EXPECT_EQ(usbaudio::GetChannelCount(third, false), 0);
}

TEST_F(StreamingInterfaceTest, SharedClockFlag)
{
    const struct {
        const char* name;
        Bytes configuration;
        bool shared;
    } cases[] = {
        {"2.0, both terminals on clock 5",
         Configuration({ControlInterface(0), Control20(5, 5), Streaming20(1, 1, 0x01), Streaming20(2, 4, 0x82)}), true},
        {"2.0, clocks 5 and 6",
         Configuration({ControlInterface(0), Control20(5, 6), Streaming20(1, 1, 0x01), Streaming20(2, 4, 0x82)}),
         false},
        {"2.0, render only", Configuration({ControlInterface(0), Control20(5, 5), Streaming20(1, 1, 0x01)}), false},
        {"2.0, capture only", Configuration({ControlInterface(0), Control20(5, 5), Streaming20(1, 4, 0x82)}), false},
        {"1.0, both directions",
         Configuration({ControlInterface(0), Control10(), Streaming10(1, 1, 0x01), Streaming10(2, 4, 0x82)}), true},
        {"1.0, render only", Configuration({ControlInterface(0), Control10(), Streaming10(1, 1, 0x01)}), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto device = Parse(c.configuration, true);
        ASSERT_EQ(device->status, STATUS_SUCCESS);
        EXPECT_EQ(device->model.IsClockShared(), c.shared);
    }
}

TEST_F(StreamingInterfaceTest, CurrentAlternatePerDirection)
{
    auto device = Parse(
        Configuration({ControlInterface(0), Control20(), Streaming20(1, 1, 0x01), Streaming20(2, 4, 0x82)}), true);
    ASSERT_EQ(device->status, STATUS_SUCCESS);
    EXPECT_EQ(device->model.GetCurrentAlternate(kDirectionOut), 0u);
    device->model.GetCaptureInterface()->CurrentAlternate = 1;
    EXPECT_EQ(device->model.GetCurrentAlternate(kDirectionIn), 1u);
    EXPECT_EQ(device->model.GetCurrentAlternate(kDirectionOut), 0u);

    auto renderOnly = Parse(Configuration({ControlInterface(0), Control20(), Streaming20(1, 1, 0x01)}), true);
    ASSERT_EQ(renderOnly->status, STATUS_SUCCESS);
    renderOnly->model.GetRenderInterface()->CurrentAlternate = 1;
    EXPECT_EQ(renderOnly->model.GetCurrentAlternate(kDirectionIn), 0u);
}

// The quirk lists are one table: the vendor-class devices are also configured with every
// interface, and the length-prefix device is the first vendor-class one.
TEST_F(StreamingInterfaceTest, QuirkTableKeepsItsLists)
{
    using namespace usbaudio;
    std::vector<ULONG> vendorClass;
    std::vector<ULONG> allInterfaces;
    std::vector<ULONG> lengthPrefixed;
    for (ULONG i = 0; i < kAudioQuirkCount; ++i) {
        const ULONG quirks = kAudioQuirks[i].Quirks;
        if ((quirks & kQuirkVendorClassInterfaces) != 0) {
            vendorClass.push_back(i);
            EXPECT_NE(quirks & kQuirkConfigureAllInterfaces, 0u);
        }
        if ((quirks & kQuirkConfigureAllInterfaces) != 0) {
            allInterfaces.push_back(i);
        }
        if ((quirks & kQuirkLengthPrefixedRender) != 0) {
            lengthPrefixed.push_back(i);
        }
    }
    EXPECT_EQ(vendorClass.size(), 2u);
    EXPECT_EQ(allInterfaces.size(), 3u);
    ASSERT_EQ(lengthPrefixed.size(), 1u);
    EXPECT_EQ(lengthPrefixed[0], vendorClass[0]);
}

TEST_F(StreamingInterfaceTest, VendorClassQuirkChangesTheClassSearchedFor)
{
    using namespace usbaudio;
    const AudioQuirkEntry& vendorDevice = kAudioQuirks[0];
    const Bytes vendorClassFunction =
        Configuration({ControlInterface(0, 0xFF), Control20(),
                       Concat({StreamingAlternate(1, 0, 0, 0xFF), StreamingAlternate(1, 1, 1, 0xFF), AsGeneral20(1),
                               Format20(), Endpoint(0x01, kAsynchronous, 392, 1)})});
    const Bytes audioClassFunction = Configuration({ControlInterface(0), Control20(), Streaming20(1, 1, 0x01)});
    const Bytes quirkIds = DeviceWithIds(vendorDevice.VendorId, vendorDevice.ProductId);
    const Bytes otherIds = DeviceWithIds(vendorDevice.VendorId, 0xFFFF);
    const struct {
        const char* name;
        const Bytes& configuration;
        const Bytes& device;
        NTSTATUS status;
    } cases[] = {
        {"vendor-class interfaces on the quirk device", vendorClassFunction, quirkIds, STATUS_SUCCESS},
        {"vendor-class interfaces on another device", vendorClassFunction, otherIds, STATUS_NOT_SUPPORTED},
        {"vendor-class interfaces without a device descriptor", vendorClassFunction, {}, STATUS_NOT_SUPPORTED},
        {"audio-class interfaces on the quirk device", audioClassFunction, quirkIds, STATUS_NOT_SUPPORTED},
        {"audio-class interfaces on another device", audioClassFunction, otherIds, STATUS_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto device = Parse(c.configuration, true, c.device);
        EXPECT_EQ(device->status, c.status);
    }
    auto quirky = Parse(vendorClassFunction, true, quirkIds);
    EXPECT_EQ(quirky->model.GetQuirks(), vendorDevice.Quirks);
    EXPECT_EQ(quirky->model.GetStreamingInterfaceCount(), 1);
}

}  // namespace
}  // namespace audioclasstest
