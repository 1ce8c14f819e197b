// The steps of CUSBAudioCL::BuildFilter after the data ranges: pins from terminals, nodes from units
// and the two converters, the signal chains they are spliced into, the connections read off those
// chains, and the diagnostic dump. Each step fills the filter descriptor as it goes, so that
// CUSBAudioCL::FreeFilter can undo a build that stopped half way.
#pragma once

#include "driver/usbaudio/filter_records.h"
#include "driver/usbaudio/filter_tables.h"
#include "driver/usbaudio/usb_audio_model.h"

class CUSBAudioFeatureUnit;

class FilterBuilder {
public:
    FilterBuilder(const CUSBAudioModel& model, UsbAudioFilterTables& tables, POOL_TYPE poolType,
                  PCFILTER_DESCRIPTOR* filter)
        : m_Model(model), m_Tables(tables), m_PoolType(poolType), m_Filter(filter)
    {
    }
    FilterBuilder(const FilterBuilder&) = delete;
    FilterBuilder& operator=(const FilterBuilder&) = delete;

    // IRQL: PASSIVE_LEVEL. Pins, nodes, chains, connections and the dump; STATUS_INSUFFICIENT_RESOURCES
    // when a table cannot be allocated.
    NTSTATUS Build();

private:
    NTSTATUS BuildPins();
    NTSTATUS BuildNodes();
    ULONG CountNodes() const;
    FilterNodeRecord* AddNode(const GUID* type, const PCAUTOMATION_TABLE* automation, CUSBAudioEntity* unit,
                              PLIST_ENTRY group);
    void AddFeatureUnitNodes(CUSBAudioFeatureUnit* unit, PLIST_ENTRY group);

    // filter_chains.cpp
    void PlaceUnitNodes();
    void PlaceConverterNodes();
    NTSTATUS BuildConnections();
    FilterChainEntry* FindInChain(PLIST_ENTRY head, ULONG id, const FilterChainEntry* placing) const;
    FilterChainEntry* FindInGroupOf(FilterChainEntry* member, ULONG id, const FilterChainEntry* placing) const;
    bool IsGroupHead(const LIST_ENTRY* link) const;

    // filter_dump.cpp
    void Dump() const;

    FilterPinRecord* Pin(ULONG index) const { return usbaudio::FilterPin(*m_Filter, index); }
    FilterNodeRecord* Node(ULONG index) const { return usbaudio::FilterNode(*m_Filter, index); }

    const CUSBAudioModel& m_Model;
    UsbAudioFilterTables& m_Tables;
    POOL_TYPE m_PoolType;
    PCFILTER_DESCRIPTOR* m_Filter;
    // Each unit's nodes wait in a group of their own, newest first, until they are spliced into a
    // chain; the group heads follow the node records in the node table's block.
    PLIST_ENTRY m_Groups = nullptr;
    ULONG m_GroupCount = 0;
    FilterNodeRecord* m_Adc = nullptr;
    FilterNodeRecord* m_Dac = nullptr;
    ULONG m_NodesAdded = 0;
    ULONG m_FirstUnitNode = 0;
};
