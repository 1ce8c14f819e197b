#include "tools/r9sim/option_values.h"

#include <cstdio>
#include <cstdlib>

#include "tools/r9sim/audio_session.h"
#include "tools/r9sim/commands.h"

namespace r9sim {

bool ParseNumber(const std::string& text, long minimum, long maximum, long& value)
{
    char* end = nullptr;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || parsed < minimum || parsed > maximum) {
        return false;
    }
    value = parsed;
    return true;
}

bool ParseRate(const char* command, const std::string& text, uint32_t& rate)
{
    long value = 0;
    if (!ParseNumber(text, 1, 0x7FFFFFFF, value) || !IsWaveFilterRate(uint32_t(value))) {
        std::fprintf(stderr, "r9sim %s: --rate %s is not a rate the wave filter runs at (rates: %s)\n", command,
                     text.c_str(), WaveFilterRates().c_str());
        return false;
    }
    rate = uint32_t(value);
    return true;
}

bool CheckDevice(const char* command, const std::string& name, bool allowNone)
{
    if (name == "r9" || name == "r9-uac1" || (allowNone && name == "none")) {
        return true;
    }
    std::fprintf(stderr, "r9sim %s: --device %s is not a device r9sim has (devices: r9, r9-uac1%s)\n", command,
                 name.c_str(), allowNone ? ", none" : "");
    return false;
}

bool ParseCount(const char* command, const char* option, const std::string& text, long minimum, long maximum,
                long& value)
{
    if (!ParseNumber(text, minimum, maximum, value)) {
        std::fprintf(stderr, "r9sim %s: %s %s is not a whole number from %ld to %ld\n", command, option, text.c_str(),
                     minimum, maximum);
        return false;
    }
    return true;
}

}  // namespace r9sim
