// The R9 with the driver started on it, a stand-in wave stream as the engine callback, and the
// device's side of what the engine did: what reached the converters, the render FIFO's counters,
// what the device's inputs produced.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "sim/devices/audio_engine/feedback_generator.h"
#include "tests/adapter/adapter_bench.h"
#include "tests/engine/stand_in_wave_stream.h"

namespace enginetest {

using adaptertest::AdapterBench;
using adaptertest::BenchOptions;
using sim::devices::R9Variant;

constexpr int64_t kMillisecondNs = 1000000;
constexpr int64_t kSecondNs = 1000 * kMillisecondNs;
constexpr int64_t kMinuteNs = 60 * kSecondNs;

struct EngineBenchOptions {
    R9Variant variant = R9Variant::HighSpeedUac2;
    ULONG rate = 48000;
    // "IN URB Size"; 0 leaves the setting absent.
    ULONG inUrbSize = 0;
    sim::ClockMode clock = sim::ClockMode::Virtual;
    // The device counts its clock over the feedback period, as hardware does, unless a test needs
    // the exact rate; the bus's frame clock may run off the machine's.
    sim::devices::audio::FeedbackMeasurement feedback = sim::devices::audio::FeedbackMeasurement::Counted;
    int32_t busClockPpm = 0;
    std::optional<ULONG> firstFrameNumber = std::nullopt;
};

class EngineBench {
public:
    explicit EngineBench(EngineBenchOptions options = {});
    ~EngineBench();

    UsbAudioAdapter& Adapter() { return bench_.Adapter(); }
    StreamEngine& Engine() { return bench_.Adapter().Engine(); }
    StandInWaveStream& Stream() { return *stream_; }
    sim::devices::R9Device& Device() { return bench_.Device(); }
    sim::devices::audio::AudioStreamingEngine& Audio() { return bench_.Device().Engine(); }
    sim::usb::BusDevice& Bus() { return bench_.Bus(); }
    sim::usb::HostController& Controller() { return bench_.Controller(); }
    sim::Machine& Machine() { return bench_.Machine(); }
    AdapterBench& Bench() { return bench_; }

    // The device's own format of a direction, in the layout a client that matches it uses.
    StreamFormat DeviceFormat(StreamDirection direction);
    // Opens and runs the stand-in stream of the direction in the device's format.
    void RunStream(StreamDirection direction);
    void RunFor(int64_t nanoseconds) { bench_.Machine().RunFor(nanoseconds); }
    void Unplug() { bench_.Unplug(); }

private:
    AdapterBench bench_;
    EngineBenchOptions options_;
    std::unique_ptr<StandInWaveStream> stream_;
};

}  // namespace enginetest
