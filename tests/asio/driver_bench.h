// The ASIO driver on the simulated machine: the R9 in loopback with the kernel driver started
// (tests/asio_kernel/asio_bench.h), the host process with COM, and a driver object made as its
// class factory makes it. TestHost stands for the host program's callbacks.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "asio/asio_driver.h"
#include "sim/devices/audio_engine/continuity_analyser.h"
#include "tests/asio_kernel/asio_bench.h"

namespace asiotest {

// One driver object, released at the end of the scope unless released before.
class DriverRef {
public:
    DriverRef();
    ~DriverRef() { Release(); }
    DriverRef(const DriverRef&) = delete;
    DriverRef& operator=(const DriverRef&) = delete;

    IASIO* operator->() const { return asio_; }
    IASIO* Get() const { return asio_; }
    void Release();

private:
    IASIO* asio_ = nullptr;
};

// The error text the driver gives the host.
std::string ErrorText(IASIO* driver);

// What a host's callbacks saw. The callbacks are plain functions, so one TestHost at a time is
// the current one.
class TestHost {
public:
    TestHost();
    ~TestHost();

    ASIOCallbacks* Callbacks() { return &callbacks_; }

    // From now on every buffer switch writes a frame counter into each created output half and
    // checks each created input half for it from its first frame on (the R9 in loopback: input n
    // hears output n). The samples carry `validBits` significant bits in 32-bit containers.
    void StreamSignal(const ASIOBufferInfo* infos, int count, LONG frames, uint32_t validBits);
    const sim::devices::audio::ContinuityAnalyser& Input() const { return *analyser_; }
    // Frames from a frame's place in the output to its place in the input; -1 before it came.
    int64_t RoundTripFrames() const { return roundTrip_; }

    // Answers the host gives.
    LONG engineVersion = 2;
    LONG timeInfo = 1;
    // Calls outputReady from inside each buffer switch.
    IASIO* callOutputReadyOn = nullptr;
    // Milliseconds the next buffer switch takes before it returns (a host that hangs).
    DWORD hangOnceMs = 0;

    std::atomic<int> resetRequests{0};
    std::atomic<int> switches{0};
    std::vector<LONG> halves;                // the half index of each switch
    std::vector<ULONG> positions;            // the time info's sample position (low word) at each
    std::vector<LONG> otherMessages;         // selectors the host was not expected to get
    std::vector<ULONG> timeInfoFlags;

private:
    static void BufferSwitch(LONG index, ASIOBool directProcess);
    static void SampleRateDidChange(ASIOSampleRate rate);
    static LONG AsioMessage(LONG selector, LONG value, void* message, double* opt);
    static ASIOTime* BufferSwitchTimeInfo(ASIOTime* time, LONG index, ASIOBool directProcess);

    void ProcessSignal(LONG index);

    ASIOCallbacks callbacks_;
    std::vector<ASIOBufferInfo> signalBuffers_;
    LONG signalFrames_ = 0;
    std::unique_ptr<sim::devices::audio::FrameCounterPattern> pattern_;
    std::unique_ptr<sim::devices::audio::ContinuityAnalyser> analyser_;
    uint64_t framesIn_ = 0;
    uint64_t framesOut_ = 0;
    int64_t roundTrip_ = -1;
};

asiokerneltest::AsioBenchOptions AtRate(ULONG rate);
// Switches the driver to native DSD; the test fails when it refuses.
void UseDsdFormat(IASIO* driver);
// Lets simulated time pass, 10 ms at a time, until `done` holds or a second has gone.
template <class Done> void WaitUntil(Done done)
{
    for (int tries = 0; tries < 100 && !done(); ++tries) {
        Sleep(10);
    }
}

// Starts a registered program and waits for it; its exit code.
DWORD RunProgram(const WCHAR* image);

// Per-user settings as the control panel writes them.
void WriteSetting(int identifier, DWORD value);
void WriteByteSetting(int identifier, BYTE value);
DWORD ReadDwordSetting(int identifier);

}  // namespace asiotest
