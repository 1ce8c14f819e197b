// Asynchronous transfers through the device layer: packet layout, IN compaction, completion at
// the bus time the packets imply, and what the common completion reports when the bus fails.
#include <vector>

#include "sim/devices/r9/r9_descriptors.h"
#include "sim/devices/r9/r9_device.h"
#include "tests/usb/usb_stack_support.h"

namespace {

using namespace sim::usb;
using namespace sim::devices::r9;
using sim::devices::R9Device;
using sim::devices::R9Variant;
using usbtest::kMillisecond;
using usbtest::ScriptedDevice;
using usbtest::TransferProbe;
using usbtest::TransferResult;
using usbtest::UsbStackTest;

constexpr ULONG kAsapIn = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
constexpr ULONG kAsapOut = USBD_TRANSFER_DIRECTION_OUT | USBD_START_ISO_TRANSFER_ASAP;

class ScriptedTransfers : public UsbStackTest {
protected:
    ScriptedDevice& PlugAndSelect(UsbSpeed speed)
    {
        auto model = std::make_unique<ScriptedDevice>(usbtest::StreamingDeviceDescriptors(speed, 192, 1), speed);
        ScriptedDevice& device = *model;
        Plug(std::move(model));
        Start();
        Configure();
        EXPECT_EQ(driver_->SelectAlternate(0, 1), STATUS_SUCCESS);
        return device;
    }
};

// 1000 bytes on a 192-byte high-speed pipe: eight packets make a whole frame; five full ones,
// one of 40 bytes, and two empty ones added to fill the frame.
TEST_F(ScriptedTransfers, OutPacketLayoutOfA1000ByteHighSpeedTransfer)
{
    ScriptedDevice& device = PlugAndSelect(UsbSpeed::High);
    std::vector<UCHAR> data(1000, 0x5A);
    TransferProbe probe;
    ASSERT_EQ(driver_->SubmitTransfer(driver_->FindPipe(0x01), data.data(), ULONG(data.size()), kAsapOut,
                                      &TransferProbe::Callback, &probe, 0),
              STATUS_SUCCESS);
    const TransferResult result = probe.Wait(1).at(0);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.bytes, 1000u);
    EXPECT_EQ(result.busFrames, 1u);

    const ULONG expectedLengths[] = {192, 192, 192, 192, 192, 40, 0, 0};
    const std::vector<USBD_ISO_PACKET_DESCRIPTOR> packets = driver_->CheckedPackets();
    ASSERT_EQ(packets.size(), 8u);
    for (ULONG i = 0; i < 8; ++i) {
        EXPECT_EQ(packets[i].Offset, i * 192) << "packet " << i;
        EXPECT_EQ(packets[i].Length, expectedLengths[i]) << "packet " << i;
        EXPECT_EQ(packets[i].Status, USBD_STATUS_SUCCESS) << "packet " << i;
    }
    // On the wire: one packet per microframe of one frame, each as long as its offsets say.
    ASSERT_EQ(device.outLengths.size(), 8u);
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(device.outLengths[i], expectedLengths[i]) << "packet " << i;
        EXPECT_EQ(device.outIntervals[i], device.outIntervals[0] + i);
    }
    EXPECT_EQ(device.outIntervals[0] % 8, 0u);
}

// Packets of 96, 0 and 96 bytes at offsets 0, 192 and 384 end up as 192 contiguous bytes, at
// either speed (three packets at full speed, a frame of eight at high speed).
TEST_F(ScriptedTransfers, InPacketsAreCompacted)
{
    for (UsbSpeed speed : {UsbSpeed::Full, UsbSpeed::High}) {
        SCOPED_TRACE(speed == UsbSpeed::High ? "high speed" : "full speed");
        DeleteDriver();
        ScriptedDevice& device = PlugAndSelect(speed);
        device.inLengths = {96, 0, 96};
        std::vector<UCHAR> buffer(3 * 192, 0xEE);
        TransferProbe probe;
        ASSERT_EQ(driver_->SubmitInTransfer(driver_->FindPipe(0x82), buffer.data(), ULONG(buffer.size()),
                                            &TransferProbe::Callback, &probe, 0),
                  STATUS_SUCCESS);
        const TransferResult result = probe.Wait(1).at(0);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.bytes, 192u);
        const std::vector<USBD_ISO_PACKET_DESCRIPTOR> packets = driver_->CheckedPackets();
        ASSERT_EQ(packets.size(), speed == UsbSpeed::High ? 8u : 3u);
        EXPECT_EQ(packets[1].Offset, 192u);
        EXPECT_EQ(packets[2].Offset, 384u);
        EXPECT_EQ(packets[2].Length, 96u);
        EXPECT_EQ(std::vector<UCHAR>(buffer.begin(), buffer.begin() + 96), std::vector<UCHAR>(96, 1));
        EXPECT_EQ(std::vector<UCHAR>(buffer.begin() + 96, buffer.begin() + 192), std::vector<UCHAR>(96, 3));
    }
}

