// What the fixture rebuilds do not reach: the computed and deliberately wrong length fields, and
// the descriptors none of the real devices carries.
#include <gtest/gtest.h>

#include <stdexcept>

#include "sim/usb/descriptors/audio_descriptors.h"
#include "sim/usb/descriptors/descriptor_set.h"

namespace {

using namespace sim::usb;

TEST(ConfigurationBuilder, ComputesLengthAndInterfaceCountUnlessToldToLie)
{
    const Bytes body = Concat({Interface(0, 0, 0, 1, 1, 0), Interface(1, 0, 0, 1, 2, 0), Interface(1, 1, 1, 1, 2, 0),
                               Endpoint(0x01, 0x05, 192, 1)});
    const Bytes honest = ConfigurationBuilder(1, 0, 0x80, 50).Add(body).Build();
    ASSERT_EQ(honest.size(), 9 + body.size());
    EXPECT_EQ(honest[0], 9);
    EXPECT_EQ(honest[1], 0x02);
    EXPECT_EQ(honest[2] | honest[3] << 8, static_cast<int>(honest.size()));
    EXPECT_EQ(honest[4], 2);  // interfaces 0 and 1, alternates not counted twice

    const Bytes lying =
        ConfigurationBuilder(1, 0, 0x80, 50).Add(body).LieAboutTotalLength(400).NumInterfaces(7).Build();
    EXPECT_EQ(lying.size(), honest.size());
    EXPECT_EQ(lying[2] | lying[3] << 8, 400);
    EXPECT_EQ(lying[4], 7);

    // A zero bLength ends the count instead of looping.
    Bytes broken = body;
    PutByte(broken, 9, 0);
    EXPECT_EQ(ConfigurationBuilder(1, 0, 0x80, 50).Add(broken).Build()[4], 1);
}

TEST(AudioControlHeader, TotalLengthCoversHeaderAndEntities)
{
    const Bytes unit = uac2::ClockSource(1, 3, 7, 0, 0);
    const Bytes v2 = uac2::AudioControl(0x0200, 0x08, 0, {unit, unit});
    EXPECT_EQ(v2.size(), 9u + 2 * 8);
    EXPECT_EQ(v2[6] | v2[7] << 8, static_cast<int>(v2.size()));

    const Bytes v1 = uac1::AudioControl(0x0100, {1, 2, 3}, {uac1::SelectorUnit(5, {1}, 0)});
    EXPECT_EQ(v1[0], 8 + 3);
    EXPECT_EQ(v1[7], 3);  // bInCollection
    EXPECT_EQ(v1[5] | v1[6] << 8, static_cast<int>(v1.size()));
}

// bLength of the descriptors no fixture carries, summed from the fields of their tables
// (p input pins, n control bytes, x process-specific bytes, c logical channels).
TEST(AudioUnitDescriptors, LengthsFollowTheirTables)
{
    const Bytes threeBytes = {0, 0, 0};
    const struct {
        const char* name;
        Bytes built;
        uint8_t subtype;
        size_t length;
    } cases[] = {
        {"2.0 clock multiplier", uac2::ClockMultiplier(3, 1, 0x05, 0), kAc2ClockMultiplier, 7},
        {"2.0 clock selector p=3", uac2::ClockSelector(3, {1, 2, 4}, 0x03, 0), kAc2ClockSelector, 7 + 3},
        {"2.0 mixer p=2 n=3", uac2::MixerUnit(3, {1, 2}, 2, 0, 0, threeBytes, 0, 0), kAcMixerUnit, 13 + 2 + 3},
        {"2.0 selector p=2", uac2::SelectorUnit(3, {1, 2}, 0x03, 0), kAcSelectorUnit, 7 + 2},
        {"2.0 processing p=1 x=3", uac2::ProcessingUnit(3, 0x0001, {1}, 2, 0, 0, 0, 0, threeBytes), kAc2ProcessingUnit,
         16 + 1 + 3},
        {"2.0 extension p=2", uac2::ExtensionUnit(3, 0x1234, {1, 2}, 2, 0, 0, 0, 0), kAc2ExtensionUnit, 15 + 2},
        {"2.0 feature unit c=2", uac2::FeatureUnit(3, 1, {0xF, 0xF, 0xF}, 0), kAcFeatureUnit, 6 + 4 * 3},
        {"1.0 processing p=1 n=2 x=3", uac1::ProcessingUnit(3, 0x0002, {1}, 2, 3, 0, {0x01, 0x00}, 0, threeBytes),
         kAc1ProcessingUnit, 13 + 1 + 2 + 3},
        {"1.0 extension p=2 n=1", uac1::ExtensionUnit(3, 0x1234, {1, 2}, 2, 3, 0, {0x01}, 0), kAc1ExtensionUnit,
         13 + 2 + 1},
        {"1.0 feature unit n=2 c=4", uac1::FeatureUnit(3, 1, 2, {3, 3, 3, 3, 3}, 0), kAcFeatureUnit, 7 + 2 * 5},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(c.built.size(), c.length) << c.name;
        EXPECT_EQ(c.built[0], c.length) << c.name;
        EXPECT_EQ(c.built[1], kCsInterface) << c.name;
        EXPECT_EQ(c.built[2], c.subtype) << c.name;
    }
}

TEST(AudioStreamingDescriptors, ContinuousTypeIFormatAndWideFields)
{
    EXPECT_EQ(uac1::FormatTypeIContinuous(2, 3, 24, 44100, 96000),
              (Bytes{14, 0x24, 0x02, 0x01, 2, 3, 24, 0, 0x44, 0xAC, 0x00, 0x00, 0x77, 0x01}));
    // bmFormats and bmChannelConfig are little-endian 32-bit fields.
    EXPECT_EQ(uac2::AsGeneral(5, 0, 1, 0x80000001, 8, 0x00000603, 7),
              (Bytes{16, 0x24, 0x01, 5, 0, 1, 0x01, 0x00, 0x00, 0x80, 8, 0x03, 0x06, 0x00, 0x00, 7}));
    EXPECT_THROW(uac1::FormatTypeI(2, 2, 16, {}), std::invalid_argument);
}

TEST(StandardDescriptors, StringsAndLimits)
{
    EXPECT_EQ(LanguageIds({0x0409}), (Bytes{4, 0x03, 0x09, 0x04}));
    EXPECT_EQ(String(u"R9"), (Bytes{6, 0x03, 'R', 0, '9', 0}));
    EXPECT_EQ(AudioEndpoint(0x01, 0x05, 0x0123, 1, 0, 0x81), (Bytes{9, 0x05, 0x01, 0x05, 0x23, 0x01, 1, 0, 0x81}));
    EXPECT_NO_THROW(Raw(0x24, Bytes(253, 0)));
    EXPECT_THROW(Raw(0x24, Bytes(254, 0)), std::length_error);

    DescriptorSet set;
    set.languageIds = {0x0409, 0x0407};
    set.strings = {{3, u"x"}};
    EXPECT_EQ(set.StringDescriptor(0), (Bytes{6, 0x03, 0x09, 0x04, 0x07, 0x04}));
    EXPECT_EQ(set.StringDescriptor(3), (Bytes{4, 0x03, 'x', 0}));
    EXPECT_TRUE(set.StringDescriptor(4).empty());
}

}  // namespace
