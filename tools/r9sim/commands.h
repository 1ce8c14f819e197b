// The r9sim sub-commands. Each takes the arguments after its name and returns the exit code.
#pragma once

#include <string>
#include <vector>

namespace r9sim {

using Arguments = std::vector<std::string>;

// A whole decimal number within [minimum, maximum], nothing else in the text.
bool ParseNumber(const std::string& text, long minimum, long maximum, long& value);

int RunAsio(const Arguments& arguments);
int RunBoot(const Arguments& arguments);
int RunDescribe(const Arguments& arguments);
int RunDevices(const Arguments& arguments);
int RunGenerate(const Arguments& arguments);
int RunPlay(const Arguments& arguments);
int RunRecord(const Arguments& arguments);

}  // namespace r9sim