TEST_F(UsbStackTest, PacketsToFramesFollowsSpeedAndInterval)
{
    const struct {
        R9Variant variant;
        UCHAR interval;
        ULONG packets;
        ULONG frames;
    } cases[] = {
        {R9Variant::FullSpeedUac1, 1, 8, 8},
        {R9Variant::HighSpeedUac2, 4, 8, 8},
        {R9Variant::HighSpeedUac2, 1, 8, 1},
        {R9Variant::HighSpeedUac2, 1, 12, 2},
        {R9Variant::HighSpeedUac2, 2, 8, 2},
    };
    for (const auto& c : cases) {
        DeleteDriver();
        Plug(std::make_unique<R9Device>(c.variant));
        Start();
        USBD_PIPE_INFORMATION pipe = {};
        pipe.PipeType = UsbdPipeTypeIsochronous;
        pipe.Interval = c.interval;
        EXPECT_EQ(driver_->PacketsToFrames(c.packets, &pipe), c.frames)
            << (c.variant == R9Variant::HighSpeedUac2 ? "high" : "full") << " speed, interval " << int(c.interval);
        pipe.PipeType = UsbdPipeTypeInterrupt;
        EXPECT_EQ(driver_->GetPipeInterval(&pipe), 0u);
    }
}

class R9Capture : public UsbStackTest, public ::testing::WithParamInterface<R9Variant> {
protected:
    PUSBD_PIPE_INFORMATION StartCapture()
    {
        Plug(std::make_unique<R9Device>(GetParam()));
        Start();
        Configure();
        EXPECT_EQ(driver_->SelectAlternate(kCaptureInterface, kAlternate24Bit), STATUS_SUCCESS);
        return driver_->FindPipe(kCaptureEndpoint);
    }
    bool HighSpeed() const { return GetParam() == R9Variant::HighSpeedUac2; }
    // Silence at 48 kHz, 4 channels of 32-bit (high speed) or 24-bit (full speed) samples.
    ULONG BytesPerPacket() const { return HighSpeed() ? 6 * 16 : 48 * 12; }
    ULONG PacketsPerFrame() const { return HighSpeed() ? 8 : 1; }
};

// Two ASAP transfers on an idle pipe: the first starts two frames ahead, the second follows it
// without a gap, and each completes at DISPATCH_LEVEL when its last packet's interval ends.
TEST_P(R9Capture, TransfersCompleteAtTheBusTimeTheirPacketsImply)
{
    PUSBD_PIPE_INFORMATION pipe = StartCapture();
    ASSERT_NE(pipe, nullptr);
    const ULONG frames = 2;
    std::vector<UCHAR> first(frames * PacketsPerFrame() * pipe->MaximumPacketSize);
    std::vector<UCHAR> second(first.size());
    const ULONG submittedFrame = usb_->CurrentFrame();
    TransferProbe probe;
    ASSERT_EQ(driver_->SubmitInTransfer(pipe, first.data(), ULONG(first.size()), &TransferProbe::Callback, &probe, 0),
              STATUS_SUCCESS);
    ASSERT_EQ(driver_->SubmitInTransfer(pipe, second.data(), ULONG(second.size()), &TransferProbe::Callback, &probe, 0),
              STATUS_SUCCESS);
    const std::vector<TransferResult> results = probe.Wait(2);
    ASSERT_EQ(results.size(), 2u);
    const ULONG lead = usb_->Options().asapLeadFrames;
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(results[i].status, STATUS_SUCCESS);
        EXPECT_EQ(results[i].startFrame, submittedFrame + lead + i * frames);
        EXPECT_EQ(results[i].busFrames, frames);
        EXPECT_EQ(results[i].completedNs, usb_->FrameStartNs(results[i].startFrame + frames));
        EXPECT_EQ(results[i].irql, DISPATCH_LEVEL);
        EXPECT_EQ(results[i].bytes, frames * PacketsPerFrame() * BytesPerPacket());
    }
    EXPECT_EQ(device_->Counters(kCaptureEndpoint).packets, 2 * frames * PacketsPerFrame());
}

