// The diagnostic dump of a built filter: pins, nodes and connections, one trace line each.
#include "driver/trace.h"
#include "driver/usbaudio/audio_entity.h"
#include "driver/usbaudio/filter_builder.h"
#include "driver/usbaudio/ks_node_types.h"

namespace {

constexpr ULONG kNameBytes = 32;

void EntityName(const CUSBAudioEntity* entity, CHAR (&name)[kNameBytes])
{
    name[0] = '\0';
    if (entity != nullptr) {
        entity->GetName(name, kNameBytes);
    }
}

PCSTR CommunicationName(KSPIN_COMMUNICATION communication)
{
    switch (communication) {
    case KSPIN_COMMUNICATION_SINK: return "sink";
    case KSPIN_COMMUNICATION_BRIDGE: return "bridge";
    default: return "other";
    }
}

}  // namespace

void FilterBuilder::Dump() const
{
    CHAR name[kNameBytes];
    for (ULONG index = 0; index < m_Filter->PinCount; ++index) {
        const FilterPinRecord* pin = Pin(index);
        const KSPIN_DESCRIPTOR& ks = pin->Descriptor.KsPinDescriptor;
        EntityName(pin->Chain.Entity, name);
        R9_TRACE("BuildFilter: pin %lu %s, data flow %s, %s, category %s, %lu data-range entries\n",
                 static_cast<unsigned long>(index), name, ks.DataFlow == KSPIN_DATAFLOW_IN ? "in" : "out",
                 CommunicationName(ks.Communication), usbaudio::KsNodeTypeName(ks.Category),
                 static_cast<unsigned long>(ks.DataRangesCount));
    }
    for (ULONG index = 0; index < m_Filter->NodeCount; ++index) {
        const FilterNodeRecord* node = Node(index);
        EntityName(node->Chain.Entity, name);
        R9_TRACE("BuildFilter: node %lu %s %s\n", static_cast<unsigned long>(index),
                 usbaudio::KsNodeTypeName(node->Descriptor.Type), name);
    }
    for (ULONG index = 0; index < m_Filter->ConnectionCount; ++index) {
        const PCCONNECTION_DESCRIPTOR& connection = m_Filter->Connections[index];
        R9_TRACE("BuildFilter: connection node 0x%lX pin %lu -> node 0x%lX pin %lu\n",
                 static_cast<unsigned long>(connection.FromNode), static_cast<unsigned long>(connection.FromNodePin),
                 static_cast<unsigned long>(connection.ToNode), static_cast<unsigned long>(connection.ToNodePin));
    }
}
