// When the bus touches a transfer's buffer. The controller takes a frame's OUT packets from the
// buffer as the frame begins and puts IN packets there once their frame has ended; a buffer is the
// stack's from submission to completion, and handing it out again before is a driver bug. The
// frame counter wraps under a running stream and may run off the machine's clock.
#include <algorithm>
#include <vector>

#include "tests/usb/usb_stack_support.h"

namespace {

using namespace sim::usb;
using usbtest::kMillisecond;
using usbtest::ScriptedDevice;
using usbtest::TransferProbe;
using usbtest::TransferResult;
using usbtest::UsbStackTest;

constexpr ULONG kPacketBytes = 192;
constexpr ULONG kFramePackets = 8;
constexpr ULONG kFrameBytes = kFramePackets * kPacketBytes;
constexpr int64_t kMicroframe = kMillisecond / 8;

// A high-speed device with an OUT endpoint 0x01 and an IN endpoint 0x82 of 192 bytes every
// microframe, driven through the device layer.
class BufferTiming : public UsbStackTest {
protected:
    explicit BufferTiming(HostControllerOptions options = {}) : UsbStackTest(options) {}

    void SetUp() override
    {
        auto model = std::make_unique<ScriptedDevice>(usbtest::StreamingDeviceDescriptors(UsbSpeed::High, kPacketBytes, 1),
                                                      UsbSpeed::High);
        device = model.get();
        Plug(std::move(model));
        Start();
        Configure();
        ASSERT_EQ(driver_->SelectAlternate(0, 1), STATUS_SUCCESS);
    }

    NTSTATUS Submit(uint8_t endpoint, UCHAR* buffer, ULONG length, TransferProbe& probe, ULONG startFrame = 0)
    {
        ULONG flags = (endpoint & 0x80) != 0 ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
        flags |= startFrame == 0 ? USBD_START_ISO_TRANSFER_ASAP : 0;
        return driver_->SubmitTransfer(driver_->FindPipe(endpoint), buffer, length, flags, &TransferProbe::Callback,
                                       &probe, startFrame);
    }
    void RunUntil(int64_t ns) { machine_.RunFor(ns - machine_.Now()); }

    ScriptedDevice* device = nullptr;
};

Bytes Filled(ULONG length, UCHAR value) { return Bytes(length, value); }

// Two frames of OUT packets. Halfway through the first frame the driver overwrites a packet of
// that frame, a packet of it whose microframe is still to come, and a packet of the next frame:
// only the last write reaches the device.
TEST_F(BufferTiming, OutPacketsAreTakenWhenTheirFrameBegins)
{
    const ULONG start = usb_->CurrentFrame() + 2;
    std::vector<UCHAR> buffer(2 * kFrameBytes, 0x11);
    TransferProbe probe;
    ASSERT_EQ(Submit(0x01, buffer.data(), ULONG(buffer.size()), probe, start), STATUS_SUCCESS);

    RunUntil(usb_->FrameStartNs(start) + kMillisecond / 2);
    for (ULONG packet : {0u, 7u, 8u}) {
        std::fill_n(buffer.begin() + packet * kPacketBytes, kPacketBytes, UCHAR(0x22));
    }
    ASSERT_EQ(probe.Wait(1).at(0).status, STATUS_SUCCESS);

    ASSERT_EQ(device->outPackets.size(), 16u);
    EXPECT_EQ(device->outPackets[0], Filled(kPacketBytes, 0x11)) << "fetched before the write";
    EXPECT_EQ(device->outPackets[7], Filled(kPacketBytes, 0x11)) << "its whole frame was fetched";
    EXPECT_EQ(device->outPackets[8], Filled(kPacketBytes, 0x22)) << "its frame had not begun";
    EXPECT_EQ(device->outPackets[9], Filled(kPacketBytes, 0x11));
}

// Two frames of IN packets: nothing is in the buffer while the first frame runs, even in its last
// microframe; the first frame's packets are there once it has ended, the second's once it has.
TEST_F(BufferTiming, InPacketsLandWhenTheirFrameHasEnded)
{
    device->inLengths.assign(2 * kFramePackets, kPacketBytes);
    const ULONG start = usb_->CurrentFrame() + 2;
    std::vector<UCHAR> buffer(2 * kFrameBytes, 0xEE);
    TransferProbe probe;
    ASSERT_EQ(Submit(0x82, buffer.data(), ULONG(buffer.size()), probe, start), STATUS_SUCCESS);
    auto packet = [&buffer](ULONG index) {
        return Bytes(buffer.begin() + index * kPacketBytes, buffer.begin() + (index + 1) * kPacketBytes);
    };

    RunUntil(usb_->FrameStartNs(start) + 7 * kMicroframe + kMicroframe / 2);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.end()), Filled(2 * kFrameBytes, 0xEE));

    RunUntil(usb_->FrameStartNs(start + 1) + kMillisecond / 2);
    for (ULONG i = 0; i < kFramePackets; ++i) {
        EXPECT_EQ(packet(i), Filled(kPacketBytes, UCHAR(i + 1))) << "packet " << i;
        EXPECT_EQ(packet(kFramePackets + i), Filled(kPacketBytes, 0xEE)) << "packet " << kFramePackets + i;
    }

    const TransferResult result = probe.Wait(1).at(0);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.completedNs, usb_->FrameStartNs(start + 2));
    for (ULONG i = 0; i < 2 * kFramePackets; ++i) {
        EXPECT_EQ(packet(i), Filled(kPacketBytes, UCHAR(i + 1))) << "packet " << i;
    }
}

