// The callbacks an ASIO driver calls carry no pointer back to the host, so a process has one
// active host at a time: it takes the callbacks from the moment it becomes active until it steps
// down, and a second host cannot become active meanwhile. The driver calls them on its own threads
// (its streaming thread, and whatever thread sends a message), never on the host's.
#pragma once

#include "asio/asio_interface.h"

namespace asiohost {

class HostCallbacks {
public:
    // bufferSwitch and bufferSwitchTimeInfo alike; `time` is null for the first.
    virtual void BufferSwitch(LONG index, const ASIOTime* time) = 0;
    virtual void SampleRateDidChange(ASIOSampleRate rate) = 0;
    virtual LONG AsioMessage(LONG selector, LONG value, void* message, double* opt) = 0;

protected:
    ~HostCallbacks() = default;
};

// Makes `target` the process's active host for its lifetime; Active() is false when another host
// was active already. The callback record it hands out lives as long as it does, which covers
// createBuffers to disposeBuffers as long as the host keeps it until then.
class ActiveHost {
public:
    explicit ActiveHost(HostCallbacks& target);
    ~ActiveHost();
    ActiveHost(const ActiveHost&) = delete;
    ActiveHost& operator=(const ActiveHost&) = delete;

    bool Active() const { return active_; }
    ASIOCallbacks* Callbacks() { return &callbacks_; }

private:
    HostCallbacks& target_;
    bool active_;
    ASIOCallbacks callbacks_;
};

}  // namespace asiohost