// An explicit start frame is kept. One that has passed (within range) is taken, and its packets
// in frames that have begun are late. One USBD_ISO_START_FRAME_RANGE frames away either way, or one
// that puts packets into frames a transfer queued on the pipe occupies, fails the URB whole with
// USBD_STATUS_BAD_START_FRAME, reported through the callback with no bytes and frame 0.
TEST_P(R9Capture, ExplicitStartFrames)
{
    PUSBD_PIPE_INFORMATION pipe = StartCapture();
    ASSERT_NE(pipe, nullptr);
    const ULONG frameBytes = PacketsPerFrame() * pipe->MaximumPacketSize;
    const ULONG queuedFrame = usb_->CurrentFrame() + 20;
    std::vector<UCHAR> queuedBuffer(2 * frameBytes);
    TransferProbe queued;
    ASSERT_EQ(driver_->SubmitTransfer(pipe, queuedBuffer.data(), ULONG(queuedBuffer.size()),
                                      USBD_TRANSFER_DIRECTION_IN, &TransferProbe::Callback, &queued, queuedFrame),
              STATUS_SUCCESS);

    const LONG range = USBD_ISO_START_FRAME_RANGE;
    const struct {
        const char* name;
        bool fromQueued;  // the offset counts from the queued transfer's frame, else from now
        LONG offset;
        ULONG frames;
        NTSTATUS status;
        USBD_STATUS urbStatus;
        ULONG framesSent;
    } cases[] = {
        {"sharing the queued transfer's last frame", true, 1, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_BAD_START_FRAME, 0},
        {"running into the queued transfer", true, -1, 2, STATUS_UNSUCCESSFUL, USBD_STATUS_BAD_START_FRAME, 0},
        {"right after the queued transfer", true, 2, 1, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 1},
        {"ahead", false, 7, 1, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 1},
        {"beginning in the past", false, -1, 3, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 1},
        {"wholly past", false, -2, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_ISOCH_REQUEST_FAILED, 0},
        {"a whole range back", false, -range, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_BAD_START_FRAME, 0},
        {"a whole range ahead", false, range, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_BAD_START_FRAME, 0},
    };
    std::vector<UCHAR> buffer(3 * frameBytes);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ULONG start = (c.fromQueued ? queuedFrame : usb_->CurrentFrame()) + ULONG(c.offset);
        TransferProbe probe;
        ASSERT_EQ(driver_->SubmitTransfer(pipe, buffer.data(), c.frames * frameBytes, USBD_TRANSFER_DIRECTION_IN,
                                          &TransferProbe::Callback, &probe, start),
                  STATUS_SUCCESS);
        const TransferResult result = probe.Wait(1).at(0);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(driver_->CheckedUrbStatus(), c.urbStatus);
        EXPECT_EQ(result.bytes, c.framesSent * PacketsPerFrame() * BytesPerPacket());
        if (c.status == STATUS_SUCCESS) {
            EXPECT_EQ(result.startFrame, start);
            EXPECT_EQ(result.completedNs, usb_->FrameStartNs(start + c.frames));
        } else {
            EXPECT_EQ(result.startFrame, 0u);
        }
    }
    EXPECT_EQ(queued.Wait(1).at(0).status, STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(BothVariants, R9Capture,
                         ::testing::Values(R9Variant::HighSpeedUac2, R9Variant::FullSpeedUac1), usbtest::VariantName);

// Faults injected on the capture endpoint, as the completion reports them.
TEST_F(UsbStackTest, InjectedFaultsReachTheCompletion)
{
    Plug(std::make_unique<R9Device>());
    Start();
    Configure();
    ASSERT_EQ(driver_->SelectAlternate(kCaptureInterface, kAlternate24Bit), STATUS_SUCCESS);
    PUSBD_PIPE_INFORMATION pipe = driver_->FindPipe(kCaptureEndpoint);
    ASSERT_NE(pipe, nullptr);
    std::vector<UCHAR> buffer(8 * pipe->MaximumPacketSize);
    const ULONG silence = 96;
    const struct {
        const char* name;
        PipeFault fault;
        NTSTATUS status;
        ULONG bytes;
        USBD_STATUS firstPacket;
        int64_t lateNs;
    } cases[] = {
        {"two packets lost", PipeFault::PacketErrors(2, USBD_STATUS_XACT_ERROR), STATUS_SUCCESS, 6 * silence,
         USBD_STATUS_XACT_ERROR, 0},
        {"every packet missing", PipeFault::MissingPackets(8), STATUS_UNSUCCESSFUL, 0,
         USBD_STATUS_ISO_NOT_ACCESSED_BY_HW, 0},
        {"one short packet", PipeFault::ShortPackets(1, 10), STATUS_SUCCESS, 7 * silence + 10, USBD_STATUS_SUCCESS, 0},
        {"late completion", PipeFault::LateCompletions(1, 3 * kMillisecond), STATUS_SUCCESS, 8 * silence,
         USBD_STATUS_SUCCESS, 3 * kMillisecond},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Each case starts a stream afresh: the previous one has run dry.
        ASSERT_EQ(driver_->ResetPipe(pipe), STATUS_SUCCESS);
        device_->InjectFault(kCaptureEndpoint, c.fault);
        TransferProbe probe;
        ASSERT_EQ(driver_->SubmitInTransfer(pipe, buffer.data(), ULONG(buffer.size()), &TransferProbe::Callback,
                                            &probe, 0),
                  STATUS_SUCCESS);
        const TransferResult result = probe.Wait(1).at(0);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.bytes, c.bytes);
        ASSERT_EQ(driver_->CheckedPackets().size(), 8u);
        EXPECT_EQ(driver_->CheckedPackets()[0].Status, c.firstPacket);
        if (c.status == STATUS_SUCCESS) {
            EXPECT_EQ(result.completedNs, usb_->FrameStartNs(result.startFrame + 1) + c.lateNs);
        }
    }
}

