// How long a streaming scenario runs in simulated time. The sanitizer builds divide it: they look
// for memory and thread errors, which streaming shows within its first minutes, and they run many
// times slower; the full lengths are the host build's.
#pragma once

#include <cstdint>

constexpr int64_t ScenarioNs(int64_t nanoseconds) { return nanoseconds / R9_SCENARIO_DIVISOR; }
