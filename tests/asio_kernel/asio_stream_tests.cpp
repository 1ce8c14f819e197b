// The ASIO stream's requests one behaviour at a time: pending reads at a stop, a write larger than
// the render ring, a handle closed while its stream runs, reads on a handle that does not own the
// device, output-only streams, native DSD, ASIO output summed with the audio stack's, and a device
// pulled out with requests pending.
#include <cstring>
#include <vector>

#include "sim/pnp/plug_and_play.h"
#include "tests/asio_kernel/asio_bench.h"
#include "tests/engine/stand_in_wave_stream.h"
#include "tests/scenario_time.h"

namespace asiokerneltest {
namespace {

using sim::devices::audio::InputSignal;
using sim::devices::audio::SignalKind;

constexpr DWORD kStopStream = 0x222024;

struct PendingRead {
    explicit PendingRead(HANDLE handle, size_t bytes) : handle(handle), buffer(bytes)
    {
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        issued = ReadFile(handle, buffer.data(), DWORD(bytes), nullptr, &overlapped);
        error = issued ? 0 : GetLastError();
    }
    ~PendingRead() { CloseHandle(overlapped.hEvent); }
    // The read's end: 0 and the byte count, or its error.
    DWORD Finish(DWORD* bytes)
    {
        return GetOverlappedResult(handle, &overlapped, bytes, TRUE) ? 0 : GetLastError();
    }

