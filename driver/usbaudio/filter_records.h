// The entries of the filter's pin and node tables. PortCls reads only the descriptor at the start of
// each entry (the filter's PinSize and NodeSize step over the rest); the driver fields after it tie
// the entry to its entity and to the signal chain it sits in, which the adapter walks later to learn
// a pin's direction and the feature unit behind a node.
#pragma once

#include "platform/kernel.h"

class CUSBAudioEntity;

namespace usbaudio {

constexpr UCHAR kPinMarker = 1;
constexpr UCHAR kNodeMarker = 0;

}  // namespace usbaudio

// The driver fields of a pin or node entry, the same in both so that a chain holding both kinds can
// be walked through its links alone.
struct FilterChainEntry {
    CUSBAudioEntity* Entity;  // the terminal of a pin, the unit of a node; none for ADC and DAC
    ULONG Index;              // pin or node index
    UCHAR Marker;             // usbaudio::kPinMarker or kNodeMarker
    LIST_ENTRY Link;          // place in the capture or render chain

    bool IsPin() const { return Marker == usbaudio::kPinMarker; }
    static FilterChainEntry* FromLink(PLIST_ENTRY link) { return CONTAINING_RECORD(link, FilterChainEntry, Link); }
};

struct FilterPinRecord {
    PCPIN_DESCRIPTOR Descriptor;
    FilterChainEntry Chain;
};

struct FilterNodeRecord {
    PCNODE_DESCRIPTOR Descriptor;
    FilterChainEntry Chain;
};

namespace usbaudio {

// Entry `index` of a filter CUSBAudioCL::BuildFilter built; null beyond the table.
inline FilterPinRecord* FilterPin(const PCFILTER_DESCRIPTOR& filter, ULONG index)
{
    return index < filter.PinCount ? const_cast<FilterPinRecord*>(
                                         reinterpret_cast<const FilterPinRecord*>(filter.Pins) + index)
                                   : nullptr;
}

inline FilterNodeRecord* FilterNode(const PCFILTER_DESCRIPTOR& filter, ULONG index)
{
    return index < filter.NodeCount ? const_cast<FilterNodeRecord*>(
                                          reinterpret_cast<const FilterNodeRecord*>(filter.Nodes) + index)
                                    : nullptr;
}

}  // namespace usbaudio
