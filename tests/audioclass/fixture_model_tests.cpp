// The model of real devices, checked against the facts read from their descriptor dumps
// (tests/fixtures/usb/*.facts.json, copied here as tables).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/usbaudio/alternate_format.h"
#include "driver/usbaudio/audio_terminal.h"
#include "driver/usbaudio/clock_entity.h"
#include "driver/usbaudio/feature_unit.h"
#include "sim/usb/descriptors/descriptor_set.h"
#include "tests/audioclass/model_test_support.h"

namespace audioclasstest {
namespace {

using usbaudio::kNoEntity;

constexpr UCHAR kIt = 2, kOt = 3, kMixer = 4, kSelector = 5, kFu = 6, kClock = 10, kClockSelector = 11;

struct EntityFact {
    ULONG id;
    UCHAR subtype;
    std::vector<ULONG> sources;  // linked sources (feature unit, output terminal) or selector inputs
    ULONG clock;                 // a 2.0 terminal's clock entity, kNoEntity otherwise
};

struct EndpointFact {
    UCHAR address;  // 0: none
    UCHAR attributes;
    USHORT maxPacket;
    UCHAR interval;
};

struct AlternateFact {
    UCHAR channels;
    UCHAR subslotBytes;
    UCHAR bits;
    EndpointFact data;
    EndpointFact feedback;
    bool classEndpoint;
    std::vector<ULONG> rates;  // 1.0 discrete rates in descriptor order
};

struct InterfaceFact {
    UCHAR number;
    UCHAR direction;
    ULONG terminal;
    std::vector<AlternateFact> alternates;  // alternate 1 on
};

struct FixtureFact {
    const char* name;
    bool highSpeed;
    bool audioClass20;
    std::vector<EntityFact> entities;  // in descriptor order
    std::vector<InterfaceFact> interfaces;
    int render;  // interface number, -1 for none
    int capture;
    bool sharedClock;
};

const ULONG N = kNoEntity;
constexpr UCHAR kOut = kDirectionOut;
constexpr UCHAR kIn = kDirectionIn;

const FixtureFact kFixtures[] = {
    {"behringer_umc202hd_192k",
     true,
     true,
     {{41, kClock, {}, N},
      {40, kClockSelector, {41}, N},
      {2, kIt, {}, 40},
      {10, kFu, {2}, N},
      {20, kOt, {10}, 40},
      {1, kIt, {}, 40},
      {11, kFu, {1}, N},
      {22, kOt, {11}, 40}},
     {{1, kOut, 2, {{2, 4, 24, {0x08, 5, 400, 1}, {0x84, 17, 4, 4}, true, {}}}},
      {2, kIn, 22, {{2, 4, 24, {0x88, 37, 400, 1}, {}, true, {}}}}},
     1,
     2,
     true},
    {"arturia_audiofuse_16rig",
     true,
     true,
     {{41, kClock, {}, N},
      {43, kClock, {}, N},
      {44, kClock, {}, N},
      {40, kClockSelector, {41, 43, 44}, N},
      {2, kIt, {}, 40},
      {12, kFu, {2}, N},
      {20, kOt, {12}, 40},
      {1, kIt, {}, 40},
      {11, kFu, {1}, N},
      {22, kOt, {11}, 40}},
     {{1,
       kOut,
       2,
       {{34, 4, 24, {0x01, 5, 952, 1}, {}, true, {}},
        {18, 4, 24, {0x01, 5, 936, 1}, {}, true, {}},
        {10, 4, 24, {0x01, 5, 1000, 1}, {}, true, {}}}},
      {2,
       kIn,
       22,
       {{34, 4, 24, {0x81, 37, 952, 1}, {}, true, {}},
        {18, 4, 24, {0x81, 37, 936, 1}, {}, true, {}},
        {10, 4, 24, {0x81, 37, 1000, 1}, {}, true, {}}}}},
     1,
     2,
     true},
    // The class-specific endpoint descriptor comes before its endpoint, where the model does not
    // look: the alternate has no class endpoint.
    {"teufel_cinebar_one",
     false,
     false,
     {{1, kIt, {}, N}, {2, kFu, {1}, N}, {3, kOt, {2}, N}},
     {{1, kOut, 1, {{2, 2, 16, {0x03, 1, 192, 1}, {}, false, {48000, 44100, 32000, 22050, 16000, 8000}}}}},
     1,
     -1,
     false},
    // Mixer and selector units are modelled without links; feature unit 5 names the mixer unit
    // that comes after it.
    {"plantronics_headset_c024",
     false,
     false,
     {{10, kIt, {}, N},
      {11, kFu, {10}, N},
      {1, kIt, {}, N},
      {2, kFu, {1}, N},
      {8, kSelector, {}, N},
      {3, kOt, {8}, N},
      {4, kIt, {}, N},
      {5, kFu, {12}, N},
      {6, kOt, {5}, N},
      {12, kMixer, {}, N}},
     {{1, kIn, 3, {{2, 2, 16, {0x81, 5, 200, 1}, {}, true, {8000, 16000, 32000, 44100, 48000}}}},
      {2, kOut, 4, {{2, 2, 16, {0x01, 9, 192, 1}, {}, true, {8000, 16000, 24000, 32000, 44100, 48000}}}}},
     2,
     1,
     true},
};

std::string FixturePath(const std::string& name) { return std::string(R9_USB_FIXTURES_DIR) + "/" + name + ".bin"; }

void ExpectEndpoint(const USB_ENDPOINT_DESCRIPTOR* endpoint, const EndpointFact& fact)
{
    if (fact.address == 0) {
        EXPECT_EQ(endpoint, nullptr);
        return;
    }
    ASSERT_NE(endpoint, nullptr);
    EXPECT_EQ(endpoint->bEndpointAddress, fact.address);
    EXPECT_EQ(endpoint->bmAttributes, fact.attributes);
    const USHORT maxPacket = endpoint->wMaxPacketSize;  // a packed field: gtest binds references
    EXPECT_EQ(maxPacket, fact.maxPacket);
    EXPECT_EQ(endpoint->bInterval, fact.interval);
}

void ExpectEntity(const CUSBAudioModel& model, const CUSBAudioEntity* entity, const EntityFact& fact)
{
    SCOPED_TRACE(testing::Message() << "entity " << fact.id);
    EXPECT_EQ(entity->GetId(), fact.id);
    EXPECT_EQ(entity->GetSubtype(), fact.subtype);
    auto* mutableEntity = const_cast<CUSBAudioEntity*>(entity);
    switch (fact.subtype) {
    case kFu: {
        const CUSBAudioEntity* source = static_cast<const CUSBAudioFeatureUnit*>(entity)->GetSourceEntity();
        ASSERT_NE(source, nullptr);
        EXPECT_EQ(source->GetId(), fact.sources.at(0));
        break;
    }
    case kOt: {
        const CUSBAudioEntity* source = static_cast<const CUSBAudioOutputTerminal*>(entity)->GetSourceEntity();
        ASSERT_NE(source, nullptr);
        EXPECT_EQ(source->GetId(), fact.sources.at(0));
        break;
    }
    case kClockSelector:
        for (ULONG pin = 0; pin < fact.sources.size(); ++pin) {
            EXPECT_EQ(entity->GetSourceId(pin), fact.sources[pin]);
        }
        EXPECT_EQ(entity->GetSourceId(ULONG(fact.sources.size())), kNoEntity);
        break;
    default: EXPECT_EQ(entity->GetSourceId(0), kNoEntity);
    }
    if (fact.subtype == kIt || fact.subtype == kOt) {
        const CUSBAudioTerminal* terminal = CUSBAudioTerminal::FromEntity(mutableEntity);
        EXPECT_EQ(terminal->GetClockSourceId(), fact.clock);
        if (fact.clock != kNoEntity) {
            ASSERT_NE(terminal->GetClockEntity(), nullptr);
            EXPECT_EQ(terminal->GetClockEntity()->GetId(), fact.clock);
        }
    }
    EXPECT_EQ(mutableEntity->IsClockEntity(), fact.subtype == kClock || fact.subtype == kClockSelector);
    EXPECT_EQ(model.FindEntity(fact.id), entity);
}

void ExpectAlternate(const AlternateSetting& alternate, const AlternateFact& fact, bool audioClass20)
{
    EXPECT_EQ(usbaudio::GetFormatType(alternate, audioClass20), usbaudio::kFormatTypeI);
    EXPECT_EQ(usbaudio::GetChannelCount(alternate, audioClass20), fact.channels);
    EXPECT_EQ(usbaudio::GetSubslotBytes(alternate, audioClass20), fact.subslotBytes);
    EXPECT_EQ(usbaudio::GetBitResolution(alternate, audioClass20), fact.bits);
    if (audioClass20) {
        EXPECT_EQ(usbaudio::GetFormats(alternate), 1u);
    } else {
        EXPECT_EQ(usbaudio::GetFormatTag(alternate), 1u);
    }
    ExpectEndpoint(alternate.DataEndpoint, fact.data);
    ExpectEndpoint(alternate.FeedbackEndpoint, fact.feedback);
    EXPECT_EQ(alternate.ClassEndpoint != nullptr, fact.classEndpoint);
    std::vector<ULONG> rates;
    for (ULONG i = 0; i < usbaudio::GetSampleRateType(alternate); ++i) {
        rates.push_back(usbaudio::GetDiscreteSampleRate(alternate, i));
    }
    EXPECT_EQ(rates, fact.rates);
}

class FixtureModelTest : public ModelTest {};

TEST_F(FixtureModelTest, RealDevicesMatchTheirFacts)
{
    for (const FixtureFact& fact : kFixtures) {
        SCOPED_TRACE(fact.name);
        const auto file = sim::usb::ReadBinaryFile(FixturePath(fact.name));
        ASSERT_TRUE(file.has_value());
        const sim::usb::DescriptorSet set = sim::usb::DescriptorSetFromDump(*file);
        auto device = Parse(set.configuration, fact.highSpeed, set.device);
        ASSERT_EQ(device->status, STATUS_SUCCESS) << device->model.GetFailureReason();
        EXPECT_EQ(device->model.IsAudioClass20(), fact.audioClass20);
        EXPECT_EQ(device->model.GetAcInterface()->bInterfaceNumber, 0);

        const CUSBAudioEntity* entity = device->model.GetFirstEntity();
        for (const EntityFact& entityFact : fact.entities) {
            ASSERT_NE(entity, nullptr);
            ExpectEntity(device->model, entity, entityFact);
            entity = entity->GetNext();
        }
        EXPECT_EQ(entity, nullptr);

        ASSERT_EQ(device->model.GetStreamingInterfaceCount(), LONG(fact.interfaces.size()));
        const StreamingInterface* record = device->model.GetFirstStreamingInterface();
        for (const InterfaceFact& interfaceFact : fact.interfaces) {
            SCOPED_TRACE(testing::Message() << "interface " << int(interfaceFact.number));
            ASSERT_NE(record, nullptr);
            EXPECT_EQ(record->InterfaceNumber, interfaceFact.number);
            EXPECT_EQ(record->Direction, interfaceFact.direction);
            ASSERT_NE(record->Terminal, nullptr);
            EXPECT_EQ(record->Terminal->GetId(), interfaceFact.terminal);
            ASSERT_EQ(record->AlternateCount, interfaceFact.alternates.size() + 1);
            EXPECT_EQ(record->Alternates[0].Interface->bNumEndpoints, 0);
            EXPECT_EQ(record->Alternates[0].DataEndpoint, nullptr);
            for (ULONG n = 1; n < record->AlternateCount; ++n) {
                SCOPED_TRACE(testing::Message() << "alternate " << n);
                ExpectAlternate(record->Alternates[n], interfaceFact.alternates[n - 1], fact.audioClass20);
            }
            record = record->Next;
        }
        const StreamingInterface* render = device->model.GetRenderInterface();
        const StreamingInterface* capture = device->model.GetCaptureInterface();
        EXPECT_EQ(render != nullptr ? int(render->InterfaceNumber) : -1, fact.render);
        EXPECT_EQ(capture != nullptr ? int(capture->InterfaceNumber) : -1, fact.capture);
        EXPECT_EQ(device->model.IsClockShared(), fact.sharedClock);
    }
}

}  // namespace
}  // namespace audioclasstest
