// The filter description of the audio stack: CUSBAudioCL's BuildFilter and FreeFilter, and the pin
// and node tables derived from the entity graph.
#include "driver/usbaudio/filter_builder.h"

#include "driver/trace.h"
#include "driver/usbaudio/feature_unit.h"
#include "driver/usbaudio/ks_node_types.h"
#include "driver/usbaudio/usb_audio_cl.h"

using namespace usbaudio;

namespace {

enum class NodeAutomation { None, Mute, Volume };

// A feature unit gets one node per group of controls present on any channel, in this order.
struct FeatureNodeGroup {
    ULONG Controls;  // bit n = control index n
    const GUID* Type;
    NodeAutomation Automation;
};

const FeatureNodeGroup kFeatureNodeGroups[] = {
    {1u << 0, &KSNODETYPE_MUTE, NodeAutomation::Mute},
    {1u << 1, &KSNODETYPE_VOLUME, NodeAutomation::Volume},
    {1u << 2 | 1u << 3 | 1u << 4 | 1u << 8, &KSNODETYPE_TONE, NodeAutomation::None},  // bass, mid, treble, boost
    {1u << 5, &KSNODETYPE_EQUALIZER, NodeAutomation::None},
    {1u << 6, &KSNODETYPE_AGC, NodeAutomation::None},
    {1u << 7, &KSNODETYPE_DELAY, NodeAutomation::None},
    {1u << 9, &KSNODETYPE_LOUDNESS, NodeAutomation::None},
    {1u << 10, &KSNODETYPE_DEV_SPECIFIC, NodeAutomation::None},
    {1u << 11, &KSNODETYPE_DEV_SPECIFIC, NodeAutomation::None},
    {1u << 12, &KSNODETYPE_DEV_SPECIFIC, NodeAutomation::None},
    {1u << 13, &KSNODETYPE_DEV_SPECIFIC, NodeAutomation::None},
    {1u << 14, &KSNODETYPE_DEV_SPECIFIC, NodeAutomation::None},
};

bool IsGroupPresent(const CUSBAudioFeatureUnit& unit, const FeatureNodeGroup& group)
{
    for (ULONG control = 0; control < 32; ++control) {
        if ((group.Controls >> control & 1) != 0 && unit.HasFeatureControlOnAnyChannel(control)) {
            return true;
        }
    }
    return false;
}

CUSBAudioFeatureUnit* AsFeatureUnit(CUSBAudioEntity* entity)
{
    return entity->GetSubtype() == kAcFeatureUnit ? static_cast<CUSBAudioFeatureUnit*>(entity) : nullptr;
}

bool IsChainEmpty(const LIST_ENTRY& chain) { return chain.Flink == &chain; }

void FreeTable(const void* table)
{
    if (table != nullptr) {
        ExFreePoolWithTag(const_cast<void*>(table), kDefaultPoolTag);
    }
}

}  // namespace

NTSTATUS FilterBuilder::Build()
{
    NTSTATUS status = BuildPins();
    if (!NT_SUCCESS(status) || m_Filter->PinCount == 0) {
        return status;
    }
    status = BuildNodes();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PlaceUnitNodes();
    PlaceConverterNodes();
    status = BuildConnections();
    if (NT_SUCCESS(status)) {
        Dump();
    }
    return status;
}

