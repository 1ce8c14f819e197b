// BuildFilter's pins, nodes and connections: which terminal becomes which pin, which unit which
// nodes, and where the chains splice them.
#include "tests/filter/filter_test_support.h"

#include "driver/usbaudio/audio_entity.h"
#include "driver/usbaudio/ks_node_types.h"

namespace filtertest {
namespace {

using namespace sim::usb;
using usbaudio::FilterNode;
using usbaudio::FilterPin;

constexpr ULONG kOutside = PCFILTER_NODE;
constexpr uint16_t kTerminalHeadphones = 0x0302;

NTSTATUS NTAPI ComponentIdHandler(PPCPROPERTY_REQUEST) { return STATUS_SUCCESS; }
NTSTATUS NTAPI NodePropertyHandler(PPCPROPERTY_REQUEST) { return STATUS_SUCCESS; }

std::string EntityName(const FilterChainEntry& entry)
{
    char name[32] = "";
    if (entry.Entity != nullptr) {
        entry.Entity->GetName(name, sizeof(name));
    }
    return name;
}

void ExpectProperty(const PCAUTOMATION_TABLE* table, const GUID& set, ULONG id, ULONG flags,
                    PCPFNPROPERTY_HANDLER handler)
{
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->PropertyItemSize, sizeof(PCPROPERTY_ITEM));
    ASSERT_EQ(table->PropertyCount, 1u);
    EXPECT_EQ(table->MethodCount, 0u);
    EXPECT_EQ(table->EventCount, 0u);
    const PCPROPERTY_ITEM& item = table->Properties[0];
    EXPECT_EQ(*item.Set, set);
    EXPECT_EQ(item.Id, id);
    EXPECT_EQ(item.Flags, flags);
    EXPECT_EQ(item.Handler, handler);
}

class FilterTopologyTest : public FilterTest {};

TEST_F(FilterTopologyTest, TwoChainsGivePinsNodesAndConnectionsInTheirOrder)
{
    ASSERT_NO_FATAL_FAILURE(Start(TwoChainDevice20()));
    driver_->SetFilterPropertyHandlers(ComponentIdHandler, NodePropertyHandler);
    ASSERT_EQ(driver_->BuildFilter(&filter_), STATUS_SUCCESS);

    EXPECT_EQ(filter_.PinSize, sizeof(FilterPinRecord));
    EXPECT_EQ(filter_.NodeSize, sizeof(FilterNodeRecord));
    EXPECT_EQ(filter_.CategoryCount, 0u);
    ExpectProperty(filter_.AutomationTable, KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, 0x201,
                   ComponentIdHandler);

    const struct {
        const char* terminal;
        KSPIN_DATAFLOW dataFlow;
        KSPIN_COMMUNICATION communication;
        const char* category;
        ULONG instances;
    } pins[] = {{"IT(1)", KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, "KSCATEGORY_AUDIO", 1},
                {"OT(3)", KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BRIDGE, "KSNODETYPE_SPEAKER", 0},
                {"IT(4)", KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_BRIDGE, "KSNODETYPE_LINE_CONNECTOR", 0},
                {"OT(6)", KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK, "KSCATEGORY_AUDIO", 1}};
    ASSERT_EQ(filter_.PinCount, 4u);
    for (ULONG i = 0; i < 4; ++i) {
        SCOPED_TRACE(pins[i].terminal);
        const FilterPinRecord& pin = *FilterPin(filter_, i);
        const KSPIN_DESCRIPTOR& ks = pin.Descriptor.KsPinDescriptor;
        EXPECT_EQ(EntityName(pin.Chain), pins[i].terminal);
        EXPECT_EQ(pin.Chain.Index, i);
        EXPECT_TRUE(pin.Chain.IsPin());
        EXPECT_EQ(ks.DataFlow, pins[i].dataFlow);
        EXPECT_EQ(ks.Communication, pins[i].communication);
        EXPECT_STREQ(usbaudio::KsNodeTypeName(ks.Category), pins[i].category);
        EXPECT_EQ(pin.Descriptor.MaxGlobalInstanceCount, pins[i].instances);
        EXPECT_EQ(pin.Descriptor.MaxFilterInstanceCount, pins[i].instances);
        EXPECT_EQ(pin.Descriptor.MinFilterInstanceCount, 0u);
        EXPECT_EQ(pin.Descriptor.AutomationTable, nullptr);
        ASSERT_EQ(ks.InterfacesCount, 1u);
        EXPECT_EQ(ks.Interfaces[0].Set, KSINTERFACESETID_Standard);
        EXPECT_EQ(ks.Interfaces[0].Id, ULONG(KSINTERFACE_STANDARD_STREAMING));
        EXPECT_EQ(ks.MediumsCount, 0u);
        EXPECT_EQ(ks.Name, nullptr);
    }
    // Streaming pins carry their interface's ranges, bridge pins one analog range.
    EXPECT_EQ(FilterPin(filter_, 0)->Descriptor.KsPinDescriptor.DataRanges, Render()->DataRanges);
    EXPECT_EQ(FilterPin(filter_, 0)->Descriptor.KsPinDescriptor.DataRangesCount, Render()->DataRangeCount);
    EXPECT_EQ(FilterPin(filter_, 3)->Descriptor.KsPinDescriptor.DataRanges, Capture()->DataRanges);
    const KSPIN_DESCRIPTOR& bridge = FilterPin(filter_, 1)->Descriptor.KsPinDescriptor;
    ASSERT_EQ(bridge.DataRangesCount, 1u);
    EXPECT_EQ(bridge.DataRanges[0]->FormatSize, 64u);
    EXPECT_EQ(bridge.DataRanges[0]->MajorFormat, KSDATAFORMAT_TYPE_AUDIO);
    EXPECT_EQ(bridge.DataRanges[0]->SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG);

    EXPECT_EQ(NodeTypes(filter_), (std::vector<std::string>{"KSNODETYPE_ADC", "KSNODETYPE_DAC", "KSNODETYPE_MUTE",
                                                            "KSNODETYPE_VOLUME", "KSNODETYPE_VOLUME"}));
    const char* const units[] = {"", "", "Feature(2)", "Feature(2)", "Feature(5)"};
    for (ULONG i = 0; i < filter_.NodeCount; ++i) {
        EXPECT_EQ(EntityName(FilterNode(filter_, i)->Chain), units[i]) << "node " << i;
        EXPECT_FALSE(FilterNode(filter_, i)->Chain.IsPin());
    }
    EXPECT_EQ(FilterNode(filter_, 0)->Descriptor.AutomationTable, nullptr);
    EXPECT_EQ(FilterNode(filter_, 1)->Descriptor.AutomationTable, nullptr);
    ExpectProperty(FilterNode(filter_, 2)->Descriptor.AutomationTable, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, 0x203,
                   NodePropertyHandler);
    ExpectProperty(FilterNode(filter_, 3)->Descriptor.AutomationTable, KSPROPSETID_Audio,
                   KSPROPERTY_AUDIO_VOLUMELEVEL, 0x203, NodePropertyHandler);
    ExpectProperty(FilterNode(filter_, 4)->Descriptor.AutomationTable, KSPROPSETID_Audio,
                   KSPROPERTY_AUDIO_VOLUMELEVEL, 0x203, NodePropertyHandler);

    // Capture: pin 2 -> ADC -> node 4 -> pin 3. Render: pin 0 -> node 3 -> node 2 -> DAC -> pin 1.
    EXPECT_EQ(Connections(filter_), (std::vector<Connection>{{kOutside, 2, 0, 1},
                                                             {0, 0, 4, 1},
                                                             {4, 0, kOutside, 3},
                                                             {kOutside, 0, 3, 1},
                                                             {3, 0, 2, 1},
                                                             {2, 0, 1, 1},
                                                             {1, 0, kOutside, 1}}));

    driver_->FreeFilter(&filter_);
    EXPECT_EQ(filter_.Pins, nullptr);
    EXPECT_EQ(filter_.PinCount, 0u);
    EXPECT_EQ(filter_.NodeCount, 0u);
    EXPECT_EQ(filter_.ConnectionCount, 0u);
    EXPECT_TRUE(IsListEmpty(&driver_->GetFilterTables().RenderChain));
}

// Each control group of a feature unit present on any channel gets a node; tone controls share
// one. The unit's nodes follow its source newest first; a mixer, whose sources the driver does
// not model, gets one node that stays unconnected.
TEST_F(FilterTopologyTest, FeatureUnitControlGroupsAndOtherUnits)
{
    // Read-only controls on channel 1 only: mute 0, bass 2, treble 4, graphic equaliser 5,
    // automatic gain 6, delay 7, bass boost 8, loudness 9, input gain 10, phase inverter 12.
    uint32_t controls = 0;
    for (uint32_t control : {0, 2, 4, 5, 6, 7, 8, 9, 10, 12}) {
        controls |= 1u << (2 * control);
    }
    ASSERT_NO_FATAL_FAILURE(Start(Configuration(
        {Control20({uac2::ClockSource(kClockId, 0x03, 0x07, 0, 0),
                    uac2::InputTerminal(1, kTerminalUsbStreaming, 0, kClockId, 2, 0x3, 0, 0, 0),
                    uac2::FeatureUnit(2, 1, {0, controls, 0}, 0),
                    uac2::MixerUnit(7, {2}, 2, 0x3, 0, Bytes{0x00}, 0, 0),
                    uac2::OutputTerminal(3, kTerminalHeadphones, 0, 2, kClockId, 0, 0)}),
         Streaming20(1, 1, 0x01, {{2, 4, 24}})})));
    ASSERT_EQ(driver_->BuildFilter(&filter_), STATUS_SUCCESS);

    EXPECT_EQ(NodeTypes(filter_),
              (std::vector<std::string>{"KSNODETYPE_DAC", "KSNODETYPE_MUTE", "KSNODETYPE_TONE",
                                        "KSNODETYPE_EQUALIZER", "KSNODETYPE_AGC", "KSNODETYPE_DELAY",
                                        "KSNODETYPE_LOUDNESS", "KSNODETYPE_DEV_SPECIFIC", "KSNODETYPE_DEV_SPECIFIC",
                                        "KSNODETYPE_DEV_SPECIFIC"}));
    EXPECT_EQ(EntityName(FilterNode(filter_, 9)->Chain), "Dummy(7)");
    EXPECT_EQ(FilterNode(filter_, 2)->Descriptor.AutomationTable, nullptr);
    EXPECT_STREQ(usbaudio::KsNodeTypeName(FilterPin(filter_, 1)->Descriptor.KsPinDescriptor.Category),
                 "KSNODETYPE_HEADPHONES");
    EXPECT_EQ(Connections(filter_), (std::vector<Connection>{{kOutside, 0, 8, 1},
                                                             {8, 0, 7, 1},
                                                             {7, 0, 6, 1},
                                                             {6, 0, 5, 1},
                                                             {5, 0, 4, 1},
                                                             {4, 0, 3, 1},
                                                             {3, 0, 2, 1},
                                                             {2, 0, 1, 1},
                                                             {1, 0, 0, 1},
                                                             {0, 0, kOutside, 1}}));
}

// Nodes are placed in index order, so a unit listed before the unit that feeds it finds its source
// only where that source's nodes still wait: in the group of the next node.
TEST_F(FilterTopologyTest, UnitListedBeforeItsSource)
{
    ASSERT_NO_FATAL_FAILURE(Start(Configuration(
        {Control20({uac2::ClockSource(kClockId, 0x03, 0x07, 0, 0),
                    uac2::InputTerminal(1, kTerminalUsbStreaming, 0, kClockId, 2, 0x3, 0, 0, 0),
                    uac2::FeatureUnit(2, 3, {0x0000000F, 0}, 0),
                    uac2::FeatureUnit(3, 1, {0x0000000F, 0}, 0),
                    uac2::OutputTerminal(4, kTerminalSpeaker, 0, 2, kClockId, 0, 0)}),
         Streaming20(1, 1, 0x01, {{2, 4, 24}})})));
    ASSERT_EQ(driver_->BuildFilter(&filter_), STATUS_SUCCESS);

    // DAC 0; unit 2: mute 1, volume 2; unit 3: mute 3, volume 4. Node 1 looks for unit 3 in unit
    // 2's own group and stays out; node 2 finds node 4 in the group of node 3 and waits there with
    // it; nodes 3 and 4 follow the input terminal.
    EXPECT_EQ(NodeTypes(filter_), (std::vector<std::string>{"KSNODETYPE_DAC", "KSNODETYPE_MUTE", "KSNODETYPE_VOLUME",
                                                            "KSNODETYPE_MUTE", "KSNODETYPE_VOLUME"}));
    EXPECT_EQ(Connections(filter_), (std::vector<Connection>{{kOutside, 0, 4, 1},
                                                             {4, 0, 3, 1},
                                                             {3, 0, 0, 1},
                                                             {0, 0, kOutside, 1}}));
}

// With two analog inputs the ADC follows the last one in pin order; the other input stays where
// its pin was inserted.
TEST_F(FilterTopologyTest, ConvertersJoinTheLastAnalogPin)
{
    ASSERT_NO_FATAL_FAILURE(Start(Configuration(
        {Control20({uac2::ClockSource(kClockId, 0x03, 0x07, 0, 0),
                    uac2::InputTerminal(1, kTerminalMicrophone, 0, kClockId, 1, 0x4, 0, 0, 0),
                    uac2::InputTerminal(2, kTerminalLineConnector, 0, kClockId, 2, 0x3, 0, 0, 0),
                    uac2::OutputTerminal(3, kTerminalUsbStreaming, 0, 2, kClockId, 0, 0)}),
         Streaming20(1, 3, 0x82, {{2, 4, 24}})})));
    ASSERT_EQ(driver_->BuildFilter(&filter_), STATUS_SUCCESS);

    EXPECT_EQ(NodeTypes(filter_), (std::vector<std::string>{"KSNODETYPE_ADC"}));
    // Capture chain: pin 1, ADC, pin 0, pin 2 (inputs are inserted at the head).
    EXPECT_EQ(Connections(filter_),
              (std::vector<Connection>{{kOutside, 1, 0, 1}, {0, 0, kOutside, 0}, {kOutside, 0, kOutside, 2}}));
}

TEST_F(FilterTopologyTest, DeviceWithoutTerminalsHasAnEmptyFilter)
{
    ASSERT_NO_FATAL_FAILURE(Start(Configuration({Control20({uac2::ClockSource(kClockId, 0x03, 0x07, 0, 0)})})));
    ASSERT_EQ(driver_->BuildFilter(&filter_), STATUS_SUCCESS);
    EXPECT_NE(filter_.AutomationTable, nullptr);
    EXPECT_EQ(filter_.PinCount, 0u);
    EXPECT_EQ(filter_.Pins, nullptr);
    EXPECT_EQ(filter_.NodeCount, 0u);
    EXPECT_EQ(filter_.ConnectionCount, 0u);
}

}  // namespace
}  // namespace filtertest
