// The ASIO driver's channel to the kernel driver, against the real kernel driver on the R9 in
// loopback: the claim that lasts as long as the handle, control requests, the two ways writes
// complete, the waits the streaming thread makes, and the device's power state.
#include <vector>

#include "asio/device_channel.h"
#include "common/device_list.h"
#include "sim/pnp/pnp_manager.h"
#include "tests/asio_kernel/asio_bench.h"

namespace {

using asiokerneltest::AsioBench;

constexpr DWORD kFrames = 256;

const WCHAR* Path(const AsioBench& bench) { return reinterpret_cast<const WCHAR*>(bench.ControlPath().c_str()); }

// Bytes of one frame of the direction at the device's current rate, as the library learns them.
DWORD FrameBytes(ULONG rate, bool input)
{
    CDeviceList list;
    list.Enumerate();
    for (const RateCaps& caps : list.Device(0).Capabilities()) {
        if (caps.rate == rate) {
            return input ? caps.captureChannels * caps.captureBits / 8 : caps.renderChannels * caps.renderBits / 8;
        }
    }
    return 0;
}

// A transfer slot with its own buffer; an event only when the slot times the stream.
struct Slot {
    Slot(DWORD bytes, bool withEvent) : storage(bytes, 0)
    {
        slot.size = bytes;
        slot.buffer = storage.data();
        slot.overlapped.hEvent = withEvent ? CreateEventW(nullptr, TRUE, TRUE, nullptr) : nullptr;
    }
    ~Slot()
    {
        if (slot.overlapped.hEvent != nullptr) {
            CloseHandle(slot.overlapped.hEvent);
        }
    }
    std::vector<BYTE> storage;
    TransferSlot slot = {};
};

TEST(DeviceChannel, OpenOnAMissingPathLeavesItClosedAndCloseIsHarmless)
{
    AsioBench bench;
    CDeviceChannel channel;
    EXPECT_FALSE(channel.Open(W("\\\\?\\USB#VID_0000&PID_0000#none#{00000000-0000-0000-0000-000000000000}\\asio")));
    EXPECT_FALSE(channel.IsOpen());
    channel.Close();
    EXPECT_TRUE(channel.Open(Path(bench)));
    EXPECT_TRUE(channel.IsOpen());
    channel.Close();
    channel.Close();
    EXPECT_FALSE(channel.IsOpen());
}

TEST(DeviceChannel, OneOwnerAtATimeUntilItsHandleCloses)
{
    AsioBench bench;
    CDeviceChannel first;
    CDeviceChannel second;
    ASSERT_TRUE(first.Open(Path(bench)));
    ASSERT_TRUE(second.Open(Path(bench)));
    EXPECT_TRUE(first.Claim());
    EXPECT_FALSE(second.Claim());
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BUSY));
    first.Close();
    EXPECT_TRUE(second.Claim());
}

TEST(DeviceChannel, RequestsOutOfSequenceFail)
{
    AsioBench bench;
    CDeviceChannel channel;
    ASSERT_TRUE(channel.Open(Path(bench)));
    EXPECT_FALSE(channel.Prepare(kFrames, 1, 1, 0, 0));  // not the owner yet
    ASSERT_TRUE(channel.Claim());
    EXPECT_FALSE(channel.StartStream());  // nothing prepared
    EXPECT_FALSE(channel.Prepare(0, 1, 1, 0, 0));
    EXPECT_TRUE(channel.Prepare(kFrames, 1, 1, 0, 0));
    EXPECT_TRUE(channel.Unprepare());
    EXPECT_TRUE(channel.ReleaseClaim());
}

TEST(DeviceChannel, RateRequestWithAndWithoutAnAnswer)
{
    AsioBench bench;
    CDeviceChannel channel;
    ASSERT_TRUE(channel.Open(Path(bench)));
    EXPECT_TRUE(channel.SetRate(44100, nullptr));
    DWORD answer = 0xFFFFFFFF;
    EXPECT_TRUE(channel.SetRate(96000, &answer));
    EXPECT_LE(answer, 1u);
    CDeviceList list;
    list.Enumerate();
    EXPECT_EQ(list.Device(0).GetCurrentRate(), 96000u);
    EXPECT_FALSE(channel.SetRate(12345, nullptr));
    DWORD latency = 0;
    EXPECT_TRUE(channel.QueryLatency(&latency));
}

