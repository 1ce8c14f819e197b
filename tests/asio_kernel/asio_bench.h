// The R9 in loopback on a simulated machine with the driver started at a chosen rate, and an ASIO
// host process with the device's control path, as the device access library finds it.
#pragma once

#include <memory>
#include <string>

#include "sim/user/processes.h"
#include "tests/adapter/adapter_bench.h"
#include "tools/r9sim/private_stream_client.h"

namespace asiokerneltest {

using r9sim::PrivateStreamClient;
using r9sim::StreamRequest;
using r9sim::StreamFormat;
using adaptertest::AdapterBench;
using adaptertest::BenchOptions;

constexpr int64_t kMillisecondNs = 1000000;
constexpr int64_t kSecondNs = 1000 * kMillisecondNs;
constexpr int64_t kMinuteNs = 60 * kSecondNs;

struct AsioBenchOptions {
    ULONG rate = 48000;
    // The converters' latency in the loopback, in frames at the rate.
    uint64_t converterFrames = sim::devices::R9Device::kLoopbackDelayFrames;
    bool oldFashioned = false;
    bool dsdModeRequest = true;
};

class AsioBench {
public:
    explicit AsioBench(AsioBenchOptions options = {});
    ~AsioBench();

    AdapterBench& Bench() { return bench_; }
    UsbAudioAdapter& Adapter() { return bench_.Adapter(); }
    sim::devices::audio::AudioStreamingEngine& Audio() { return bench_.Device().Engine(); }
    const std::u16string& ControlPath() const { return controlPath_; }
    // A client on a handle of its own, in the host process.
    std::unique_ptr<PrivateStreamClient> NewClient() { return std::make_unique<PrivateStreamClient>(controlPath_); }

private:
    AdapterBench bench_;
    std::unique_ptr<sim::user::ProcessScope> host_;
    std::u16string controlPath_;
};

}  // namespace asiokerneltest
