// The audio work of one render request build and one capture completion on the R9 at 192 kHz,
// 8 ms of four channels in 32-bit containers: filling the request with silence and converting the
// wave stream's queued regions into it (a stereo 16-bit client, or one in the device's own format),
// and converting a completed capture request into the queued capture regions. The USB stack's part
// (submission, completion) is the platform's, not measured here.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "tests/engine/engine_bench.h"

namespace {

using enginetest::EngineBench;
using enginetest::StreamFormat;

constexpr ULONG kRate = 192000;

// The R9 started once at 192 kHz (so both directions selected their format) and stopped again.
class Rig {
public:
    explicit Rig(const StreamFormat& client, StreamDirection direction)
        : bench_(std::make_unique<EngineBench>(enginetest::EngineBenchOptions{sim::devices::R9Variant::HighSpeedUac2,
                                                                              kRate}))
    {
        bench_->Stream().Open(direction, client, kRate);
        bench_->Adapter().StartDirection(kDirectionOut);
        bench_->Adapter().StopDirection(kDirectionOut);
    }
    StreamEngine& Engine() { return bench_->Engine(); }
    uint8_t* Wave(StreamDirection direction) { return bench_->Stream().Buffer(direction); }
    UsbAudioAdapter& Adapter() { return bench_->Adapter(); }

private:
    std::unique_ptr<EngineBench> bench_;
};

void RenderBuild(benchmark::State& state, ULONG clientChannels, ULONG clientBytes, ULONG validBits)
{
    Rig rig(StreamFormat{clientChannels, clientBytes, validBits}, kDirectionOut);
    StreamEngine& engine = rig.Engine();
    const UsbStreamFormat& usb = engine.UsbFormat(kDirectionOut);
    const ULONG frames = kRate / 1000 * 8;
    std::vector<UCHAR> request(engine.TransferBufferBytes(kDirectionOut));
    const ULONG waveBytes = frames * clientChannels * clientBytes;
    RequestContext context{};
    context.buffer = request.data();
    context.length = frames * usb.bytesPerFrame;
    for (auto _ : state) {
        rig.Adapter().QueueRenderRegion(rig.Wave(kDirectionOut), waveBytes);
        benchmark::DoNotOptimize(StreamEngineTestAccess::FillRenderRequest(engine, &context));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * context.length);
}

void CaptureCompletion(benchmark::State& state, ULONG clientChannels, ULONG clientBytes, ULONG validBits)
{
    Rig rig(StreamFormat{clientChannels, clientBytes, validBits}, kDirectionIn);
    StreamEngine& engine = rig.Engine();
    const UsbStreamFormat& usb = engine.UsbFormat(kDirectionIn);
    const ULONG frames = kRate / 1000 * 8;
    std::vector<UCHAR> captured(size_t(frames) * usb.bytesPerFrame, 0x22);
    const ULONG waveBytes = frames * clientChannels * clientBytes;
    for (auto _ : state) {
        rig.Adapter().QueueCaptureRegion(rig.Wave(kDirectionIn), waveBytes, FALSE);
        benchmark::DoNotOptimize(
            StreamEngineTestAccess::FillCaptureRegions(engine, captured.data(), ULONG(captured.size())));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(captured.size()));
}

}  // namespace

BENCHMARK_CAPTURE(RenderBuild, Request_RenderFromStereo16, 2, 2, 16)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(RenderBuild, Request_RenderFromDeviceFormat, 4, 4, 24)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(CaptureCompletion, Request_CaptureIntoStereo16, 2, 2, 16)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(CaptureCompletion, Request_CaptureIntoDeviceFormat, 4, 4, 24)->Unit(benchmark::kMicrosecond);
