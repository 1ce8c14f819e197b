// The frame packer and the mixes on one 8-ms request of four channels at 192 kHz (1536 frames),
// beside memcpy of the same bytes: the rate each moves the request's device-format bytes at.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "driver/engine/sample_packing.h"

namespace {

constexpr ULONG kFrames = 192 * 8;
constexpr ULONG kChannels = 4;

std::vector<UCHAR> Audio(size_t bytes)
{
    std::vector<UCHAR> audio(bytes);
    for (size_t i = 0; i < bytes; ++i) {
        audio[i] = UCHAR(i * 37 + 11);
    }
    return audio;
}

// Bytes per second of the request in the device's format (the four-channel side), so every row
// compares with memcpy of the request.
void PackBenchmark(benchmark::State& state, ULONG dstChannels, ULONG dstBits, ULONG srcChannels, ULONG srcBits)
{
    const std::vector<UCHAR> source = Audio(size_t(kFrames) * srcChannels * srcBits / 8);
    std::vector<UCHAR> destination(size_t(kFrames) * dstChannels * dstBits / 8);
    for (auto _ : state) {
        benchmark::DoNotOptimize(PackFrames(destination.data(), ULONG(destination.size()), source.data(),
                                            ULONG(source.size()), dstChannels, dstBits, srcChannels, srcBits));
        benchmark::ClobberMemory();
    }
    const size_t deviceBytes = dstChannels == kChannels ? destination.size() : source.size();
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(deviceBytes));
}

void MixBenchmark(benchmark::State& state, ULONG bits, MixRoutine mix)
{
    const std::vector<UCHAR> source = Audio(size_t(kFrames) * kChannels * bits / 8);
    std::vector<UCHAR> destination = Audio(source.size());
    const ULONG frameBytes = kChannels * bits / 8;
    for (auto _ : state) {
        // As the ASIO path mixes: one call per frame over the device's channels.
        for (ULONG offset = 0; offset < destination.size(); offset += frameBytes) {
            mix(destination.data() + offset, source.data() + offset, kChannels);
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(destination.size()));
}

void Memcpy(benchmark::State& state)
{
    const std::vector<UCHAR> source = Audio(size_t(state.range(0)));
    std::vector<UCHAR> destination(source.size());
    for (auto _ : state) {
        std::memcpy(destination.data(), source.data(), source.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(source.size()));
}

}  // namespace

BENCHMARK(Memcpy)->Arg(kFrames * kChannels * 2)->Arg(kFrames * kChannels * 3)->Arg(kFrames * kChannels * 4);
// Render: client (source) to device; capture: device to client.
BENCHMARK_CAPTURE(PackBenchmark, Pack_Equal4x32, 4, 32, 4, 32);
BENCHMARK_CAPTURE(PackBenchmark, Pack_Stereo16To4x32, 4, 32, 2, 16);
BENCHMARK_CAPTURE(PackBenchmark, Pack_Stereo16To4x24, 4, 24, 2, 16);
BENCHMARK_CAPTURE(PackBenchmark, Pack_4x24To4x32, 4, 32, 4, 24);
BENCHMARK_CAPTURE(PackBenchmark, Pack_4x32To2x16, 2, 16, 4, 32);
BENCHMARK_CAPTURE(MixBenchmark, Mix_16, 16, &MixSamples16);
BENCHMARK_CAPTURE(MixBenchmark, Mix_24, 24, &MixSamples24);
BENCHMARK_CAPTURE(MixBenchmark, Mix_32, 32, &MixSamples32);
BENCHMARK_CAPTURE(MixBenchmark, Mix_Dsd32Copy, 32, &CopySamples32);
