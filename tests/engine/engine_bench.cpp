#include "tests/engine/engine_bench.h"

namespace enginetest {

namespace {

BenchOptions AdapterOptions(const EngineBenchOptions& options)
{
    BenchOptions adapter;
    adapter.variant = options.variant;
    adapter.clock = options.clock;
    adapter.controller.clockPpm = options.busClockPpm;
    adapter.controller.firstFrameNumber = options.firstFrameNumber;
    return adapter;
}

}  // namespace

EngineBench::EngineBench(EngineBenchOptions options) : bench_(AdapterOptions(options)), options_(options)
{
    // A machine that has seen the device before comes up at the rate saved with its endpoints.
    bench_.SetDeviceSetting(u"Initialized", 1);
    bench_.SaveEndpointFormats(options.rate);
    if (options.inUrbSize != 0) {
        bench_.SetDeviceSetting(u"IN URB Size", options.inUrbSize);
    }
    EXPECT_EQ(bench_.Plug(), STATUS_SUCCESS);
    bench_.Device().Engine().Feedback().SetMeasurement(options.feedback);
    EXPECT_TRUE(bench_.Started());
    ULONG rate = 0;
    Adapter().GetSampleRate(&rate);
    EXPECT_EQ(rate, options.rate);
    stream_ = std::make_unique<StandInWaveStream>(Adapter());
}

// The device goes first: while it is there the engine may still call the stream.
EngineBench::~EngineBench()
{
    if (!bench_.Unplugged()) {
        bench_.Unplug();
    }
    stream_.reset();
}

StreamFormat EngineBench::DeviceFormat(StreamDirection direction)
{
    ULONG channels = 0;
    ULONG bits = 0;
    EXPECT_EQ(Adapter().UsbAudio().GetStreamFormat(direction, 1, options_.rate, &channels, &bits), STATUS_SUCCESS);
    const ULONG validBits = bits == 32 ? 24 : bits;
    return StreamFormat{channels, bits / 8, validBits};
}

void EngineBench::RunStream(StreamDirection direction)
{
    ASSERT_EQ(stream_->Open(direction, DeviceFormat(direction), options_.rate), STATUS_SUCCESS);
    stream_->Run(direction);
}

}  // namespace enginetest
