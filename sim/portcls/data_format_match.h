// How kernel streaming checks a data format against a pin factory's data ranges when a pin is
// created: the format must fall in one of the ranges: major format, subformat and specifier equal
// (a range may leave one open with the wildcard GUID_NULL), and for an audio range with the
// WAVEFORMATEX specifier the channels, sample size and rate within its limits.
#pragma once

#include "sim/api/kernel.h"

namespace sim::portcls {

// The wave format inside an audio data format; false when the format is too short for what it announces.
bool ReadWaveFormat(const KSDATAFORMAT& format, WAVEFORMATEXTENSIBLE& wave);

// The first of the pin's data ranges the format falls in, or null. A range flagged with attributes
// is followed by its attribute list, which is no range.
const KSDATARANGE* MatchingDataRange(const KSPIN_DESCRIPTOR& pin, const KSDATAFORMAT& format);

// The client range a format stands for: its own values as both limits, for asking the miniport
// whether it would choose it.
KSDATARANGE_AUDIO ClientRangeOf(const KSDATAFORMAT& format, const WAVEFORMATEX& wave);

}  // namespace sim::portcls
