// The signal chains of the filter: unit nodes spliced in after the entity feeding their unit, the
// ADC and DAC beside the analog pins, and the connections that follow each chain.
#include "driver/trace.h"
#include "driver/usbaudio/audio_entity.h"
#include "driver/usbaudio/filter_builder.h"

namespace {

void InsertAfter(PLIST_ENTRY position, PLIST_ENTRY entry) { InsertHeadList(position, entry); }
void InsertBefore(PLIST_ENTRY position, PLIST_ENTRY entry) { InsertTailList(position, entry); }

bool HasId(const FilterChainEntry* entry, ULONG id) { return entry->Entity != nullptr && entry->Entity->GetId() == id; }

ULONG CountPairs(const LIST_ENTRY& chain)
{
    ULONG records = 0;
    for (const LIST_ENTRY* link = chain.Flink; link != &chain; link = link->Flink) {
        ++records;
    }
    return records > 1 ? records - 1 : 0;
}

// A pin connects through the filter's outside (PCFILTER_NODE) by its pin index; a node takes its
// input on pin 1 and gives its output on pin 0.
PCCONNECTION_DESCRIPTOR* AddChainConnections(const LIST_ENTRY& chain, PCCONNECTION_DESCRIPTOR* connection)
{
    for (PLIST_ENTRY link = chain.Flink; link != &chain && link->Flink != &chain; link = link->Flink) {
        const FilterChainEntry* from = FilterChainEntry::FromLink(link);
        const FilterChainEntry* to = FilterChainEntry::FromLink(link->Flink);
        connection->FromNode = from->IsPin() ? PCFILTER_NODE : from->Index;
        connection->FromNodePin = from->IsPin() ? from->Index : 0;
        connection->ToNode = to->IsPin() ? PCFILTER_NODE : to->Index;
        connection->ToNodePin = to->IsPin() ? to->Index : 1;
        ++connection;
    }
    return connection;
}

}  // namespace

bool FilterBuilder::IsGroupHead(const LIST_ENTRY* link) const
{
    return m_Groups != nullptr && link >= m_Groups && link < m_Groups + m_GroupCount;
}

FilterChainEntry* FilterBuilder::FindInChain(PLIST_ENTRY head, ULONG id, const FilterChainEntry* placing) const
{
    for (PLIST_ENTRY link = head->Flink; link != head; link = link->Flink) {
        FilterChainEntry* entry = FilterChainEntry::FromLink(link);
        if (entry != placing && HasId(entry, id)) {
            return entry;
        }
    }
    return nullptr;
}

// Searches the group `member` waits in, as it stands, leaving out `member` itself.
FilterChainEntry* FilterBuilder::FindInGroupOf(FilterChainEntry* member, ULONG id,
                                               const FilterChainEntry* placing) const
{
    PLIST_ENTRY head = member->Link.Flink;
    for (ULONG steps = 0; !IsGroupHead(head); ++steps, head = head->Flink) {
        if (head == &member->Link || steps > m_Filter->PinCount + m_Filter->NodeCount) {
            return nullptr;
        }
    }
    for (PLIST_ENTRY link = head->Flink; link != head; link = link->Flink) {
        FilterChainEntry* entry = FilterChainEntry::FromLink(link);
        if (entry != member && entry != placing && HasId(entry, id)) {
            return entry;
        }
    }
    return nullptr;
}

// Every node of a unit looks for the same source, so a unit's nodes end up after that source in
// the reverse of the order they were made in. A source whose own nodes still wait in their group is
// looked for there, through the next node; a node whose source is found nowhere stays unconnected.
void FilterBuilder::PlaceUnitNodes()
{
    for (ULONG index = m_FirstUnitNode; index < m_Filter->NodeCount; ++index) {
        FilterChainEntry* node = &Node(index)->Chain;
        const ULONG source = node->Entity->GetSourceId(0);
        FilterChainEntry* found = FindInChain(&m_Tables.CaptureChain, source, node);
        if (found == nullptr) {
            found = FindInChain(&m_Tables.RenderChain, source, node);
        }
        if (found == nullptr && index + 1 < m_Filter->NodeCount) {
            found = FindInGroupOf(&Node(index + 1)->Chain, source, node);
        }
        if (found == nullptr) {
            R9_TRACE("BuildFilter: node %lu finds no source %lu and stays unconnected\n",
                     static_cast<unsigned long>(index), static_cast<unsigned long>(source));
            continue;
        }
        RemoveEntryList(&node->Link);
        InsertAfter(&found->Link, &node->Link);
    }
}

// The ADC follows an analog input, the DAC precedes an analog output. With several of either, the
// last one in pin order keeps the converter.
void FilterBuilder::PlaceConverterNodes()
{
    for (ULONG index = 0; index < m_Filter->PinCount; ++index) {
        FilterPinRecord* pin = Pin(index);
        if (pin->Descriptor.KsPinDescriptor.Communication != KSPIN_COMMUNICATION_BRIDGE) {
            continue;
        }
        if (pin->Descriptor.KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_IN && m_Adc != nullptr) {
            RemoveEntryList(&m_Adc->Chain.Link);
            InsertAfter(&pin->Chain.Link, &m_Adc->Chain.Link);
        } else if (pin->Descriptor.KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_OUT && m_Dac != nullptr) {
            RemoveEntryList(&m_Dac->Chain.Link);
            InsertBefore(&pin->Chain.Link, &m_Dac->Chain.Link);
        }
    }
}

NTSTATUS FilterBuilder::BuildConnections()
{
    const ULONG count = CountPairs(m_Tables.CaptureChain) + CountPairs(m_Tables.RenderChain);
    if (count == 0) {
        return STATUS_SUCCESS;
    }
    const SIZE_T bytes = SIZE_T(count) * sizeof(PCCONNECTION_DESCRIPTOR);
    auto* connections =
        static_cast<PCCONNECTION_DESCRIPTOR*>(ExAllocatePoolWithTag(m_PoolType, bytes, kDefaultPoolTag));
    if (connections == nullptr) {
        R9_TRACE("BuildFilter: no memory for %lu connections\n", static_cast<unsigned long>(count));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(connections, bytes);
    m_Filter->Connections = connections;
    m_Filter->ConnectionCount = count;
    AddChainConnections(m_Tables.RenderChain, AddChainConnections(m_Tables.CaptureChain, connections));
    return STATUS_SUCCESS;
}
