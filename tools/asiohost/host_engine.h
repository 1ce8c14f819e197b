// What the host does when the driver calls it: on every buffer switch it writes the frame-counter
// signal into each created output half and checks each created input half for it (input n hearing
// output n), and it answers asioMessage as a host of the current ASIO version does. It never acts
// on a request inside a callback: a reset request only raises a flag and wakes the host's own
// thread, which tears the driver down and builds it again (HostSession).
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "tools/asiohost/frame_counter_signal.h"
#include "tools/asiohost/host_callbacks.h"

namespace asiohost {

class HostEngine : public HostCallbacks {
public:
    HostEngine();
    virtual ~HostEngine();
    HostEngine(const HostEngine&) = delete;
    HostEngine& operator=(const HostEngine&) = delete;

    // False when another host of this process holds the callbacks.
    bool Active() const { return active_.Active(); }
    ASIOCallbacks* Callbacks() { return active_.Callbacks(); }

    // From the next buffer switch on, the signal goes out on every created output and is checked
    // on every created input whose output of the same number is created. `bufferSize` is what was
    // passed to createBuffers (one-bit samples for DSD); `outputChannels` is how many outputs the
    // driver has, whose numbers the signal carries. False when the sample type cannot carry the
    // signal; the switches are then only counted.
    bool StreamSignal(const ASIOBufferInfo* infos, int count, LONG bufferSize, ASIOSampleType type,
                      uint32_t convertedBits, uint32_t outputChannels);
    // Stops writing and checking; call when the driver no longer calls back.
    void EndSignal();
    const SignalChecker& Input() const { return checker_; }
    int64_t RoundTripFrames() const { return checker_.RoundTripFrames(); }

    // The host calls outputReady on `driver` once it has filled its outputs; null: it does not.
    void CallOutputReady(IASIO* driver) { outputReadyDriver_ = driver; }
    // Wakes the host's thread (WakeEvent) once this many buffer switches have happened in all. The
    // host's stream is then complete: switches the driver makes before the host's stop reaches it
    // are not processed or counted.
    void WakeAfterSwitches(uint64_t count) { wakeAfterSwitches_ = count; }
    // Auto-reset: set on a reset request and when the switch count is reached.
    HANDLE WakeEvent() const { return wake_; }
    // Whether a reset was requested since the last call, clearing the request.
    bool TakeResetRequest() { return resetPending_.exchange(false); }
    bool TakeLatencyChange() { return latenciesChanged_.exchange(false); }

    // The answers to kAsioEngineVersion and kAsioSupportsTimeInfo.
    LONG engineVersionAnswer = 2;
    LONG timeInfoAnswer = ASIOTrue;

    std::atomic<uint64_t> switches{0};
    std::atomic<int> resetRequests{0};
    std::atomic<int> resyncRequests{0};
    std::atomic<int> latencyChanges{0};
    std::atomic<int> overloads{0};
    std::atomic<int> rateChanges{0};

    void BufferSwitch(LONG index, const ASIOTime* time) override;
    void SampleRateDidChange(ASIOSampleRate rate) override;
    LONG AsioMessage(LONG selector, LONG value, void* message, double* opt) override;

private:
    void ProcessSignal(LONG index);

    ActiveHost active_;
    HANDLE wake_;
    std::atomic<bool> resetPending_{false};
    std::atomic<bool> latenciesChanged_{false};
    std::atomic<uint64_t> wakeAfterSwitches_{0};
    IASIO* outputReadyDriver_ = nullptr;

    bool signalOn_ = false;
    FrameCounterSignal signal_;
    SignalChecker checker_;
    uint32_t signalFrames_ = 0;  // signal frames per half
    std::vector<ASIOBufferInfo> outputs_;
    std::vector<ASIOBufferInfo> checkedInputs_;
    std::vector<const void*> inputHalves_;
    uint64_t framesOut_ = 0;
};

}  // namespace asiohost
