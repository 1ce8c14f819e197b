// The wave filter's properties as a client reaches them through PortCls: the filter's component
// identity, volume and mute on the feature-unit nodes (handled by the adapter, which talks to the
// R9's feature units), their basic support, and the adapter's jack descriptions.
#include <cstring>

#include "driver/usbaudio/filter_records.h"
#include "sim/audio_service/ks_client.h"
#include "sim/devices/r9/r9_descriptors.h"
#include "tests/adapter/adapter_bench.h"
#include "tests/wave/wave_bench.h"

namespace wavetest {
namespace {

using adaptertest::AdapterBench;
using sim::audio::KsHandle;

constexpr ULONG kGet = KSPROPERTY_TYPE_GET;
constexpr ULONG kSet = KSPROPERTY_TYPE_SET;
constexpr ULONG kBasicSupport = KSPROPERTY_TYPE_BASICSUPPORT;
constexpr LONG kOneDecibel = 65536;
constexpr LONG kSilence = LONG(0x80000000);
constexpr ULONG kChannels = 4;

struct ChannelInstance {
    LONG channel;
    ULONG reserved;
};

class WavePropertyTest : public ::testing::Test {
protected:
    WavePropertyTest()
    {
        EXPECT_EQ(bench_.Plug(), STATUS_SUCCESS);
        EXPECT_EQ(filter_.OpenFilter(bench_.Bus().Pdo(), u"wave_44100"), STATUS_SUCCESS);
    }

    ULONG Node(const GUID& type, UCHAR unitId) { return FeatureNode(bench_.Adapter(), type, unitId); }
    ULONG RenderVolume() { return Node(KSNODETYPE_VOLUME, sim::devices::r9::kRenderFeatureUnitId); }
    ULONG RenderMute() { return Node(KSNODETYPE_MUTE, sim::devices::r9::kRenderFeatureUnitId); }

    NTSTATUS Channel(ULONG node, ULONG id, ULONG verb, LONG channel, LONG& value)
    {
        ChannelInstance instance = {channel, 0};
        return filter_.NodeProperty(node, KSPROPSETID_Audio, id, verb, &instance, sizeof instance, &value,
                                    sizeof value);
    }
    int16_t DeviceVolume(uint8_t channel)
    {
        return bench_.Device().Function().Volume(sim::devices::r9::kRenderFeatureUnitId, channel);
    }
    bool DeviceMute(uint8_t channel) { return bench_.Device().Function().Mute(sim::devices::r9::kRenderFeatureUnitId, channel); }

