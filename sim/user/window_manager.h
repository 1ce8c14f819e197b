// The window manager of one simulated machine: window classes per process, windows owned by the
// thread that created them, and a message queue per thread with posted messages, messages sent
// from other threads, a quit flag and timers. Internal to sim/user, except SendToAllWindows, which
// tests and tools use to deliver what the system broadcasts (power events).
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/api/kernel.h"
#include "sim/api/user.h"
#include "sim/kernel/machine.h"

namespace sim::user {

// Sends the message to every top-level window of the machine, one after the other, each on its
// owning thread (inside that thread's GetMessageW), and waits for each window procedure to
// return, as Windows sends WM_POWERBROADCAST. Returns how many windows received it. From a thread
// of the machine.
size_t SendToAllWindows(UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace sim::user