    HANDLE handle;
    std::vector<UCHAR> buffer;
    OVERLAPPED overlapped = {};
    BOOL issued;
    DWORD error;
};

// A claimed, opened and started stream on a client of its own.
std::unique_ptr<PrivateStreamClient> StartedClient(AsioBench& bench, const StreamRequest& request = {})
{
    auto client = bench.NewClient();
    EXPECT_EQ(client->Claim(), 0u);
    EXPECT_EQ(client->Open(request), 0u);
    EXPECT_EQ(client->Start(), 0u);
    return client;
}

TEST(AsioStream, AStopEndsPendingReadsCancelled)
{
    AsioBench bench;
    auto client = StartedClient(bench);
    const size_t half = 256 * client->InputFormat().FrameBytes();
    PendingRead first(client->Handle(), half);
    PendingRead second(client->Handle(), half);
    ASSERT_EQ(first.error, DWORD(ERROR_IO_PENDING));
    ASSERT_EQ(second.error, DWORD(ERROR_IO_PENDING));
    EXPECT_EQ(client->Control(kStopStream), 0u);
    DWORD bytes = 1;
    EXPECT_EQ(first.Finish(&bytes), DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(second.Finish(&bytes), DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(bytes, 0u);
    // Stopped, the stream takes no reads.
    PendingRead refused(client->Handle(), half);
    EXPECT_FALSE(refused.issued);
    EXPECT_NE(refused.error, DWORD(ERROR_IO_PENDING));
}

// With capture, a write completes at once with what the render ring took; what did not fit is owed
// to the render side as fill, so later output keeps its place in time.
TEST(AsioStream, AWriteLargerThanTheFreeSpaceStoresWhatFitsAndOwesTheRest)
{
    AsioBench bench;
    auto client = StartedClient(bench);
    const ByteRing& ring = bench.Adapter().Engine().Asio().RenderRing();
    const ULONG free = ring.Capacity() - ring.Filled();
    std::vector<UCHAR> data(free + 4096, 0x11);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;
    const BOOL done = WriteFile(client->Handle(), data.data(), DWORD(data.size()), nullptr, &overlapped);
    ASSERT_TRUE(done || GetLastError() == ERROR_IO_PENDING);
    ASSERT_TRUE(GetOverlappedResult(client->Handle(), &overlapped, &written, FALSE));
    CloseHandle(overlapped.hEvent);
    EXPECT_EQ(written, free);
    EXPECT_EQ(ring.Debt(), 4096);
    EXPECT_EQ(ring.Filled(), ring.Capacity());
    EXPECT_EQ(client->Stop(), 0u);
}

// The owner's handle closed mid-stream: its cleanup stops and closes the stream and gives the
// device up, without a single control request.
TEST(AsioStream, ClosingTheOwnersHandleWhileItStreamsFreesTheDevice)
{
    AsioBench bench;
    {
        auto client = StartedClient(bench);
        ASSERT_TRUE(client->Stream(20));
    }
    EXPECT_FALSE(bench.Adapter().Engine().Asio().IsOpen());
    EXPECT_EQ(bench.Adapter().Engine().RunCount(kDirectionOut), 0u);
    EXPECT_EQ(bench.Adapter().ReserveDirections(TRUE, TRUE, TRUE), STATUS_SUCCESS);
    bench.Adapter().ReleaseDirections(TRUE, TRUE);
    auto next = bench.NewClient();
    EXPECT_EQ(next->Claim(), 0u);
}

// Reads and writes are accepted on any private handle while the owner's stream runs; a handle's
// cleanup ends its own pending reads and leaves the owner's alone.
TEST(AsioStream, AnotherHandleMayReadWhileTheOwnerStreams)
{
    AsioBench bench;
    auto owner = StartedClient(bench);
    const size_t half = 256 * owner->InputFormat().FrameBytes();
    PendingRead ownersRead(owner->Handle(), half);
    {
        auto other = bench.NewClient();
        EXPECT_NE(other->Claim(), 0u) << "one owner at a time";
        PendingRead read(other->Handle(), half);
        ASSERT_EQ(read.error, DWORD(ERROR_IO_PENDING));
        DWORD bytes = 0;
        EXPECT_EQ(read.Finish(&bytes), 0u);
        EXPECT_EQ(bytes, half);
        PendingRead left(other->Handle(), half);
        ASSERT_EQ(left.error, DWORD(ERROR_IO_PENDING));
        CloseHandle(other->Handle());
        EXPECT_EQ(left.Finish(&bytes), DWORD(ERROR_OPERATION_ABORTED));
    }
    DWORD bytes = 0;
    EXPECT_EQ(ownersRead.Finish(&bytes), 0u);
    EXPECT_EQ(bytes, half);
    EXPECT_EQ(owner->Stop(), 0u);
}

TEST(AsioStream, AnOutputOnlyStreamPlaysItsOutputWithoutAGap)
{
    AsioBench bench({48000});
    StreamRequest request;
    request.input = false;
    auto client = StartedClient(bench, request);
    const uint64_t halves = uint64_t(ScenarioNs(kMinuteNs) / kMillisecondNs) * 48 / 256;
    ASSERT_TRUE(client->Stream(halves));
    const auto counters = bench.Audio().RenderStats();
    const EngineStatistics statistics = bench.Adapter().Engine().Statistics();
    EXPECT_EQ(client->Stop(), 0u);
    EXPECT_EQ(statistics.renderResets, 0);
    EXPECT_EQ(counters.underflows.count, 0u);
    const auto* continuity = bench.Audio().RenderRecorder().Continuity();
    ASSERT_NE(continuity, nullptr);
    EXPECT_TRUE(continuity->Continuous()) << continuity->FirstBreak();
    EXPECT_GT(continuity->PatternFrames(), (halves - 20) * 256);
}

// DSD64: 2.8224 MHz of one-bit samples as 32-bit words at 88.2 kHz. Silence is the DSD idle pattern
// 0x96, and output replaces what is in the request instead of being added to it.
TEST(AsioStream, NativeDsdFillsWithIdlePatternAndCopiesOutput)
{
    AsioBench bench({88200});
    bench.Audio().RenderRecorder().RetainFrames(88200);
    StreamRequest request;
    request.mode = 1;
    request.bufferFrames = 512;
    auto client = StartedClient(bench, request);
    client->WriteConstant(0x12345678);
    ASSERT_TRUE(client->Stream(100));
    EXPECT_EQ(client->Stop(), 0u);
    const auto& retained = bench.Audio().RenderRecorder().Retained();
    ASSERT_FALSE(retained.empty());
    const uint32_t mask = ~0u << (32 - bench.Audio().RenderRecorder().Format().validBits);
    EXPECT_EQ(uint32_t(retained.front()) & mask, 0x96969696u & mask) << "the silence before the first output";
    size_t copied = 0;
    for (int32_t sample : retained) {
        const uint32_t word = uint32_t(sample) & mask;
        EXPECT_TRUE(word == (0x96969696u & mask) || word == (0x12345678u & mask)) << std::hex << word;
        copied += word == (0x12345678u & mask) ? 1 : 0;
    }
    EXPECT_GT(copied, retained.size() / 2);
    EXPECT_EQ(client->CloseStream(), 0u);
    EXPECT_EQ(bench.Bench().Device().Function().StreamingMode(1), 0u);
}

// The audio stack and an ASIO host play at once: the device hears the two added, and a sum beyond
// full scale clamped, not wrapped.
TEST(AsioStream, AsioOutputIsAddedToTheAudioStacksWithSaturation)
{
    AsioBench bench({48000});
    enginetest::StandInWaveStream wave(bench.Adapter());
    const StreamFormat device{4, 4, 24};
    ASSERT_EQ(wave.Open(kDirectionOut, device, 48000), STATUS_SUCCESS);
    wave.RenderConstant(0x60000000);
    wave.Run(kDirectionOut);
    ASSERT_EQ(bench.Adapter().StartDirection(kDirectionOut), STATUS_SUCCESS);
    auto client = StartedClient(bench, {128});
    client->WriteConstant(0x10000000);
    ASSERT_TRUE(client->Stream(400));
    bench.Audio().RenderRecorder().RetainFrames(4800);
    bench.Audio().RenderRecorder().Clear();
    ASSERT_TRUE(client->Stream(200));
    const std::vector<int32_t> sum = bench.Audio().RenderRecorder().Retained();
    client->WriteConstant(0x60000000);
    ASSERT_TRUE(client->Stream(400));
    bench.Audio().RenderRecorder().Clear();
    ASSERT_TRUE(client->Stream(200));
    const std::vector<int32_t> clamped = bench.Audio().RenderRecorder().Retained();
    EXPECT_EQ(client->Stop(), 0u);
    wave.Stop(kDirectionOut);
    EXPECT_EQ(bench.Adapter().StopDirection(kDirectionOut), STATUS_SUCCESS);
    ASSERT_FALSE(sum.empty());
    ASSERT_FALSE(clamped.empty());
    for (int32_t sample : sum) {
        ASSERT_EQ(sample, 0x70000000);
    }
    for (int32_t sample : clamped) {
        ASSERT_EQ(sample, 0x7FFFFF00);
    }
}

// Pulled out with reads pending: they end, new requests are refused, and the removal waits for
// the host to close its handle; then the driver unloads and leaves nothing.
TEST(AsioStream, ADevicePulledOutWithRequestsPendingEndsThemAndWaitsForTheClose)
{
    AsioBench bench;
    auto client = StartedClient(bench);
    ASSERT_TRUE(client->Stream(10));
    const size_t half = 256 * client->InputFormat().FrameBytes();
    PendingRead first(client->Handle(), half);
    PendingRead second(client->Handle(), half);
    EXPECT_EQ(bench.Bench().PullOut(), STATUS_PENDING);
    DWORD bytes = 0;
    EXPECT_NE(first.Finish(&bytes), 0u);
    EXPECT_NE(second.Finish(&bytes), 0u);
    PendingRead refused(client->Handle(), half);
    EXPECT_FALSE(refused.issued);
    EXPECT_NE(sim::pnp::LoadedDriver(u"TVR9AUDIO"), nullptr) << "removal waits for the last handle";
    client.reset();
    EXPECT_EQ(sim::pnp::LoadedDriver(u"TVR9AUDIO"), nullptr);
}

}  // namespace
}  // namespace asiokerneltest