    AdapterBench bench_;
    KsHandle filter_;
};

struct VolumeCase {
    const char* name;
    LONG requested;
    int16_t stored;  // at the device, 1/256 dB
    LONG reported;   // what GET answers afterwards
};

// The R9's volume runs from -100 dB to 0 dB in steps of 1 dB.
TEST_F(WavePropertyTest, VolumeIsRoundedToTheNearestStepAndClampedToTheRange)
{
    const VolumeCase cases[] = {
        {"on a step", -20 * kOneDecibel, -20 * 256, -20 * kOneDecibel},
        {"just above half a step", -kOneDecibel / 2 + 1, 0, 0},
        {"half a step rounds away from zero", -kOneDecibel / 2, -256, -kOneDecibel},
        {"one and a half steps", -3 * kOneDecibel / 2, -512, -2 * kOneDecibel},
        {"between steps, nearer the lower", -kOneDecibel - kOneDecibel / 4, -256, -kOneDecibel},
        {"above the range", 6 * kOneDecibel, 0, 0},
        {"below the range", -120 * kOneDecibel, -100 * 256, -100 * kOneDecibel},
        // Rounding the largest values must not wrap them round to the other end of the range.
        {"the largest value", LONG(0x7FFFFFFF), 0, 0},
        {"just above silence", LONG(0x80000001), -100 * 256, -100 * kOneDecibel},
        {"silence", kSilence, int16_t(-0x8000), kSilence},
    };
    const ULONG node = RenderVolume();
    ASSERT_NE(node, PCFILTER_NODE);
    for (const VolumeCase& c : cases) {
        SCOPED_TRACE(c.name);
        LONG value = c.requested;
        ASSERT_EQ(Channel(node, KSPROPERTY_AUDIO_VOLUMELEVEL, kSet, 1, value), STATUS_SUCCESS);
        EXPECT_EQ(DeviceVolume(2), c.stored) << "logical channel 1 is USB channel 2";
        value = 0;
        ASSERT_EQ(Channel(node, KSPROPERTY_AUDIO_VOLUMELEVEL, kGet, 1, value), STATUS_SUCCESS);
        EXPECT_EQ(value, c.reported);
    }
    EXPECT_EQ(DeviceVolume(0), 0) << "the master volume is not a logical channel";
}

struct ChannelCase {
    ULONG id;
    ULONG verb;
    LONG channel;
    NTSTATUS expected;
};

// Volume takes channels 0 to 3; mute is the unit's master control, which -1 names too.
TEST_F(WavePropertyTest, ChannelsOfVolumeAndMute)
{
    const ULONG volume = RenderVolume();
    const ULONG mute = RenderMute();
    const ChannelCase cases[] = {
        {KSPROPERTY_AUDIO_VOLUMELEVEL, kGet, -1, STATUS_INVALID_PARAMETER},
        {KSPROPERTY_AUDIO_VOLUMELEVEL, kSet, -1, STATUS_INVALID_PARAMETER},
        {KSPROPERTY_AUDIO_VOLUMELEVEL, kGet, 4, STATUS_INVALID_PARAMETER},
        {KSPROPERTY_AUDIO_VOLUMELEVEL, kGet, 3, STATUS_SUCCESS},
        {KSPROPERTY_AUDIO_MUTE, kGet, -1, STATUS_SUCCESS},
        {KSPROPERTY_AUDIO_MUTE, kSet, -1, STATUS_SUCCESS},
        {KSPROPERTY_AUDIO_MUTE, kGet, 3, STATUS_SUCCESS},
        {KSPROPERTY_AUDIO_MUTE, kGet, 4, STATUS_INVALID_PARAMETER},
        {KSPROPERTY_AUDIO_MUTE, kSet, -2, STATUS_INVALID_PARAMETER},
    };
    for (const ChannelCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.id) + " verb " + std::to_string(c.verb) + " channel " + std::to_string(c.channel));
        LONG value = 0;
        EXPECT_EQ(Channel(c.id == KSPROPERTY_AUDIO_MUTE ? mute : volume, c.id, c.verb, c.channel, value), c.expected);
    }
    LONG on = 1;
    ASSERT_EQ(Channel(mute, KSPROPERTY_AUDIO_MUTE, kSet, 2, on), STATUS_SUCCESS);
    EXPECT_TRUE(DeviceMute(0));
    EXPECT_FALSE(DeviceMute(3));
    LONG value = 0;
    ASSERT_EQ(Channel(mute, KSPROPERTY_AUDIO_MUTE, kGet, -1, value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1);
}

struct BasicSupportCase {
    const char* name;
    ULONG length;
    NTSTATUS expected;
    ULONG returned;
};

// Basic support shortens to what the buffer holds: the access flags, the description alone, or
// the description with one stepped range per channel.
TEST_F(WavePropertyTest, BasicSupportRepliesOfFourFortyAndFullSize)
{
    const ULONG full = sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER) +
                       kChannels * sizeof(KSPROPERTY_STEPPING_LONG);
    ASSERT_EQ(full, 120u);
    const BasicSupportCase cases[] = {{"3 bytes", 3, STATUS_BUFFER_TOO_SMALL, 0},
                                      {"4 bytes", 4, STATUS_SUCCESS, 4},
                                      {"39 bytes", 39, STATUS_SUCCESS, 4},
                                      {"40 bytes", 40, STATUS_SUCCESS, 40},
                                      {"one byte short", full - 1, STATUS_SUCCESS, 40},
                                      {"full size", full, STATUS_SUCCESS, full}};
    for (ULONG id : {ULONG(KSPROPERTY_AUDIO_VOLUMELEVEL), ULONG(KSPROPERTY_AUDIO_MUTE)}) {
        const ULONG node = id == KSPROPERTY_AUDIO_MUTE ? RenderMute() : RenderVolume();
        for (const BasicSupportCase& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (id == KSPROPERTY_AUDIO_MUTE ? ", mute" : ", volume"));
            std::vector<UCHAR> reply(c.length, 0xCD);
            ULONG returned = 0;
            EXPECT_EQ(filter_.NodeProperty(node, KSPROPSETID_Audio, id, kBasicSupport, nullptr, 0, reply.data(),
                                           c.length, &returned),
                      c.expected);
            EXPECT_EQ(returned, c.returned);
            if (c.returned >= 4) {
                ULONG access;
                std::memcpy(&access, reply.data(), sizeof access);
                EXPECT_EQ(access, kGet | kSet | kBasicSupport);
            }
            if (c.returned >= sizeof(KSPROPERTY_DESCRIPTION)) {
                KSPROPERTY_DESCRIPTION description;
                std::memcpy(&description, reply.data(), sizeof description);
                EXPECT_EQ(description.DescriptionSize, full);
                EXPECT_EQ(description.MembersListCount, 1u);
                EXPECT_TRUE(IsEqualGUID(description.PropTypeSet.Set, KSPROPTYPESETID_General));
                EXPECT_EQ(description.PropTypeSet.Id, id == KSPROPERTY_AUDIO_MUTE ? 11u : 3u);
            }
            if (c.returned == full) {
                KSPROPERTY_MEMBERSHEADER header;
                std::memcpy(&header, reply.data() + 40, sizeof header);
                EXPECT_EQ(header.MembersFlags, ULONG(KSPROPERTY_MEMBER_STEPPEDRANGES));
                EXPECT_EQ(header.MembersSize, 16u);
                EXPECT_EQ(header.MembersCount, kChannels);
                EXPECT_EQ(header.Flags, ULONG(KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL));
                KSPROPERTY_STEPPING_LONG last;
                std::memcpy(&last, reply.data() + full - sizeof last, sizeof last);
                if (id == KSPROPERTY_AUDIO_VOLUMELEVEL) {
                    EXPECT_EQ(last.SteppingDelta, ULONG(kOneDecibel));
                    EXPECT_EQ(last.Bounds.SignedMinimum, -100 * kOneDecibel);
                    EXPECT_EQ(last.Bounds.SignedMaximum, 0);
                } else {
                    EXPECT_EQ(last.SteppingDelta, 1u);
                    EXPECT_EQ(last.Bounds.SignedMaximum, 1);
                }
            }
        }
    }
}