TEST(DeviceChannel, DuplexReadsTimeTheStreamAndWritesCompleteThroughRoutines)
{
    AsioBench bench;
    const DWORD inBytes = kFrames * FrameBytes(48000, true);
    const DWORD outBytes = kFrames * FrameBytes(48000, false);
    ASSERT_GT(inBytes, 0u);
    CDeviceChannel channel;
    ASSERT_TRUE(channel.Open(Path(bench)));
    ASSERT_TRUE(channel.Claim());
    ASSERT_TRUE(channel.Prepare(kFrames, 1, 1, 0, 0));
    ASSERT_TRUE(channel.StartStream());
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Slot in0(inBytes, true);
    Slot in1(inBytes, true);
    Slot out(outBytes, false);

    EXPECT_FALSE(channel.Read(in0.slot));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    EXPECT_FALSE(channel.Read(in1.slot));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    EXPECT_EQ(channel.WaitSlot(in0.slot, stop), kSlotCompleted);
    EXPECT_EQ(in0.slot.bytesTransferred, inBytes);

    // A duplex stream takes a write at once; its routine runs in the next alertable wait, which
    // returns for it before the next read is seen.
    EXPECT_TRUE(channel.Write(out.slot));
    EXPECT_EQ(channel.WaitSlot(in1.slot, stop), kSlotIoCompletion);
    EXPECT_EQ(channel.WaitSlot(in1.slot, stop), kSlotCompleted);
    EXPECT_EQ(in1.slot.bytesTransferred, inBytes);

    EXPECT_FALSE(channel.Read(in0.slot));
    SetEvent(stop);
    EXPECT_EQ(channel.WaitSlot(in0.slot, stop), kSlotStopped);
    EXPECT_TRUE(channel.StopStream());
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(INVALID_HANDLE_VALUE, &in0.slot.overlapped, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
    CloseHandle(stop);
}

TEST(DeviceChannel, OutputOnlyWritesPendUntilTaken)
{
    AsioBench bench;
    const DWORD outBytes = kFrames * FrameBytes(48000, false);
    CDeviceChannel channel;
    ASSERT_TRUE(channel.Open(Path(bench)));
    ASSERT_TRUE(channel.Claim());
    ASSERT_TRUE(channel.Prepare(kFrames, 0, 1, 0, 0));
    ASSERT_TRUE(channel.StartStream());
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Slot out0(outBytes, true);
    Slot out1(outBytes, true);
    for (Slot* slot : {&out0, &out1}) {
        if (!channel.Write(slot->slot)) {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
        }
    }
    EXPECT_EQ(channel.WaitSlot(out0.slot, stop), kSlotCompleted);
    EXPECT_EQ(out0.slot.bytesTransferred, outBytes);
    EXPECT_EQ(channel.WaitSlot(out1.slot, stop), kSlotCompleted);
    EXPECT_TRUE(channel.StopStream());
    CloseHandle(stop);
}

TEST(DeviceChannel, PowerStateFollowsTheDevice)
{
    AsioBench bench;
    CDeviceChannel channel;
    ASSERT_TRUE(channel.Open(Path(bench)));
    BOOL on = FALSE;
    EXPECT_TRUE(channel.GetPowerState(&on));
    EXPECT_TRUE(on);
    ASSERT_EQ(sim::pnp::SetDevicePower(bench.Bench().Bus().Pdo(), PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_TRUE(channel.GetPowerState(&on));
    EXPECT_FALSE(on);
    ASSERT_EQ(sim::pnp::SetDevicePower(bench.Bench().Bus().Pdo(), PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_TRUE(channel.GetPowerState(&on));
    EXPECT_TRUE(on);
}

}  // namespace
