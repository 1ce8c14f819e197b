// The Audio Control interface: class release, entity classes and their slots, linking by ID.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/usbaudio/audio_terminal.h"
#include "driver/usbaudio/clock_entity.h"
#include "driver/usbaudio/feature_unit.h"
#include "tests/audioclass/model_test_support.h"

namespace audioclasstest {
namespace {

using namespace sim::usb;
using usbaudio::kNoEntity;

constexpr uint8_t kInternalClock = 0x03;

std::vector<ULONG> EntityIds(const CUSBAudioModel& model)
{
    std::vector<ULONG> ids;
    for (CUSBAudioEntity* entity = model.GetFirstEntity(); entity != nullptr; entity = entity->GetNext()) {
        ids.push_back(entity->GetId());
    }
    return ids;
}

std::string NameOf(const CUSBAudioEntity* entity)
{
    char name[32];
    EXPECT_EQ(entity->GetName(name, sizeof(name)), STATUS_SUCCESS);
    return name;
}

class EntityGraphTest : public ModelTest {};

// Only exactly 0x0200 selects the 2.0 layouts; any other release is read as 1.0, whatever layout
// its descriptors really have.
TEST_F(EntityGraphTest, OnlyRelease0200SelectsAudioClass20)
{
    const Bytes layout10 = uac1::AudioControl(0, {},
                                              {uac1::InputTerminal(1, kTerminalUsbStreaming, 0, 2, 0, 0, 0),
                                               uac1::OutputTerminal(2, kTerminalSpeaker, 0, 1, 0)});
    const Bytes layout20 = uac2::AudioControl(0, 0x08, 0,
                                              {uac2::ClockSource(5, kInternalClock, 7, 0, 0),
                                               uac2::InputTerminal(1, kTerminalUsbStreaming, 0, 5, 2, 0, 0, 0, 0),
                                               uac2::OutputTerminal(2, kTerminalSpeaker, 0, 1, 5, 0, 0)});
    const struct {
        uint16_t bcdADC;
        const Bytes& layout;
        NTSTATUS status;
        bool audioClass20;
        std::vector<ULONG> entities;
    } cases[] = {
        {0x0100, layout10, STATUS_SUCCESS, false, {1, 2}},
        {0x0300, layout10, STATUS_SUCCESS, false, {1, 2}},
        {0x0200, layout20, STATUS_SUCCESS, true, {5, 1, 2}},
        // Read as 1.0, wTotalLength comes from bytes 5-6 (bCategory and the low byte of the real
        // wTotalLength), far beyond the interface.
        {0x0300, layout20, STATUS_NOT_SUPPORTED, false, {}},
        {0x0201, layout20, STATUS_NOT_SUPPORTED, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "bcdADC 0x" << std::hex << c.bcdADC);
        Bytes control = c.layout;
        PutWord(control, 3, c.bcdADC);
        auto device = Parse(Configuration({ControlInterface(0), control}), true);
        EXPECT_EQ(device->status, c.status);
        EXPECT_EQ(device->model.IsAudioClass20(), c.audioClass20);
        EXPECT_EQ(EntityIds(device->model), c.entities);
    }
}

// A 1.0 processing unit always fails to link, but only the last entity's result decides.
TEST_F(EntityGraphTest, ProcessingUnitFailsOnlyAsTheLastEntity)
{
    const Bytes input = uac1::InputTerminal(1, kTerminalUsbStreaming, 0, 2, 0, 0, 0);
    const Bytes processing = uac1::ProcessingUnit(3, 0x0001, {1}, 2, 0, 0, {0x01}, 0, {});
    const struct {
        const char* name;
        std::vector<Bytes> entities;
        NTSTATUS status;
    } cases[] = {
        {"processing unit last", {input, processing}, STATUS_NOT_IMPLEMENTED},
        {"feature unit after it", {input, processing, uac1::FeatureUnit(4, 3, 1, {0x03}, 0)}, STATUS_SUCCESS},
        {"feature unit after it with a missing source",
         {input, processing, uac1::FeatureUnit(4, 9, 1, {0x03}, 0)},
         STATUS_NOT_SUPPORTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes control = uac1::AudioControl(0x0100, {}, {});
        for (const Bytes& entity : c.entities) {
            Append(control, entity);
        }
        PutWord(control, 5, uint16_t(control.size()));
        auto device = Parse(Configuration({ControlInterface(0), control}), false);
        EXPECT_EQ(device->status, c.status);
        // The entities built stay in the list even when linking fails.
        EXPECT_EQ(EntityIds(device->model).size(), c.entities.size());
    }
}

// Subtypes a release does not know end the walk; what follows them is not an entity.
TEST_F(EntityGraphTest, UnknownSubtypeEndsTheWalk)
{
    auto device10 =
        Parse(Configuration({ControlInterface(0),
                             uac1::AudioControl(0x0100, {},
                                                {uac1::InputTerminal(1, kTerminalUsbStreaming, 0, 2, 0, 0, 0),
                                                 uac2::ClockSource(5, kInternalClock, 7, 0, 0),
                                                 uac1::OutputTerminal(2, kTerminalSpeaker, 0, 1, 0)})}),
              false);
    EXPECT_EQ(device10->status, STATUS_SUCCESS);
    EXPECT_EQ(EntityIds(device10->model), std::vector<ULONG>{1});
    EXPECT_EQ(device10->model.FindEntity(5), nullptr);

    const Bytes subtype14 = ClassSpecific(kCsInterface, 14, {7, 0, 0});
    auto device20 =
        Parse(Configuration({ControlInterface(0),
                             uac2::AudioControl(0x0200, 0, 0,
                                                {uac2::ClockSource(5, kInternalClock, 7, 0, 0), subtype14,
                                                 uac2::InputTerminal(1, kTerminalUsbStreaming, 0, 5, 2, 0, 0, 0, 0)})}),
              true);
    EXPECT_EQ(device20->status, STATUS_SUCCESS);
    EXPECT_EQ(EntityIds(device20->model), std::vector<ULONG>{5});
}

// The graph is written backwards (every entity names one that comes later) to show that links
// are resolved by ID, not by position.
TEST_F(EntityGraphTest, LinksAreResolvedById)
{
    auto device =
        Parse(Configuration({ControlInterface(0),
                             uac2::AudioControl(0x0200, 0, 0,
                                                {
                                                    uac2::OutputTerminal(3, kTerminalSpeaker, 0, 2, 5, 0, 0),
                                                    uac2::FeatureUnit(2, 1, {0x0F, 0x0F}, 0),
                                                    uac2::InputTerminal(1, kTerminalUsbStreaming, 0, 5, 1, 0, 0, 0, 0),
                                                    uac2::ClockSource(5, kInternalClock, 7, 0, 0),
                                                })}),
              true);
    ASSERT_EQ(device->status, STATUS_SUCCESS);
    EXPECT_EQ(EntityIds(device->model), (std::vector<ULONG>{3, 2, 1, 5}));

    auto* output = static_cast<CUSBAudioOutputTerminal*>(device->Entity(3));
    auto* feature = static_cast<CUSBAudioFeatureUnit*>(device->Entity(2));
    auto* input = CUSBAudioTerminal::FromEntity(device->Entity(1));
    CUSBAudioEntity* clock = device->Entity(5);
    EXPECT_EQ(output->GetSourceEntity(), feature);
    EXPECT_EQ(output->GetClockEntity(), CUSBAudioClockEntity::FromEntity(clock));
    EXPECT_EQ(feature->GetSourceEntity(), device->Entity(1));
    EXPECT_EQ(input->GetClockLink(), clock);
    EXPECT_EQ(output->GetSourceId(0), 2u);
    EXPECT_EQ(feature->GetSourceId(0), 1u);
    EXPECT_EQ(input->GetSourceId(0), kNoEntity);
    EXPECT_EQ(clock->GetSourceId(0), kNoEntity);
    EXPECT_EQ(NameOf(output), "OT(3)");
    EXPECT_EQ(NameOf(feature), "Feature(2)");
    EXPECT_EQ(NameOf(input), "IT(1)");
    EXPECT_EQ(NameOf(clock), "ClockSource(5)");
}

TEST_F(EntityGraphTest, MissingLinkTargetsFailTheirLink)
{
    const Bytes clock = uac2::ClockSource(5, kInternalClock, 7, 0, 0);
    const Bytes input = uac2::InputTerminal(1, kTerminalUsbStreaming, 0, 5, 2, 0, 0, 0, 0);
    const struct {
        const char* name;
        std::vector<Bytes> entities;
        NTSTATUS status;
    } cases[] = {
        {"feature unit with no source entity",
         {clock, input, uac2::FeatureUnit(2, 9, {0x0F}, 0)},
         STATUS_NOT_SUPPORTED},
        {"output terminal with no source entity",
         {clock, input, uac2::OutputTerminal(3, kTerminalSpeaker, 0, 9, 5, 0, 0)},
         STATUS_NOT_SUPPORTED},
        {"output terminal with no clock entity",
         {clock, input, uac2::OutputTerminal(3, kTerminalSpeaker, 0, 1, 9, 0, 0)},
         STATUS_NOT_SUPPORTED},
        {"input terminal with no clock entity",
         {clock, uac2::InputTerminal(1, kTerminalUsbStreaming, 0, 9, 2, 0, 0, 0, 0)},
         STATUS_NOT_SUPPORTED},
        // The same broken feature unit early in the list: a later entity's success wins.
        {"broken feature unit not last", {uac2::FeatureUnit(2, 9, {0x0F}, 0), clock, input}, STATUS_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes control = uac2::AudioControl(0x0200, 0, 0, {});
        for (const Bytes& entity : c.entities) {
            Append(control, entity);
        }
        PutWord(control, 6, uint16_t(control.size()));
        auto device = Parse(Configuration({ControlInterface(0), control}), true);
        EXPECT_EQ(device->status, c.status);
    }
}

TEST_F(EntityGraphTest, TerminalSlotsFollowTheRelease)
{
    // Input terminal controls, two bits each from control 0: 01, 11, 10, 00, 00, 01, then 11 in
    // the bits of a control index an input terminal does not have.
    const uint16_t inputControls = 0b11'01'00'00'10'11'01;
    // Output terminal: 11 for index 1 (connector) and 01 in the bits of index 5, which it lacks.
    const uint16_t outputControls = 0b01'00'00'00'11'00;
    auto device20 = Parse(
        Configuration({ControlInterface(0),
                       uac2::AudioControl(0x0200, 0, 0,
                                          {uac2::ClockSource(5, kInternalClock, 7, 0, 0),
                                           uac2::InputTerminal(1, kTerminalMicrophone, 0, 5, 2, 0, 0, inputControls, 0),
                                           uac2::OutputTerminal(2, kTerminalSpeaker, 0, 1, 5, outputControls, 0)})}),
        true);
    ASSERT_EQ(device20->status, STATUS_SUCCESS);
    auto* input = CUSBAudioTerminal::FromEntity(device20->Entity(1));
    auto* output = CUSBAudioTerminal::FromEntity(device20->Entity(2));
    EXPECT_EQ(input->GetClockSourceId(), 5u);
    EXPECT_EQ(output->GetClockSourceId(), 5u);
    EXPECT_EQ(input->GetControls(), inputControls);
    EXPECT_EQ(output->GetControls(), outputControls);
    const bool inputExpected[] = {true, true, false, false, false, true, false};
    for (ULONG index = 0; index < 7; ++index) {
        EXPECT_EQ(input->HasControl(index), inputExpected[index]) << "input control " << index;
    }
    const bool outputExpected[] = {false, true, false, false, false, false};
    for (ULONG index = 0; index < 6; ++index) {
        EXPECT_EQ(output->HasControl(index), outputExpected[index]) << "output control " << index;
    }
    EXPECT_TRUE(input->IsInputTerminal());
    EXPECT_FALSE(output->IsInputTerminal());
    EXPECT_EQ(input->GetTerminalType(), kTerminalMicrophone);

    auto device10 = Parse(Configuration({ControlInterface(0),
                                         uac1::AudioControl(0x0100, {},
                                                            {uac1::InputTerminal(1, kTerminalMicrophone, 0, 2, 0, 0, 0),
                                                             uac1::OutputTerminal(2, kTerminalSpeaker, 0, 1, 0)})}),
                          false);
    ASSERT_EQ(device10->status, STATUS_SUCCESS);
    auto* input10 = CUSBAudioTerminal::FromEntity(device10->Entity(1));
    EXPECT_EQ(input10->GetClockSourceId(), kNoEntity);
    EXPECT_EQ(input10->GetClockLink(), nullptr);
    EXPECT_EQ(input10->GetControls(), 0);
    EXPECT_FALSE(input10->HasControl(usbaudio::kConnectorControl));
}

TEST_F(EntityGraphTest, FeatureUnitControlsPerRelease)
{
    using usbaudio::kControlRead;
    using usbaudio::kControlWrite;
    using usbaudio::kMuteControl;
    using usbaudio::kVolumeControl;
    // 2.0: master mute read/write, channel 1 volume read-only, channel 2 volume read/write.
    auto device20 =
        Parse(Configuration({ControlInterface(0),
                             uac2::AudioControl(0x0200, 0, 0,
                                                {uac2::ClockSource(5, kInternalClock, 7, 0, 0),
                                                 uac2::InputTerminal(1, kTerminalUsbStreaming, 0, 5, 2, 0, 0, 0, 0),
                                                 uac2::FeatureUnit(2, 1, {0x03, 0x04, 0x0C}, 0)})}),
              true);
    ASSERT_EQ(device20->status, STATUS_SUCCESS);
    auto* unit20 = static_cast<CUSBAudioFeatureUnit*>(device20->Entity(2));
    EXPECT_EQ(unit20->GetChannelCount(), 3u);
    EXPECT_TRUE(unit20->HasFeatureControl(0, kMuteControl, kControlRead | kControlWrite));
    EXPECT_TRUE(unit20->HasFeatureControl(1, kVolumeControl, kControlRead));
    EXPECT_FALSE(unit20->HasFeatureControl(1, kVolumeControl, kControlWrite));
    EXPECT_TRUE(unit20->HasFeatureControl(2, kVolumeControl, kControlWrite));
    EXPECT_FALSE(unit20->HasFeatureControl(3, kVolumeControl, kControlRead));
    EXPECT_TRUE(unit20->HasFeatureControlOnAnyChannel(kVolumeControl));
    EXPECT_FALSE(unit20->HasFeatureControlOnAnyChannel(2));

    // 1.0 with two-byte bitmaps: master mute, channel 1 volume and bit 9 (loudness).
    auto device10 = Parse(
        Configuration(
            {ControlInterface(0),
             uac1::AudioControl(0x0100, {},
                                {uac1::InputTerminal(1, kTerminalUsbStreaming, 0, 2, 0, 0, 0),
                                 uac1::FeatureUnit(2, 1, 2, {0x0001, 0x0202}, 0), uac1::FeatureUnit(3, 2, 0, {}, 0)})}),
        false);
    ASSERT_EQ(device10->status, STATUS_SUCCESS);
    auto* unit10 = static_cast<CUSBAudioFeatureUnit*>(device10->Entity(2));
    EXPECT_EQ(unit10->GetChannelCount(), 2u);
    EXPECT_TRUE(unit10->HasFeatureControl(0, kMuteControl, kControlWrite));  // 1.0 has no access bits
    EXPECT_FALSE(unit10->HasFeatureControl(0, kVolumeControl, kControlRead));
    EXPECT_TRUE(unit10->HasFeatureControl(1, kVolumeControl, kControlRead));
    EXPECT_TRUE(unit10->HasFeatureControl(1, 9, kControlRead));
    EXPECT_FALSE(unit10->HasFeatureControl(1, 16, kControlRead));
    EXPECT_TRUE(unit10->HasFeatureControlOnAnyChannel(9));
    // bControlSize 0 describes no controls; nothing divides by it.
    auto* empty = static_cast<CUSBAudioFeatureUnit*>(device10->Entity(3));
    EXPECT_EQ(empty->GetChannelCount(), 0u);
    EXPECT_FALSE(empty->HasFeatureControlOnAnyChannel(kMuteControl));
}

TEST_F(EntityGraphTest, ClockSelectorAndEntityCounts)
{
    auto device =
        Parse(Configuration({ControlInterface(0),
                             uac2::AudioControl(0x0200, 0, 0,
                                                {
                                                    uac2::ClockSource(5, kInternalClock, 7, 0, 0),
                                                    uac2::ClockSource(6, 0, 7, 0, 0),
                                                    uac2::ClockSelector(7, {6, 5}, 3, 0),
                                                    uac2::ClockMultiplier(8, 7, 0, 0),
                                                    uac2::InputTerminal(1, kTerminalUsbStreaming, 0, 8, 2, 0, 0, 0, 0),
                                                    uac2::FeatureUnit(2, 1, {0x0F}, 0),
                                                    uac2::SelectorUnit(3, {2}, 0, 0),
                                                    uac2::OutputTerminal(4, kTerminalSpeaker, 0, 3, 7, 0, 0),
                                                })}),
              true);
    ASSERT_EQ(device->status, STATUS_SUCCESS);
    auto* selector = static_cast<CUSBAudioClockSelector*>(device->Entity(7));
    EXPECT_EQ(NameOf(selector), "ClockSelector(7)");
    EXPECT_EQ(selector->GetInputCount(), 2u);
    EXPECT_EQ(selector->GetSourceId(0), 6u);
    EXPECT_EQ(selector->GetSourceId(1), 5u);
    EXPECT_EQ(selector->GetSourceId(2), kNoEntity);
    EXPECT_EQ(NameOf(device->Entity(8)), "Dummy(8)");
    EXPECT_EQ(NameOf(device->Entity(3)), "Dummy(3)");
    // The input terminal runs from the clock multiplier, which answers no clock requests.
    auto* input = CUSBAudioTerminal::FromEntity(device->Entity(1));
    EXPECT_EQ(input->GetClockLink(), device->Entity(8));
    EXPECT_EQ(input->GetClockEntity(), nullptr);
    EXPECT_NE(CUSBAudioTerminal::FromEntity(device->Entity(4))->GetClockEntity(), nullptr);
    EXPECT_EQ(device->model.CountEntities(IsTerminalEntity), 2u);
    EXPECT_EQ(device->model.CountEntities(IsUnitEntity), 2u);  // feature and selector unit
}

TEST_F(EntityGraphTest, NamesAreCutToTheBuffer)
{
    char name[6];
    EXPECT_EQ(usbaudio::FormatEntityName(name, sizeof(name), "Feature", 12), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(name, "Featu");
    char exact[10];
    EXPECT_EQ(usbaudio::FormatEntityName(exact, sizeof(exact), "IT", 4294967295u), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(exact, "IT(429496");
    char wide[20];
    EXPECT_EQ(usbaudio::FormatEntityName(wide, sizeof(wide), "IT", 4294967295u), STATUS_SUCCESS);
    EXPECT_STREQ(wide, "IT(4294967295)");
    EXPECT_EQ(usbaudio::FormatEntityName(nullptr, 4, "IT", 1), STATUS_INVALID_PARAMETER);
}

TEST_F(EntityGraphTest, AudioControlInterfaceAndHeaderRules)
{
    const Bytes input10 = uac1::InputTerminal(1, kTerminalUsbStreaming, 0, 2, 0, 0, 0);
    const Bytes control10 = uac1::AudioControl(0x0100, {}, {input10});
    Bytes shortHeader = ClassSpecific(kCsInterface, 1, {0x00, 0x01, 0x06});  // bcdADC and half a wTotalLength
    Bytes tooLong = control10;
    PutWord(tooLong, 5, uint16_t(control10.size() + 1));
    Bytes shortTerminal = uac2::InputTerminal(1, kTerminalUsbStreaming, 0, 5, 2, 0, 0, 0, 0);
    shortTerminal.resize(12);
    shortTerminal[0] = 12;
    // An interrupt endpoint inside the Audio Control interface, covered by wTotalLength up to the
    // next interface exactly, as some devices count it.
    Bytes withEndpoint = control10;
    const Bytes interruptEndpoint = Endpoint(0x83, 0x03, 6, 8);
    PutWord(withEndpoint, 5, uint16_t(control10.size() + interruptEndpoint.size()));

    const struct {
        const char* name;
        Bytes configuration;
        NTSTATUS status;
    } cases[] = {
        {"no Audio Control interface", Configuration({Streaming10(1, 1, 0x01)}), STATUS_NOT_SUPPORTED},
        {"no header after the interface", Configuration({ControlInterface(0), input10}), STATUS_NOT_SUPPORTED},
        {"header too short for wTotalLength", Configuration({ControlInterface(0), shortHeader}), STATUS_NOT_SUPPORTED},
        {"wTotalLength past the interface", Configuration({ControlInterface(0), tooLong, Streaming10(1, 1, 0x01)}),
         STATUS_NOT_SUPPORTED},
        {"wTotalLength up to the next interface",
         Configuration({ControlInterface(0), withEndpoint, interruptEndpoint, Streaming10(1, 1, 0x01)}),
         STATUS_SUCCESS},
        {"entity too short for its fields",
         Configuration({ControlInterface(0), uac2::AudioControl(0x0200, 0, 0, {shortTerminal})}), STATUS_NOT_SUPPORTED},
        {"vendor-class interface without the quirk", Configuration({ControlInterface(0, 0xFF), control10}),
         STATUS_NOT_SUPPORTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto device = Parse(c.configuration, false);
        EXPECT_EQ(device->status, c.status);
        EXPECT_EQ(std::string(device->model.GetFailureReason()).empty(), c.status == STATUS_SUCCESS);
    }
}

}  // namespace
}  // namespace audioclasstest