struct ComponentCase {
    const char* name;
    ULONG verb;
    ULONG length;
    NTSTATUS expected;
    ULONG returned;
};

TEST_F(WavePropertyTest, ComponentIdentityNeedsExactly72Bytes)
{
    const ComponentCase cases[] = {{"size query", kGet, 0, STATUS_BUFFER_OVERFLOW, 72},
                                   {"71 bytes", kGet, 71, STATUS_BUFFER_TOO_SMALL, 0},
                                   {"73 bytes", kGet, 73, STATUS_UNSUCCESSFUL, 0},
                                   {"72 bytes", kGet, 72, STATUS_SUCCESS, 72},
                                   {"basic support into 4", kBasicSupport, 4, STATUS_SUCCESS, 4},
                                   {"basic support into 40", kBasicSupport, 40, STATUS_SUCCESS, 40},
                                   {"set is not offered", kSet, 72, STATUS_INVALID_DEVICE_REQUEST, 0}};
    for (const ComponentCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<UCHAR> reply(c.length);
        ULONG returned = 0;
        EXPECT_EQ(filter_.Property(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, c.verb, nullptr, 0,
                                   reply.data(), c.length, &returned),
                  c.expected);
        EXPECT_EQ(returned, c.returned);
        if (c.verb == kGet && c.expected == STATUS_SUCCESS) {
            KSCOMPONENTID identity;
            std::memcpy(&identity, reply.data(), sizeof identity);
            EXPECT_EQ(identity.Manufacturer.Data1, 0xD5A47FA8u);
            EXPECT_EQ(identity.Product.Data1, 0xEF06D8FDu);
            EXPECT_EQ(identity.Component.Data1, 0u);
            EXPECT_EQ(identity.Name.Data1, 0xD368ADD0u);
            EXPECT_EQ(identity.Version, 1u);
            EXPECT_EQ(identity.Revision, 0u);
        }
        if (c.verb == kBasicSupport && c.returned == 40) {
            KSPROPERTY_DESCRIPTION description;
            std::memcpy(&description, reply.data(), sizeof description);
            EXPECT_EQ(description.AccessFlags, kGet | kBasicSupport);
            EXPECT_EQ(description.MembersListCount, 0u);
        }
    }
}

// Requests PortCls would never route to the adapter: a node without a feature unit, no node, a
// node beyond the filter.
TEST_F(WavePropertyTest, NodesWithoutAFeatureUnitAreRefusedByTheAdapter)
{
    const PCPROPERTY_ITEM volume = {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, kGet | kSet | kBasicSupport,
                                    nullptr};
    struct NodeCase {
        ULONG node;
        ULONG verb;
        NTSTATUS expected;
    };
    const NodeCase cases[] = {{PCFILTER_NODE, kGet, STATUS_UNSUCCESSFUL},
                              {0, kGet, STATUS_INVALID_PARAMETER},
                              {0, kBasicSupport, STATUS_UNSUCCESSFUL},
                              {99, kSet, STATUS_INVALID_PARAMETER},
                              {99, kBasicSupport, STATUS_UNSUCCESSFUL}};
    const PCFILTER_DESCRIPTOR& filter = *bench_.Adapter().GetFilterDescriptor();
    ASSERT_TRUE(IsEqualGUID(*usbaudio::FilterNode(filter, 0)->Descriptor.Type, KSNODETYPE_ADC)) << "node 0 is the ADC";
    for (const NodeCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.node) + " verb " + std::to_string(c.verb));
        LONG channel = 0;
        LONG value = 0;
        PCPROPERTY_REQUEST request = {};
        request.Node = c.node;
        request.PropertyItem = &volume;
        request.Verb = c.verb;
        request.InstanceSize = sizeof channel;
        request.Instance = &channel;
        request.ValueSize = sizeof value;
        request.Value = &value;
        EXPECT_EQ(bench_.Adapter().HandleNodeProperty(&request), c.expected);
    }
}

