#include "tools/asiohost/host_callbacks.h"

#include <atomic>

namespace asiohost {

namespace {

// Set and cleared only by ActiveHost, read by every callback. A callback that finds no host (a
// driver calling after disposeBuffers) does nothing and answers 0, as "not supported".
ProcessLocal<std::atomic<HostCallbacks*>> g_ActiveHost;

HostCallbacks* Current() { return g_ActiveHost.Get().load(); }

void OnBufferSwitch(LONG index, ASIOBool)
{
    if (HostCallbacks* host = Current()) {
        host->BufferSwitch(index, nullptr);
    }
}

void OnSampleRateDidChange(ASIOSampleRate rate)
{
    if (HostCallbacks* host = Current()) {
        host->SampleRateDidChange(rate);
    }
}

LONG OnAsioMessage(LONG selector, LONG value, void* message, double* opt)
{
    HostCallbacks* host = Current();
    return host != nullptr ? host->AsioMessage(selector, value, message, opt) : 0;
}

ASIOTime* OnBufferSwitchTimeInfo(ASIOTime* time, LONG index, ASIOBool)
{
    if (HostCallbacks* host = Current()) {
        host->BufferSwitch(index, time);
    }
    return time;
}

}  // namespace

ActiveHost::ActiveHost(HostCallbacks& target) : target_(target)
{
    HostCallbacks* none = nullptr;
    active_ = g_ActiveHost.Get().compare_exchange_strong(none, &target_);
    callbacks_.bufferSwitch = &OnBufferSwitch;
    callbacks_.sampleRateDidChange = &OnSampleRateDidChange;
    callbacks_.asioMessage = &OnAsioMessage;
    callbacks_.bufferSwitchTimeInfo = &OnBufferSwitchTimeInfo;
}

ActiveHost::~ActiveHost()
{
    if (active_) {
        g_ActiveHost.Get().store(nullptr);
    }
}

}  // namespace asiohost
