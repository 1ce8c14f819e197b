// The wave stream as the port and the stream engine see it: creation and its refusals, the state
// steps and what each asks of the adapter, format changes, the DMA channel over the cyclic buffer,
// and the engine's reports turned into regions and the position clock.
#include <cstring>

#include "tests/wave/wave_stream_fixture.h"

namespace wavetest {
namespace {

constexpr ULONG kRate = 48000;
constexpr ULONG kStereo16 = 4;                               // bytes per frame
constexpr ULONG kBufferBytes = kRate / 10 * kStereo16;       // 100 ms
constexpr ULONG kPipelineBytes = kStereo16 * 48 * 8 * 8;     // 8 requests of 8 ms in flight
constexpr int64_t kMs = 1000000;

WaveDataFormat Stereo16() { return MakeFormat(WAVE_FORMAT_PCM, 2, 16, kRate); }

TEST_F(WaveStreamTest, NewStreamReservesTheDirectionAndHandsOutItsBufferAndServiceGroup)
{
    StreamObjects render = Open(false, Stereo16());
    ASSERT_NE(render.stream, nullptr);
    EXPECT_EQ(adapter_.calls, (std::vector<std::string>{"ReserveDirections out",
                                                        "SetDirectionFormat out tag 1, 2 ch, 16 bits, 48000 Hz"}));
    EXPECT_EQ(render.dma->BufferSize(), kBufferBytes);
    EXPECT_EQ(render.dma->AllocatedBufferSize(), kBufferBytes);
    EXPECT_EQ(render.dma->MaximumBufferSize(), kBufferBytes);
    EXPECT_NE(render.Buffer(), nullptr);
    EXPECT_NE(render.group, nullptr);
    // Both interfaces are one object.
    PVOID dma = nullptr;
    ASSERT_EQ(render.stream->QueryInterface(IID_IDmaChannel, &dma), STATUS_SUCCESS);
    EXPECT_EQ(dma, render.dma);
    static_cast<PDMACHANNEL>(dma)->Release();

    StreamObjects second;
    EXPECT_EQ(NewStream(false, Stereo16(), second), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(second.stream, nullptr);
    StreamObjects capture;
    EXPECT_EQ(NewStream(true, Stereo16(), capture), STATUS_SUCCESS);

    adapter_.calls.clear();
    Release(streams_.front());
    EXPECT_EQ(adapter_.calls, (std::vector<std::string>{"ClearDirectionFormat out", "ReleaseDirections out"}));
    StreamObjects again;
    EXPECT_EQ(NewStream(false, Stereo16(), again), STATUS_SUCCESS) << "the direction is free once its stream went";
}

struct RefusedStream {
    const char* name;
    WaveDataFormat format;
    NTSTATUS reserve;
    NTSTATUS adapterFormat;
    NTSTATUS expected;
    bool reserved;  // the reservation was made and must be given back
};

WaveDataFormat NotAudio()
{
    WaveDataFormat format = Stereo16();
    format.head.MajorFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return format;
}

WaveDataFormat Truncated()
{
    WaveDataFormat format = MakeFormat(WAVE_FORMAT_PCM, 2, 24, kRate, true);
    format.head.FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);
    return format;
}

TEST_F(WaveStreamTest, RefusedStreamsLeaveNothingReservedOrClaimed)
{
    const RefusedStream cases[] = {
        {"DSD ASIO stream holds the device", Stereo16(), STATUS_DEVICE_BUSY, STATUS_SUCCESS, STATUS_DEVICE_BUSY, false},
        {"not an audio format", NotAudio(), STATUS_SUCCESS, STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST, true},
        {"MPEG layer 3", MakeFormat(0x55, 2, 0, kRate), STATUS_SUCCESS, STATUS_SUCCESS,
         STATUS_INVALID_DEVICE_REQUEST, true},
        {"extensible format cut short", Truncated(), STATUS_SUCCESS, STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST,
         true},
        {"rate other than the device's", MakeFormat(WAVE_FORMAT_PCM, 2, 16, 44100), STATUS_SUCCESS, STATUS_NO_MATCH,
         STATUS_NO_MATCH, true},
    };
    for (const RefusedStream& c : cases) {
        SCOPED_TRACE(c.name);
        adapter_.calls.clear();
        adapter_.reserveStatus = c.reserve;
        adapter_.formatStatus = c.adapterFormat;
        StreamObjects objects;
        EXPECT_EQ(NewStream(false, c.format, objects), c.expected);
        EXPECT_EQ(objects.stream, nullptr);
        EXPECT_EQ(objects.dma, nullptr);
        EXPECT_EQ(objects.group, nullptr);
        EXPECT_EQ(Called("ReleaseDirections out"), c.reserved);
        EXPECT_FALSE(Called("ClearDirectionFormat out")) << "a format the adapter never took was cleared";
    }
    adapter_.reserveStatus = STATUS_SUCCESS;
    adapter_.formatStatus = STATUS_SUCCESS;
    StreamObjects objects;
    EXPECT_EQ(NewStream(false, Stereo16(), objects), STATUS_SUCCESS);
}

TEST_F(WaveStreamTest, ExtensibleFormatsStandForTheirSubFormat)
{
    Open(false, MakeFormat(WAVE_FORMAT_IEEE_FLOAT, 2, 32, kRate, true));
    EXPECT_TRUE(Called("SetDirectionFormat out tag 3, 2 ch, 32 bits, 48000 Hz"));
}

struct Transition {
    KSSTATE from;
    KSSTATE to;
};

// Only neighbouring states are one step apart.
TEST_F(WaveStreamTest, StatesChangeOneStepAtATime)
{
    StreamObjects render = Open(false, Stereo16());
    const Transition refused[] = {{KSSTATE_STOP, KSSTATE_RUN}, {KSSTATE_STOP, KSSTATE_PAUSE},
                                  {KSSTATE_ACQUIRE, KSSTATE_RUN}, {KSSTATE_PAUSE, KSSTATE_STOP},
                                  {KSSTATE_RUN, KSSTATE_ACQUIRE}, {KSSTATE_RUN, KSSTATE_STOP},
                                  {KSSTATE_STOP, KSSTATE_STOP}};
    const KSSTATE upTo[4][3] = {{}, {KSSTATE_ACQUIRE}, {KSSTATE_ACQUIRE, KSSTATE_PAUSE},
                                {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}};
    const KSSTATE downFrom[4][3] = {{}, {KSSTATE_STOP}, {KSSTATE_ACQUIRE, KSSTATE_STOP},
                                    {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}};
    for (const Transition& t : refused) {
        SCOPED_TRACE(std::to_string(t.from) + " -> " + std::to_string(t.to));
        for (int i = 0; i < int(t.from); ++i) {
            ASSERT_EQ(render.stream->SetState(upTo[t.from][i]), STATUS_SUCCESS);
        }
        EXPECT_EQ(render.stream->SetState(t.to), STATUS_INVALID_PARAMETER);
        for (int i = 0; i < int(t.from); ++i) {
            ASSERT_EQ(render.stream->SetState(downFrom[t.from][i]), STATUS_SUCCESS);
        }
    }
}

TEST_F(WaveStreamTest, PauseStartsTheDirectionAndRunLetsTheEngineIn)
{
    StreamObjects render = Open(false, Stereo16());
    adapter_.calls.clear();
    Walk(render.stream, {KSSTATE_ACQUIRE});
    EXPECT_TRUE(adapter_.calls.empty());
    adapter_.startStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(render.stream->SetState(KSSTATE_PAUSE), STATUS_UNSUCCESSFUL) << "the clock did not become valid";
    EXPECT_EQ(render.stream->SetState(KSSTATE_RUN), STATUS_INVALID_PARAMETER) << "a failed start stays in acquire";
    adapter_.startStatus = STATUS_SUCCESS;
    Walk(render.stream, {KSSTATE_PAUSE});
    EXPECT_FALSE(Engine().AcquireStream(kDirectionOut)) << "paused: the engine sends silence";
    Walk(render.stream, {KSSTATE_RUN});
    EXPECT_TRUE(Engine().AcquireStream(kDirectionOut));
    Engine().ReleaseStream(kDirectionOut);
    adapter_.calls.clear();
    Walk(render.stream, {KSSTATE_PAUSE, KSSTATE_ACQUIRE});
    EXPECT_EQ(adapter_.calls, (std::vector<std::string>{"StopDirection out", "PurgeRenderRegions"}));
    EXPECT_FALSE(Engine().AcquireStream(kDirectionOut));
}

// A stream that goes while it runs passes through the states down to stop on its way.
TEST_F(WaveStreamTest, ReleasingARunningStreamStopsItsDirectionFirst)
{
    StreamObjects capture = Open(true, Stereo16());
    Walk(capture.stream, {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN});
    adapter_.calls.clear();
    Release(streams_.back());
    EXPECT_EQ(adapter_.calls, (std::vector<std::string>{"StopDirection in", "PurgeCaptureRegions",
                                                        "ClearDirectionFormat in", "ReleaseDirections in"}));
    EXPECT_FALSE(Engine().AcquireStream(kDirectionIn));
}

// The first report of a run starts the clock; each later one queues the next part of the buffer,
// cut at the buffer end.
TEST_F(WaveStreamTest, RenderReportsQueueTheBufferOneRequestAhead)
{
    StreamObjects render = Open(false, Stereo16());
    Walk(render.stream, {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN});
    const ULONG request = 1536;  // 8 ms
    Engine().ReportRenderBytes(kDirectionOut, request, 8);
    EXPECT_TRUE(adapter_.regions.empty());
    for (int i = 0; i < 13; ++i) {
        Engine().ReportRenderBytes(kDirectionOut, request, 8);
    }
    ASSERT_EQ(adapter_.regions.size(), 14u);
    ULONG offset = 0;
    for (size_t i = 0; i < 12; ++i) {
        EXPECT_EQ(adapter_.regions[i].start, render.Buffer() + offset);
        EXPECT_EQ(adapter_.regions[i].bytes, request);
        EXPECT_FALSE(adapter_.regions[i].capture);
        offset += request;
    }
    // 12 requests are 18432 bytes; the 13th crosses the end of the 19200-byte buffer.
    EXPECT_EQ(adapter_.regions[12].start, render.Buffer() + 18432);
    EXPECT_EQ(adapter_.regions[12].bytes, 768u);
    EXPECT_EQ(adapter_.regions[13].start, render.Buffer());
    EXPECT_EQ(adapter_.regions[13].bytes, 768u);
}

TEST_F(WaveStreamTest, CopiesWrapAtTheBufferEndAndWhatCaptureReadsIsQueuedAgain)
{
    StreamObjects capture = Open(true, Stereo16());
    Walk(capture.stream, {KSSTATE_ACQUIRE, KSSTATE_PAUSE});
    ASSERT_EQ(adapter_.regions.size(), 1u) << "the whole buffer waits for capture";
    EXPECT_EQ(adapter_.regions[0].bytes, kBufferBytes);
    EXPECT_FALSE(adapter_.regions[0].lockHeld);
    adapter_.regions.clear();

    PUCHAR buffer = capture.Buffer();
    for (ULONG i = 0; i < kBufferBytes; ++i) {
        buffer[i] = UCHAR(i);
    }
    UCHAR out[400];
    capture.dma->CopyFrom(out, buffer + kBufferBytes - 100, sizeof out);
    EXPECT_EQ(out[0], UCHAR(kBufferBytes - 100));
    EXPECT_EQ(out[100], buffer[0]);
    EXPECT_EQ(out[399], buffer[299]);
    ASSERT_EQ(adapter_.regions.size(), 2u);
    EXPECT_EQ(adapter_.regions[0].start, buffer + kBufferBytes - 100);
    EXPECT_EQ(adapter_.regions[0].bytes, 100u);
    EXPECT_EQ(adapter_.regions[1].start, buffer);
    EXPECT_EQ(adapter_.regions[1].bytes, 300u);

    StreamObjects render = Open(false, Stereo16());
    UCHAR in[300];
    std::memset(in, 0xA5, sizeof in);
    render.dma->CopyTo(render.Buffer() + kBufferBytes - 8, in, sizeof in);
    EXPECT_EQ(render.Buffer()[kBufferBytes - 1], 0xA5);
    EXPECT_EQ(render.Buffer()[291], 0xA5);
    EXPECT_EQ(render.Buffer()[292], 0);
    // A copy aimed outside the buffer is refused, not carried out.
    render.dma->CopyTo(in, render.Buffer(), sizeof in);
    EXPECT_EQ(in[0], 0xA5);
}

TEST_F(WaveStreamTest, CaptureWithoutARegionQueuesTheWholeBufferAgainUnderTheEnginesLock)
{
    StreamObjects capture = Open(true, Stereo16());
    Walk(capture.stream, {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN});
    Engine().AdvanceClock(kDirectionIn, 4000, 1);
    machine_.RunFor(5 * kMs);
    ULONG position = 0;
    ASSERT_EQ(capture.stream->GetPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position, 4000u);
    adapter_.regions.clear();
    Engine().RequeueCapture(kDirectionIn);
    ASSERT_EQ(adapter_.regions.size(), 1u);
    EXPECT_EQ(adapter_.regions[0].start, capture.Buffer());
    EXPECT_EQ(adapter_.regions[0].bytes, kBufferBytes);
    EXPECT_TRUE(adapter_.regions[0].lockHeld);
    ASSERT_EQ(capture.stream->GetPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position, 0u) << "the clock starts over with the buffer";
}

// Between two reports the position moves linearly towards what was reported and stops there.
TEST_F(WaveStreamTest, InterpolatedPositionNeverPassesItsTarget)
{
    StreamObjects render = Open(false, Stereo16());
    Walk(render.stream, {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN});
    Engine().AdvanceClock(kDirectionOut, 1920, 10);
    struct Reading {
        int64_t afterMs;
        ULONG position;
    };
    const Reading readings[] = {{0, 0}, {2, 384}, {5, 960}, {9, 1728}, {10, 1920}, {25, 1920}};
    int64_t elapsed = 0;
    for (const Reading& reading : readings) {
        machine_.RunFor((reading.afterMs - elapsed) * kMs);
        elapsed = reading.afterMs;
        ULONG position = 0;
        ASSERT_EQ(render.stream->GetPosition(&position), STATUS_SUCCESS);
        EXPECT_EQ(position, reading.position) << "after " << reading.afterMs << " ms";
    }
    // The next request moves on from where the position stands, over its own 10 ms.
    Engine().AdvanceClock(kDirectionOut, 1920, 10);
    machine_.RunFor(5 * kMs);
    ULONG position = 0;
    ASSERT_EQ(render.stream->GetPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position, 2880u);
    LONGLONG time = position;
    ASSERT_EQ(render.stream->NormalizePhysicalPosition(&time), STATUS_SUCCESS);
    EXPECT_EQ(time, 150000) << "15 ms in 100 ns units";
}

// A stopped stream starts again at the buffer start, where its render regions start: a position
// left where the last run ended would send the port's data to the wrong part of the buffer.
TEST_F(WaveStreamTest, StopTakesThePositionBackToTheBufferStart)
{
    StreamObjects render = Open(false, Stereo16());
    Walk(render.stream, {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN});
    Engine().ReportRenderBytes(kDirectionOut, 1536, 8);
    Engine().AdvanceClock(kDirectionOut, 1536, 8);
    machine_.RunFor(20 * kMs);
    ULONG position = 0;
    ASSERT_EQ(render.stream->GetPosition(&position), STATUS_SUCCESS);
    ASSERT_EQ(position, 3072u);
    Walk(render.stream, {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP});
    ASSERT_EQ(render.stream->GetPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position, 0u);
    Walk(render.stream, {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN});
    adapter_.regions.clear();
    Engine().ReportRenderBytes(kDirectionOut, 1536, 8);
    Engine().ReportRenderBytes(kDirectionOut, 1536, 8);
    ASSERT_EQ(adapter_.regions.size(), 1u);
    EXPECT_EQ(adapter_.regions[0].start, render.Buffer());
    machine_.RunFor(20 * kMs);
    ASSERT_EQ(render.stream->GetPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position, 1536u) << "the clock runs one request ahead of the regions, from zero";
}

TEST_F(WaveStreamTest, BufferSizeKeepsToTheAllocationAndTheEnginesPipeline)
{
    StreamObjects render = Open(false, Stereo16());
    struct SizeCase {
        ULONG requested;
        ULONG expected;
    };
    const SizeCase cases[] = {{kBufferBytes + 1, kBufferBytes},
                              {kPipelineBytes - 1, kBufferBytes},
                              {0, kBufferBytes},
                              {kPipelineBytes, kPipelineBytes},
                              {kBufferBytes, kBufferBytes}};
    for (const SizeCase& c : cases) {
        render.dma->SetBufferSize(c.requested);
        EXPECT_EQ(render.dma->BufferSize(), c.expected) << "asked for " << c.requested;
        EXPECT_EQ(render.dma->AllocatedBufferSize(), kBufferBytes);
    }
    EXPECT_EQ(render.dma->AllocateBuffer(0, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(render.dma->BufferSize(), kBufferBytes) << "a refused allocation keeps the buffer";
}

// The position lies in the buffer the port uses: a shorter buffer set before the stream ran must
// not leave the clock wrapping at the allocated size.
TEST_F(WaveStreamTest, PositionStaysInsideAShortenedBuffer)
{
    StreamObjects render = Open(false, Stereo16());
    render.dma->SetBufferSize(kPipelineBytes);
    Walk(render.stream, {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN});
    Engine().AdvanceClock(kDirectionOut, kPipelineBytes + 1000, 8);
    machine_.RunFor(10 * kMs);
    ULONG position = 0;
    ASSERT_EQ(render.stream->GetPosition(&position), STATUS_SUCCESS);
    EXPECT_EQ(position, 1000u);
}

TEST_F(WaveStreamTest, FormatChangeRereservesTheBufferAndTakes176000As176400)
{
    StreamObjects render = Open(false, MakeFormat(WAVE_FORMAT_PCM, 2, 16, 176400));
    Walk(render.stream, {KSSTATE_ACQUIRE, KSSTATE_PAUSE});
    adapter_.calls.clear();
    WaveDataFormat rounded = MakeFormat(WAVE_FORMAT_PCM, 2, 24, 176000);
    EXPECT_EQ(render.stream->SetFormat(&rounded.head), STATUS_SUCCESS);
    EXPECT_EQ(adapter_.calls, (std::vector<std::string>{"StopDirection out", "PurgeRenderRegions",
                                                        "ReplaceDirectionFormat out tag 1, 2 ch, 24 bits, 176400 Hz",
                                                        "StartDirection out"}));
    EXPECT_EQ(render.dma->BufferSize(), 176400u / 10 * 6);
    ULONG frameBytes = 0;
    EXPECT_EQ(render.stream->SetNotificationFreq(10, &frameBytes), 10u);
    EXPECT_EQ(frameBytes, 1764u * 6);

    WaveDataFormat noBlock = MakeFormat(WAVE_FORMAT_PCM, 2, 16, 176400);
    noBlock.wave.Format.nBlockAlign = 0;
    EXPECT_EQ(render.stream->SetFormat(&noBlock.head), STATUS_INVALID_DEVICE_REQUEST);
    Walk(render.stream, {KSSTATE_RUN});
    EXPECT_EQ(render.stream->SetFormat(&rounded.head), STATUS_INVALID_DEVICE_REQUEST) << "not while running";
}

TEST_F(WaveStreamTest, SilenceIsTheFormatsZero)
{
    StreamObjects render = Open(false, MakeFormat(WAVE_FORMAT_PCM, 2, 8, kRate));
    UCHAR bytes[4] = {1, 2, 3, 4};
    render.stream->Silence(bytes, 3);
    EXPECT_EQ(bytes[0], 0x80);
    EXPECT_EQ(bytes[2], 0x80);
    EXPECT_EQ(bytes[3], 4);
    StreamObjects capture = Open(true, Stereo16());
    capture.stream->Silence(bytes, 4);
    EXPECT_EQ(bytes[3], 0);
}

}  // namespace
}  // namespace wavetest
