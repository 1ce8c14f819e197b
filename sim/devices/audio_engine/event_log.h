// A count of something the device noticed, and when it happened first and last.
#pragma once

#include <cstdint>

namespace sim::devices::audio {

struct EventLog {
    uint64_t count = 0;
    int64_t firstNs = -1;  // machine time, ns; -1 before the first
    int64_t lastNs = -1;

    void Note(int64_t tNs)
    {
        if (count++ == 0) {
            firstNs = tNs;
        }
        lastNs = tNs;
    }
};

}  // namespace sim::devices::audio
