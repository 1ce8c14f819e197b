// A stream's outcome as lines of text: switches, resets, the input's continuity, and the round
// trip measured from the signal beside what getLatencies claims.
#pragma once

#include <ostream>

#include "tools/asiohost/host_session.h"

namespace asiohost {

void PrintStreamReport(const StreamReport& report, std::ostream& out);

}  // namespace asiohost
