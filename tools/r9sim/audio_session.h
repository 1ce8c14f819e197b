// What r9sim play and record share: a machine with the driver package installed and the R9 plugged
// in (with its outputs looped back to its inputs), the device rate set as a user sets it (through
// the device access library, as the control panel does), the Windows audio service running, and
// time passing in 10 ms steps with a progress bar on a terminal. At the end the service lets go of
// the device, the device is pulled out, and the summary says what moved and what went wrong.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sim/audio_service/audio_service.h"
#include "sim/kernel/machine.h"
#include "sim/usb/host_controller.h"
#include "tools/r9sim/plugged_device.h"

namespace r9sim {

struct SessionOptions {
    std::string device = "r9";
    uint32_t rate = 0;  // 0: the rate the device starts at
};

// What one of the two commands moved, for the summary.
struct StreamReport {
    std::string direction;  // "played" or "recorded"
    const sim::audio::AppStream* stream = nullptr;
    sim::audio::Flow flow = sim::audio::Flow::Render;
};

class AudioSession {
public:
    explicit AudioSession(const char* command) : command_(command) {}
    ~AudioSession();

    // False after printing one line that says why (a device or rate that cannot be had).
    bool Start(const SessionOptions& options);

    sim::audio::AudioService& Service() { return sim::audio::AudioService::Current(); }
    sim::devices::R9Device& Device() { return plugged_->Device(); }
    const std::u16string& Instance() const { return plugged_->InstancePath(); }
    uint32_t DeviceRate() const;

    // Calls `step` every 10 ms of simulated time until it returns false or `limit` has passed;
    // `expected` is how long the run should take, for the progress bar.
    void Run(int64_t expected, int64_t limit, const std::function<bool()>& step);
    // Closes the streams and lets the service close the device's filter, pulls the device out,
    // and prints the summary.
    void Finish(const std::vector<StreamReport>& reports);

    const char* Command() const { return command_; }

private:
    void PrintSummary(const std::vector<StreamReport>& reports);

    const char* command_;
    std::unique_ptr<sim::Machine> machine_;
    std::unique_ptr<sim::usb::HostController> usb_;
    std::unique_ptr<PluggedDevice> plugged_;
    bool serviceRunning_ = false;
};

// The rates the wave filter can be named after: 32 to 192 kHz.
bool IsWaveFilterRate(uint32_t rate);
std::string WaveFilterRates();

}  // namespace r9sim
