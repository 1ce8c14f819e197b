// The asiohost program: lists the installed ASIO drivers, reports what one of them says about
// itself, and optionally streams through it. wmain on Windows hands it its arguments; tests and
// the simulated machine call it directly.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace asiohost {

// 0 when everything asked for worked; 1 when the driver failed (not created, init refused, a
// stream that broke or stalled); 2 for arguments it cannot take.
int RunProgram(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace asiohost