// The jack descriptions of the bridge pins: the R9's line connectors say nothing about what is
// plugged in, so they read as connected and without presence detection.
TEST_F(WavePropertyTest, JackDescriptionsOfBridgePins)
{
    const PCFILTER_DESCRIPTOR& filter = *bench_.Adapter().GetFilterDescriptor();
    ULONG bridge = filter.PinCount;
    ULONG streaming = filter.PinCount;
    for (ULONG pin = 0; pin < filter.PinCount; ++pin) {
        const KSPIN_COMMUNICATION communication = usbaudio::FilterPin(filter, pin)->Descriptor.KsPinDescriptor.Communication;
        (communication == KSPIN_COMMUNICATION_BRIDGE ? bridge : streaming) = pin;
    }
    ASSERT_LT(bridge, filter.PinCount);
    ASSERT_LT(streaming, filter.PinCount);
    struct JackCase {
        const char* name;
        ULONG id;
        ULONG pin;
        ULONG instanceSize;
        ULONG length;
        NTSTATUS expected;
        ULONG returned;
    };
    const JackCase cases[] = {
        {"description", KSPROPERTY_JACK_DESCRIPTION, bridge, 4, 36, STATUS_SUCCESS, 36},
        {"description 2", KSPROPERTY_JACK_DESCRIPTION2, bridge, 4, 16, STATUS_SUCCESS, 16},
        {"streaming pin", KSPROPERTY_JACK_DESCRIPTION, streaming, 4, 36, STATUS_SUCCESS, 0},
        {"size query", KSPROPERTY_JACK_DESCRIPTION, bridge, 4, 0, STATUS_BUFFER_OVERFLOW, 36},
        {"pin beyond the filter", KSPROPERTY_JACK_DESCRIPTION, filter.PinCount, 4, 36, STATUS_INVALID_DEVICE_REQUEST, 36},
        {"short instance", KSPROPERTY_JACK_DESCRIPTION, bridge, 2, 36, STATUS_INVALID_DEVICE_REQUEST, 36},
        {"sink information", KSPROPERTY_JACK_SINK_INFO, bridge, 4, 36, STATUS_INVALID_DEVICE_REQUEST, 36},
    };
    for (const JackCase& c : cases) {
        SCOPED_TRACE(c.name);
        const PCPROPERTY_ITEM item = {&KSPROPSETID_Jack, c.id, kGet | kBasicSupport, nullptr};
        ULONG pin = c.pin;
        UCHAR value[36] = {};
        PCPROPERTY_REQUEST request = {};
        request.Node = PCFILTER_NODE;
        request.PropertyItem = &item;
        request.Verb = kGet;
        request.InstanceSize = c.instanceSize;
        request.Instance = &pin;
        request.ValueSize = c.length;
        request.Value = c.length == 0 ? nullptr : value;
        EXPECT_EQ(bench_.Adapter().HandleJackProperty(&request), c.expected);
        EXPECT_EQ(request.ValueSize, c.returned);
        if (c.id == KSPROPERTY_JACK_DESCRIPTION && c.expected == STATUS_SUCCESS && c.returned == 36) {
            KSMULTIPLE_ITEM header;
            KSJACK_DESCRIPTION jack;
            std::memcpy(&header, value, sizeof header);
            std::memcpy(&jack, value + sizeof header, sizeof jack);
            EXPECT_EQ(header.Size, 36u);
            EXPECT_EQ(header.Count, 1u);
            EXPECT_EQ(jack.ChannelMapping, 3u);
            EXPECT_EQ(ULONG(jack.GeoLocation), 2u);
            EXPECT_EQ(jack.IsConnected, 1);
        }
        if (c.id == KSPROPERTY_JACK_DESCRIPTION2 && c.expected == STATUS_SUCCESS && c.returned == 16) {
            KSJACK_DESCRIPTION2 jack;
            std::memcpy(&jack, value + sizeof(KSMULTIPLE_ITEM), sizeof jack);
            EXPECT_EQ(jack.JackCapabilities, 0u);
            EXPECT_EQ(jack.DeviceStateInfo, 0u);
        }
    }
}

}  // namespace
}  // namespace wavetest
