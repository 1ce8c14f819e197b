// Reading a pin's data-range array, as CUSBAudioCL::BuildDataRanges lays it out.
#pragma once

#include "driver/usbaudio/streaming_interface.h"

namespace usbaudio {

// The position of the range after the one at `position` in a pin's data-range array: a range whose
// Flags carry KSDATARANGE_ATTRIBUTES is followed by its attribute list, which is no range.
inline ULONG NextDataRangePosition(const PKSDATARANGE* ranges, ULONG position)
{
    return position + ((ranges[position]->Flags & KSDATARANGE_ATTRIBUTES) != 0 ? 2 : 1);
}

// The audio range behind a data-range entry, or null when the entry is another kind of range.
inline const KSDATARANGE_AUDIO* AsAudioDataRange(const PKSDATARANGE range)
{
    return range->FormatSize >= sizeof(KSDATARANGE_AUDIO) ? CONTAINING_RECORD(range, KSDATARANGE_AUDIO, DataRange)
                                                           : nullptr;
}

}  // namespace usbaudio