NTSTATUS FilterBuilder::BuildPins()
{
    const ULONG count = m_Model.CountEntities(IsTerminalEntity);
    if (count == 0) {
        R9_TRACE("BuildFilter: the device has no terminals, so the filter has no pins\n");
        return STATUS_SUCCESS;
    }
    const SIZE_T bytes = SIZE_T(count) * sizeof(FilterPinRecord);
    auto* pins = static_cast<FilterPinRecord*>(ExAllocatePoolWithTag(m_PoolType, bytes, kDefaultPoolTag));
    if (pins == nullptr) {
        R9_TRACE("BuildFilter: no memory for %lu pins\n", static_cast<unsigned long>(count));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pins, bytes);
    m_Filter->Pins = &pins->Descriptor;
    m_Filter->PinCount = count;

    const StreamingInterface* render = m_Model.GetRenderInterface();
    const StreamingInterface* capture = m_Model.GetCaptureInterface();
    ULONG index = 0;
    for (CUSBAudioEntity* entity = m_Model.GetFirstEntity(); entity != nullptr; entity = entity->GetNext()) {
        if (!IsTerminalEntity(entity)) {
            continue;
        }
        FilterPinRecord& pin = pins[index];
        KSPIN_DESCRIPTOR& ks = pin.Descriptor.KsPinDescriptor;
        pin.Chain.Entity = entity;
        pin.Chain.Index = index++;
        pin.Chain.Marker = kPinMarker;
        ks.InterfacesCount = 1;
        ks.Interfaces = m_Tables.PinInterfaces;
        const bool input = entity->IsInputTerminal();
        ks.DataFlow = input ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
        const USHORT type = entity->GetTerminalType();
        if (type == kUsbStreamingTerminal) {
            // Where the audio stack streams: data flowing in is played, data flowing out captured.
            const StreamingInterface* record = input ? render : capture;
            pin.Descriptor.MaxGlobalInstanceCount = 1;
            pin.Descriptor.MaxFilterInstanceCount = 1;
            ks.Communication = KSPIN_COMMUNICATION_SINK;
            ks.Category = &KSCATEGORY_AUDIO;
            if (record != nullptr) {
                ks.DataRangesCount = record->DataRangeCount;
                ks.DataRanges = record->DataRanges;
            }
            if (input) {
                InsertHeadList(&m_Tables.RenderChain, &pin.Chain.Link);
            } else {
                InsertTailList(&m_Tables.CaptureChain, &pin.Chain.Link);
            }
        } else {
            // A jack, speaker or microphone: the analog end of a chain, never instantiated.
            ks.Communication = KSPIN_COMMUNICATION_BRIDGE;
            ks.Category = TerminalTypeCategory(type);
            ks.DataRangesCount = 1;
            ks.DataRanges = m_Tables.AnalogRanges;
            if (input) {
                InsertHeadList(&m_Tables.CaptureChain, &pin.Chain.Link);
            } else {
                InsertTailList(&m_Tables.RenderChain, &pin.Chain.Link);
            }
        }
    }
    return STATUS_SUCCESS;
}

ULONG FilterBuilder::CountNodes() const
{
    ULONG count = (IsChainEmpty(m_Tables.CaptureChain) ? 0 : 1) + (IsChainEmpty(m_Tables.RenderChain) ? 0 : 1);
    for (CUSBAudioEntity* entity = m_Model.GetFirstEntity(); entity != nullptr; entity = entity->GetNext()) {
        if (!IsUnitEntity(entity)) {
            continue;
        }
        const CUSBAudioFeatureUnit* unit = AsFeatureUnit(entity);
        if (unit == nullptr) {
            ++count;
            continue;
        }
        for (const FeatureNodeGroup& group : kFeatureNodeGroups) {
            count += IsGroupPresent(*unit, group) ? 1 : 0;
        }
    }
    return count;
}

