// The R9 pulled out at seeded random points while it streams: through the stream engine (the audio
// stack's directions, pulled while they start, run or stop), through an ASIO stream (reads and
// writes in flight), and both at once. Whatever the point: Plug and Play's removal waits for the
// handles to close, the requests in flight complete, every thread ends, and once the last handle
// closes the driver unloads with nothing left and no verifier report.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <random>
#include <vector>

#include "sim/pnp/plug_and_play.h"
#include "tests/asio_kernel/asio_bench.h"
#include "tests/engine/engine_bench.h"
#include "tests/engine/stand_in_wave_stream.h"
#include "tests/faults/start_outcome.h"
#include "tests/scenario_time.h"

namespace faulttest {
namespace {

using asiokerneltest::AsioBench;
using r9sim::PrivateStreamClient;
using enginetest::kMillisecondNs;
using sim::devices::audio::StreamFormat;

constexpr int kSeeds = 100;
constexpr DWORD kCompletionTimeoutMs = 1000;

// A call of the adapter on a system thread of its own, so that the test can pull the device while
// the call waits inside the driver.
class AdapterCallThread {
public:
    explicit AdapterCallThread(std::function<NTSTATUS()> call) : call_(std::move(call))
    {
        HANDLE handle = nullptr;
        EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, &Body, this),
                  STATUS_SUCCESS);
        EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread_, nullptr),
                  STATUS_SUCCESS);
        ZwClose(handle);
    }
    // The call's status, once it returned.
    NTSTATUS Join()
    {
        KeWaitForSingleObject(thread_, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(thread_);
        return status_;
    }

private:
    static void Body(PVOID context)
    {
        auto* self = static_cast<AdapterCallThread*>(context);
        self->status_ = self->call_();
        PsTerminateSystemThread(STATUS_SUCCESS);
    }

    std::function<NTSTATUS()> call_;
    PVOID thread_ = nullptr;
    NTSTATUS status_ = STATUS_PENDING;
};

// Nanoseconds in [0, most), any of them.
int64_t Within(std::mt19937_64& random, int64_t most) { return int64_t(random() % uint64_t(most)); }

// The audio stack's side: the stand-in wave streams of both directions running, and the engine's
// directions (both run together on the R9) started, starting or stopping when the device goes. The
// audio service reaches the adapter through pin handles on the device, which hold its removal back
// until they close; a handle on the device stands in for them, so the driver is never asked to
// unload while a call of the audio stack is inside it.
class AudioStackStreams {
public:
    AudioStackStreams(AsioBench& bench) : adapter_(bench.Adapter()), wave_(bench.Adapter())
    {
        handle_ = CreateFileW(reinterpret_cast<LPCWSTR>(bench.ControlPath().c_str()), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        EXPECT_NE(handle_, INVALID_HANDLE_VALUE);
        const StreamFormat device{4, 4, 24};
        EXPECT_EQ(wave_.Open(kDirectionOut, device, 48000), STATUS_SUCCESS);
        EXPECT_EQ(wave_.Open(kDirectionIn, device, 48000), STATUS_SUCCESS);
        wave_.Run(kDirectionOut);
        wave_.Run(kDirectionIn);
    }

    // Where the pull lands: 0 while the directions start, 1 while they run, 2 while they stop.
    void Begin(int phase)
    {
        if (phase == 0) {
            call_ = std::make_unique<AdapterCallThread>([this] { return adapter_.StartDirection(kDirectionOut); });
            return;
        }
        EXPECT_EQ(adapter_.StartDirection(kDirectionOut), STATUS_SUCCESS);
        if (phase == 2) {
            call_ = std::make_unique<AdapterCallThread>([this] { return adapter_.StopDirection(kDirectionOut); });
        } else {
            startedBeforePull_ = true;
        }
    }
    bool Calling() const { return call_ != nullptr; }

    // After the pull, as the audio service does once its pins hear of the removal: the call under
    // way returns, a started stream is stopped, the pins close.
    void End()
    {
        bool started = startedBeforePull_;
        if (call_ != nullptr) {
            const NTSTATUS status = call_->Join();
            EXPECT_NE(status, STATUS_PENDING);
            started = started || NT_SUCCESS(status);
            call_.reset();
        }
        if (started) {
            EXPECT_EQ(adapter_.StopDirection(kDirectionOut), STATUS_SUCCESS);
        }
        wave_.Stop(kDirectionOut);
        wave_.Stop(kDirectionIn);
        CloseHandle(handle_);
    }

private:
    UsbAudioAdapter& adapter_;
    enginetest::StandInWaveStream wave_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::unique_ptr<AdapterCallThread> call_;
    bool startedBeforePull_ = false;
};

// A read of one buffer half issued just before the pull: it must end, one way or the other.
struct ReadInFlight {
    ReadInFlight(HANDLE handle, size_t bytes) : buffer(bytes)
    {
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        issued = ReadFile(handle, buffer.data(), DWORD(bytes), nullptr, &overlapped) ||
                 GetLastError() == ERROR_IO_PENDING;
    }
    ~ReadInFlight() { CloseHandle(overlapped.hEvent); }
    bool Ended() { return WaitForSingleObject(overlapped.hEvent, kCompletionTimeoutMs) == WAIT_OBJECT_0; }