// Memory a pending transfer holds may be written (a render path fills packets not yet fetched) but
// not submitted again, on its own pipe or another: the verifier reports it and the stack refuses
// the URB. Memory beside it, or the same memory once its transfer has completed, is fine.
TEST_F(BufferTiming, SubmittingABufferStillInFlightIsReported)
{
    const std::string rule = "USB buffer reused before its transfer completed";
    machine_.Verify().SetMode(sim::VerifierMode::Record);
    std::vector<UCHAR> memory(3 * kFrameBytes);
    UCHAR* first = memory.data();
    TransferProbe held;
    ASSERT_EQ(Submit(0x01, first, kFrameBytes, held), STATUS_SUCCESS);

    const struct {
        const char* name;
        uint8_t endpoint;
        ULONG offset;
        bool reported;
    } cases[] = {
        {"its last packet, on the other pipe", 0x82, kFrameBytes - kPacketBytes, true},
        {"all of it, on its own pipe", 0x01, 0, true},
        {"the memory right after it", 0x82, kFrameBytes, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        machine_.Verify().ClearReports();
        TransferProbe probe;
        ASSERT_EQ(Submit(c.endpoint, first + c.offset, kFrameBytes, probe), STATUS_SUCCESS);
        EXPECT_EQ(machine_.Verify().HasReport(rule), c.reported);
        EXPECT_EQ(probe.Wait(1).at(0).status, c.reported ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS);
    }
    ASSERT_EQ(held.Wait(1).at(0).status, STATUS_SUCCESS);

    machine_.Verify().ClearReports();
    TransferProbe again;
    ASSERT_EQ(Submit(0x01, first, kFrameBytes, again, usb_->CurrentFrame() + 2), STATUS_SUCCESS);
    EXPECT_EQ(again.Wait(1).at(0).status, STATUS_SUCCESS);
    EXPECT_TRUE(machine_.Verify().Reports().empty());
    machine_.Verify().SetMode(sim::VerifierMode::Abort);
}

// A counter near its wrap, on a crystal 400 ppm fast: a stream of four one-frame transfers runs
// across the wrap without a gap, each completing when its frame ends on the controller's clock (to
// the 100-ns resolution of a kernel timer).
class WrappingBus : public BufferTiming {
protected:
    static HostControllerOptions Options()
    {
        HostControllerOptions options;
        options.firstFrameNumber = 0xFFFFFFF0;
        options.clockPpm = 400;
        return options;
    }
    WrappingBus() : BufferTiming(Options()) {}
};

TEST_F(WrappingBus, AStreamCrossesTheWrap)
{
    RunUntil(usb_->FrameStartNs(0xFFFFFFFC) + kMillisecond / 2);
    std::vector<UCHAR> buffer(4 * kFrameBytes);
    TransferProbe probe;
    for (ULONG i = 0; i < 4; ++i) {
        ASSERT_EQ(Submit(0x01, buffer.data() + i * kFrameBytes, kFrameBytes, probe), STATUS_SUCCESS);
    }
    const std::vector<TransferResult> results = probe.Wait(4);
    ASSERT_EQ(results.size(), 4u);
    const ULONG expectedStart[] = {0xFFFFFFFE, 0xFFFFFFFF, 0, 1};
    for (ULONG i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(results[i].status, STATUS_SUCCESS);
        EXPECT_EQ(results[i].startFrame, expectedStart[i]);
        EXPECT_EQ(results[i].busFrames, 1u);
        const int64_t end = usb_->FrameStartNs(expectedStart[i] + 1);
        EXPECT_GE(results[i].completedNs, end);
        EXPECT_LT(results[i].completedNs, end + 100);
    }
    EXPECT_EQ(usb_->FrameStartNs(0) - usb_->FrameStartNs(0xFFFFFFFF), 999600) << "a frame 400 ppm short";
    ASSERT_EQ(device->outIntervals.size(), 4 * kFramePackets);
    for (size_t i = 1; i < device->outIntervals.size(); ++i) {
        EXPECT_EQ(device->outIntervals[i], device->outIntervals[i - 1] + 1) << "microframe " << i;
    }
}

}  // namespace