NTSTATUS FilterBuilder::BuildNodes()
{
    const ULONG count = CountNodes();
    if (count == 0) {
        return STATUS_SUCCESS;
    }
    m_GroupCount = m_Model.CountEntities(IsUnitEntity);
    const SIZE_T bytes = SIZE_T(count) * sizeof(FilterNodeRecord) + SIZE_T(m_GroupCount) * sizeof(LIST_ENTRY);
    auto* nodes = static_cast<FilterNodeRecord*>(ExAllocatePoolWithTag(m_PoolType, bytes, kDefaultPoolTag));
    if (nodes == nullptr) {
        R9_TRACE("BuildFilter: no memory for %lu nodes\n", static_cast<unsigned long>(count));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(nodes, bytes);
    m_Filter->Nodes = &nodes->Descriptor;
    m_Filter->NodeCount = count;
    m_Groups = reinterpret_cast<PLIST_ENTRY>(nodes + count);

    if (!IsChainEmpty(m_Tables.CaptureChain)) {
        m_Adc = AddNode(&KSNODETYPE_ADC, nullptr, nullptr, nullptr);
    }
    if (!IsChainEmpty(m_Tables.RenderChain)) {
        m_Dac = AddNode(&KSNODETYPE_DAC, nullptr, nullptr, nullptr);
    }
    m_FirstUnitNode = m_NodesAdded;
    ULONG group = 0;
    for (CUSBAudioEntity* entity = m_Model.GetFirstEntity(); entity != nullptr; entity = entity->GetNext()) {
        if (!IsUnitEntity(entity)) {
            continue;
        }
        PLIST_ENTRY head = &m_Groups[group++];
        InitializeListHead(head);
        CUSBAudioFeatureUnit* unit = AsFeatureUnit(entity);
        if (unit != nullptr) {
            AddFeatureUnitNodes(unit, head);
        } else {
            AddNode(&KSNODETYPE_DEV_SPECIFIC, nullptr, entity, head);
        }
    }
    return STATUS_SUCCESS;
}

void FilterBuilder::AddFeatureUnitNodes(CUSBAudioFeatureUnit* unit, PLIST_ENTRY group)
{
    for (const FeatureNodeGroup& controls : kFeatureNodeGroups) {
        if (!IsGroupPresent(*unit, controls)) {
            continue;
        }
        const PCAUTOMATION_TABLE* automation = nullptr;
        if (controls.Automation == NodeAutomation::Mute) {
            automation = &m_Tables.MuteAutomation;
        } else if (controls.Automation == NodeAutomation::Volume) {
            automation = &m_Tables.VolumeAutomation;
        }
        AddNode(controls.Type, automation, unit, group);
    }
}

// A node without a group (ADC, DAC) starts as a chain of its own.
FilterNodeRecord* FilterBuilder::AddNode(const GUID* type, const PCAUTOMATION_TABLE* automation, CUSBAudioEntity* unit,
                                         PLIST_ENTRY group)
{
    FilterNodeRecord* node = Node(m_NodesAdded);
    node->Descriptor.Type = type;
    node->Descriptor.AutomationTable = automation;
    node->Chain.Entity = unit;
    node->Chain.Index = m_NodesAdded++;
    node->Chain.Marker = kNodeMarker;
    if (group != nullptr) {
        InsertHeadList(group, &node->Chain.Link);
    } else {
        InitializeListHead(&node->Chain.Link);
    }
    return node;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioCL::BuildFilter(PCFILTER_DESCRIPTOR* filter)
{
    PAGED_CODE();
    if (filter == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(filter, sizeof(*filter));
    m_FilterTables.ResetChains();

    // A failed pin is left without ranges and the rest is still built, so that the dump shows the
    // whole filter; the failure is returned at the end.
    NTSTATUS status = STATUS_SUCCESS;
    const ULONG directions[] = {kDirectionOut, kDirectionIn};
    for (ULONG direction : directions) {
        StreamingInterface* record = GetStreamingInterface(direction);
        const NTSTATUS rangeStatus = record != nullptr ? BuildDataRanges(record) : STATUS_SUCCESS;
        if (!NT_SUCCESS(rangeStatus)) {
            status = rangeStatus;
        }
    }

    filter->AutomationTable = &m_FilterTables.FilterAutomation;
    filter->PinSize = sizeof(FilterPinRecord);
    filter->NodeSize = sizeof(FilterNodeRecord);
    FilterBuilder builder(m_Model, m_FilterTables, GetPoolType(), filter);
    const NTSTATUS built = builder.Build();
    if (!NT_SUCCESS(built)) {
        status = built;
    }
    if (!NT_SUCCESS(status)) {
        R9_TRACE("BuildFilter failed 0x%08X\n", unsigned(status));
        FreeFilter(filter);
    }
    return status;
}

// IRQL: PASSIVE_LEVEL.
void CUSBAudioCL::FreeFilter(PCFILTER_DESCRIPTOR* filter)
{
    PAGED_CODE();
    if (filter == nullptr) {
        return;
    }
    FreeTable(filter->Pins);
    FreeTable(filter->Nodes);
    FreeTable(filter->Connections);
    filter->Pins = nullptr;
    filter->PinCount = 0;
    filter->Nodes = nullptr;
    filter->NodeCount = 0;
    filter->Connections = nullptr;
    filter->ConnectionCount = 0;
    m_FilterTables.ResetChains();
}

void CUSBAudioCL::SetFilterPropertyHandlers(PCPFNPROPERTY_HANDLER componentId, PCPFNPROPERTY_HANDLER nodeProperty)
{
    m_FilterTables.SetPropertyHandlers(componentId, nodeProperty);
}
