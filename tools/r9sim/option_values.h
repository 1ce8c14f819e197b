// Option values the r9sim commands share, each checked the same way: a value that is not accepted
// is named in one line on stderr together with what would be.
#pragma once

#include <cstdint>
#include <string>

namespace r9sim {

// A device rate the wave filter runs at (32000 to 192000 Hz).
bool ParseRate(const char* command, const std::string& text, uint32_t& rate);
// "r9", "r9-uac1", and "none" where nothing plugged in is allowed.
bool CheckDevice(const char* command, const std::string& name, bool allowNone = false);
// A whole number within [minimum, maximum] for `option`.
bool ParseCount(const char* command, const char* option, const std::string& text, long minimum, long maximum,
                long& value);

}  // namespace r9sim
