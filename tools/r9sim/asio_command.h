// r9sim asio's two ways to stream: through the installed ASIO driver with the test ASIO host
// (tools/asiohost), or straight through the kernel driver's private interface.
#pragma once

#include "platform/user.h"
#include "tools/r9sim/plugged_device.h"

namespace r9sim {

struct AsioOptions {
    ULONG rate = 48000;
    ULONG frames = 0;
    long seconds = 10;
    bool input = true;
    bool dsd = false;
    bool oldFashioned = false;
    bool privateInterface = false;
};

// The figures the kernel driver set for the stream: the late-mixing margin and the render ring's
// fill, as read while it ran, and its request sizes.
void PrintDriverFigures(const AsioOptions& options, UsbAudioAdapter& adapter, LONG marginBytes, ULONG prefillBytes);

// Both run in the host process; 0 when every buffer switch came on time and the input came back
// continuous.
int StreamThroughAsioDriver(const AsioOptions& options, PluggedDevice& plugged);
int StreamThroughPrivateInterface(const AsioOptions& options, PluggedDevice& plugged);

}  // namespace r9sim