    std::vector<UCHAR> buffer;
    OVERLAPPED overlapped = {};
    bool issued = false;
};

enum class Streams { Engine, Asio, Both };

void PrintTo(Streams streams, std::ostream* out)
{
    *out << (streams == Streams::Engine ? "Engine" : streams == Streams::Asio ? "Asio" : "Both");
}

// One seed's run: streams up, a random wait (to the nanosecond), the pull, and every check.
void PullAtSeededPoint(Streams streams, uint64_t seed)
{
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937_64 random(seed);
    AsioBench bench;
    sim::Machine& machine = bench.Bench().Machine();
    machine.Verify().SetMode(sim::VerifierMode::Record);
    std::unique_ptr<AudioStackStreams> audioStack;
    std::unique_ptr<PrivateStreamClient> client;
    // With an ASIO stream as well, the directions are running when it starts.
    const int phase = streams == Streams::Engine ? int(random() % 3) : 1;
    SCOPED_TRACE(testing::Message() << "phase " << phase);
    if (streams != Streams::Asio) {
        audioStack = std::make_unique<AudioStackStreams>(bench);
        audioStack->Begin(phase);
    }
    if (streams != Streams::Engine) {
        client = bench.NewClient();
        EXPECT_EQ(client->Claim(), 0u);
        EXPECT_EQ(client->Open({}), 0u);
        EXPECT_EQ(client->Start(), 0u);
        EXPECT_TRUE(client->Stream(random() % 40));
    }
    const bool calling = audioStack != nullptr && audioStack->Calling();
    machine.RunFor(Within(random, ScenarioNs(calling ? 20 * kMillisecondNs : 150 * kMillisecondNs)));
    std::vector<std::unique_ptr<ReadInFlight>> reads;
    if (client != nullptr) {
        const size_t half = 256 * client->InputFormat().FrameBytes();
        for (int read = 0; read < 2; ++read) {
            reads.push_back(std::make_unique<ReadInFlight>(client->Handle(), half));
        }
    }

    EXPECT_EQ(bench.Bench().PullOut(), STATUS_PENDING) << "a handle is open";
    for (const auto& read : reads) {
        EXPECT_TRUE(!read->issued || read->Ended()) << "a read in flight at the pull never ended";
    }
    if (audioStack != nullptr) {
        audioStack->End();
    }
    if (client != nullptr) {
        ReadInFlight late(client->Handle(), 256 * client->InputFormat().FrameBytes());
        EXPECT_FALSE(late.issued) << "a read after the pull";
        client.reset();
    }
    // A close whose last reference went at DISPATCH_LEVEL (a request completed in a DPC), and an
    // unload that a referenced device object held back, finish on a system worker thread.
    machine.RunFor(kMillisecondNs);
    EXPECT_EQ(sim::pnp::LoadedDriver(u"TVR9AUDIO"), nullptr) << "the driver unloads";
    EXPECT_TRUE(machine.LiveSystemThreads().empty());
    ExpectNoReports(machine);
}

class SurpriseRemoval : public ::testing::TestWithParam<Streams> {};

TEST_P(SurpriseRemoval, AtSeededPointsOfStreaming)
{
    for (uint64_t seed = 1; seed <= kSeeds && !HasFailure(); ++seed) {
        PullAtSeededPoint(GetParam(), seed);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, SurpriseRemoval, ::testing::Values(Streams::Engine, Streams::Asio, Streams::Both),
                         [](const ::testing::TestParamInfo<Streams>& info) {
                             return info.param == Streams::Engine ? "Engine"
                                    : info.param == Streams::Asio ? "Asio"
                                                                  : "Both";
                         });

}  // namespace
}  // namespace faulttest