// A submission that cannot get its context or its URB fails at once and gives back what it took.
TEST_F(UsbStackTest, SubmissionWithoutMemoryFailsAndKeepsNothing)
{
    Plug(std::make_unique<R9Device>());
    Start();
    Configure();
    ASSERT_EQ(driver_->SelectAlternate(kCaptureInterface, kAlternate24Bit), STATUS_SUCCESS);
    PUSBD_PIPE_INFORMATION pipe = driver_->FindPipe(kCaptureEndpoint);
    ASSERT_NE(pipe, nullptr);
    std::vector<UCHAR> buffer(8 * pipe->MaximumPacketSize);
    const size_t settled = machine_.Pools().LiveAllocations(kDefaultPoolTag).size();
    for (uint64_t failing : {1, 2}) {
        SCOPED_TRACE(failing == 1 ? "no transfer context" : "no isochronous URB");
        TransferProbe probe;
        machine_.Pools().InjectFailure(failing, kDefaultPoolTag);
        EXPECT_EQ(driver_->SubmitInTransfer(pipe, buffer.data(), ULONG(buffer.size()), &TransferProbe::Callback,
                                            &probe, 0),
                  STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(machine_.Pools().LiveAllocations(kDefaultPoolTag).size(), settled);
    }
    TransferProbe tooLong;
    std::vector<UCHAR> hundredPackets(100 * pipe->MaximumPacketSize);
    EXPECT_EQ(driver_->SubmitInTransfer(pipe, hundredPackets.data(), ULONG(hundredPackets.size()),
                                        &TransferProbe::Callback, &tooLong, 0),
              STATUS_INVALID_PARAMETER)
        << "the driver's isochronous URBs hold at most 64 packets";
}

// A stall halts the endpoint: the stalled transfer and every later one fail until the pipe is
// reset.
TEST_F(UsbStackTest, StalledPipeFailsUntilReset)
{
    Plug(std::make_unique<R9Device>());
    Start();
    Configure();
    ASSERT_EQ(driver_->SelectAlternate(kCaptureInterface, kAlternate24Bit), STATUS_SUCCESS);
    PUSBD_PIPE_INFORMATION pipe = driver_->FindPipe(kCaptureEndpoint);
    ASSERT_NE(pipe, nullptr);
    std::vector<UCHAR> buffer(8 * pipe->MaximumPacketSize);
    device_->InjectFault(kCaptureEndpoint, PipeFault::Stall());
    const USBD_STATUS expected[] = {USBD_STATUS_STALL_PID, USBD_STATUS_ENDPOINT_HALTED};
    for (USBD_STATUS urbStatus : expected) {
        TransferProbe probe;
        driver_->SubmitInTransfer(pipe, buffer.data(), ULONG(buffer.size()), &TransferProbe::Callback, &probe, 0);
        EXPECT_EQ(probe.Wait(1).at(0).status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(driver_->CheckedUrbStatus(), urbStatus);
    }
    ASSERT_EQ(driver_->ResetPipe(pipe), STATUS_SUCCESS);
    TransferProbe probe;
    driver_->SubmitInTransfer(pipe, buffer.data(), ULONG(buffer.size()), &TransferProbe::Callback, &probe, 0);
    EXPECT_EQ(probe.Wait(1).at(0).status, STATUS_SUCCESS);
}

// Abort returns every pending transfer cancelled before it completes itself; above PASSIVE_LEVEL
// the layer refuses to send it and the transfers run on.
TEST_F(UsbStackTest, AbortPipeCancelsPendingTransfersAtPassiveLevelOnly)
{
    Plug(std::make_unique<R9Device>());
    Start();
    Configure();
    ASSERT_EQ(driver_->SelectAlternate(kCaptureInterface, kAlternate24Bit), STATUS_SUCCESS);
    PUSBD_PIPE_INFORMATION pipe = driver_->FindPipe(kCaptureEndpoint);
    ASSERT_NE(pipe, nullptr);
    std::vector<UCHAR> buffer(3 * 8 * pipe->MaximumPacketSize);
    const ULONG slice = ULONG(buffer.size() / 3);

    TransferProbe running;
    for (int i = 0; i < 3; ++i) {
        driver_->SubmitInTransfer(pipe, buffer.data() + i * slice, slice, &TransferProbe::Callback, &running, 0);
    }
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    const NTSTATUS refused = driver_->AbortPipe(pipe);
    KeLowerIrql(oldIrql);
    EXPECT_EQ(refused, STATUS_UNSUCCESSFUL);
    for (const TransferResult& result : running.Wait(3)) {
        EXPECT_EQ(result.status, STATUS_SUCCESS);
    }

    TransferProbe aborted;
    for (int i = 0; i < 3; ++i) {
        driver_->SubmitInTransfer(pipe, buffer.data() + i * slice, slice, &TransferProbe::Callback, &aborted, 0);
    }
    EXPECT_EQ(driver_->AbortPipe(pipe), STATUS_SUCCESS);
    const std::vector<TransferResult> results = aborted.Wait(3);
    ASSERT_EQ(results.size(), 3u);
    for (const TransferResult& result : results) {
        EXPECT_EQ(result.status, STATUS_CANCELLED);
        EXPECT_EQ(result.bytes, 0u);
    }
    EXPECT_EQ(driver_->AbortPipe(nullptr), STATUS_INVALID_PARAMETER);
}

// The port cycle makes the device enumerate again: it forgets its configuration and the stack
// its handles, so the old configuration is gone for the driver too.
TEST_F(UsbStackTest, CyclePortReenumeratesTheDevice)
{
    BusDevice& r9 = Plug(std::make_unique<R9Device>());
    Start();
    Configure();
    ASSERT_EQ(driver_->SelectAlternate(kCaptureInterface, kAlternate24Bit), STATUS_SUCCESS);
    ASSERT_EQ(r9.Enumerations(), 1u);

    EXPECT_EQ(driver_->CyclePort(), STATUS_SUCCESS);
    EXPECT_EQ(r9.Enumerations(), 2u);
    EXPECT_EQ(r9.Model().Configuration(), 0);
    EXPECT_EQ(r9.Model().Alternate(kCaptureInterface), 0);
    EXPECT_EQ(driver_->SelectAlternate(kCaptureInterface, 0), STATUS_INVALID_PARAMETER)
        << "the configuration handle died with the old enumeration";
}

}  // namespace
