// The simulated USB stack's own rules, seen through raw URBs and IRPs as any driver would send
// them: what an isochronous URB must look like, late packets of a starved stream, cancellation,
// the port requests and a device leaving the bus.
#include <cstring>
#include <functional>
#include <vector>

#include "sim/devices/r9/r9_descriptors.h"
#include "sim/devices/r9/r9_device.h"
#include "sim/usb/usbd_status.h"
#include "tests/usb/usb_stack_support.h"

namespace {

using namespace sim::usb;
using namespace sim::devices::r9;
using sim::devices::R9Device;
using usbtest::kMillisecond;
using usbtest::TransferProbe;
using usbtest::TransferResult;
using usbtest::UsbStackTest;

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// An isochronous URB and its buffer, laid out as a driver would: packet i at i x packetBytes.
struct IsoRequest {
    IsoRequest(USBD_PIPE_HANDLE pipe, ULONG packets, ULONG packetBytes, ULONG flags, ULONG startFrame)
        : memory(GET_ISO_URB_SIZE(packets)), data(packets * packetBytes)
    {
        auto& transfer = Urb()->UrbIsochronousTransfer;
        transfer.Hdr.Length = USHORT(memory.size());
        transfer.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        transfer.PipeHandle = pipe;
        transfer.TransferFlags = flags;
        transfer.StartFrame = startFrame;
        transfer.TransferBuffer = data.data();
        transfer.TransferBufferLength = ULONG(data.size());
        transfer.NumberOfPackets = packets;
        for (ULONG i = 0; i < packets; ++i) {
            transfer.IsoPacket[i].Offset = i * packetBytes;
        }
    }
    PURB Urb() { return reinterpret_cast<PURB>(memory.data()); }

    std::vector<UCHAR> memory;
    std::vector<UCHAR> data;
};

class BusRules : public UsbStackTest {
protected:
    void SetUp() override
    {
        Plug(std::make_unique<usbtest::ScriptedDevice>(usbtest::StreamingDeviceDescriptors(UsbSpeed::High, 192, 1),
                                                       UsbSpeed::High));
        Start();
        Configure();
        ASSERT_EQ(driver_->SelectAlternate(0, 1), STATUS_SUCCESS);
        out_ = driver_->FindPipe(0x01)->PipeHandle;
    }

    NTSTATUS SendInternal(ULONG code, PVOID argument1, PVOID argument2)
    {
        KEVENT event;
        IO_STATUS_BLOCK ioStatus;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, device_->Pdo(), nullptr, 0, nullptr, 0, TRUE, &event, &ioStatus);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument1;
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument2 = argument2;
        NTSTATUS status = IoCallDriver(device_->Pdo(), irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = ioStatus.Status;
        }
        return status;
    }

    USBD_PIPE_HANDLE out_ = nullptr;
};

TEST_F(BusRules, IsochronousUrbsAreCheckedAsTheStackChecksThem)
{
    const ULONG asap = USBD_START_ISO_TRANSFER_ASAP;
    const struct {
        const char* name;
        ULONG packets;
        ULONG packetBytes;
        std::function<void(IsoRequest&, ULONG frame)> change;
        NTSTATUS status;
        USBD_STATUS urbStatus;
    } cases[] = {
        {"a whole frame of full packets", 8, 192, nullptr, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {"half a frame at high speed", 4, 192, nullptr, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
        {"an OUT packet above the maximum packet size", 8, 193, nullptr, STATUS_INVALID_PARAMETER,
         USBD_STATUS_INVALID_PARAMETER},
        {"offsets going backwards", 8, 192,
         [](IsoRequest& request, ULONG) { request.Urb()->UrbIsochronousTransfer.IsoPacket[3].Offset = 0; },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
        {"a URB too short for its packets", 8, 192,
         [](IsoRequest& request, ULONG) { request.Urb()->UrbHeader.Length -= 2 * sizeof(USBD_ISO_PACKET_DESCRIPTOR); },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
        {"a start frame too far ahead", 8, 192,
         [](IsoRequest& request, ULONG frame) {
             request.Urb()->UrbIsochronousTransfer.TransferFlags = 0;
             request.Urb()->UrbIsochronousTransfer.StartFrame = frame + USBD_ISO_START_FRAME_RANGE + 1;
         },
         STATUS_UNSUCCESSFUL, USBD_STATUS_BAD_START_FRAME},
        {"a pipe handle the stack never gave", 8, 192,
         [](IsoRequest& request, ULONG) { request.Urb()->UrbIsochronousTransfer.PipeHandle = &request; },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE},
    };
    for (const auto& c : cases) {
        IsoRequest request(out_, c.packets, c.packetBytes, asap, 0);
        if (c.change) {
            c.change(request, usb_->CurrentFrame());
        }
        EXPECT_EQ(SendUrb(request.Urb()), c.status) << c.name;
        EXPECT_EQ(request.Urb()->UrbHeader.Status, c.urbStatus) << c.name;
    }
}

// The stack's own limits on the packets of one URB, whatever a driver's are: 255 at full speed;
// 1024 at high speed, filling whole frames (eight packets a frame at a period of one microframe,
// four at a period of two).
TEST_F(UsbStackTest, PacketsPerUrbAreLimitedByBusSpeed)
{
    struct Endpoint {
        UsbSpeed speed;
        uint8_t interval;
        USBD_PIPE_HANDLE pipe = nullptr;
        BusDevice* device = nullptr;
    };
    Endpoint endpoints[] = {{UsbSpeed::Full, 1}, {UsbSpeed::High, 1}, {UsbSpeed::High, 2}};
    for (Endpoint& endpoint : endpoints) {
        endpoint.device = &Plug(std::make_unique<usbtest::ScriptedDevice>(
            usbtest::StreamingDeviceDescriptors(endpoint.speed, 192, endpoint.interval), endpoint.speed));
        Start();
        Configure();
        ASSERT_EQ(driver_->SelectAlternate(0, 1), STATUS_SUCCESS);
        endpoint.pipe = driver_->FindPipe(0x01)->PipeHandle;
        DeleteDriver();
    }
    const struct {
        size_t endpoint;
        ULONG packets;
        bool accepted;
    } cases[] = {
        {0, 255, true}, {0, 256, false},
        {1, 1024, true}, {1, 1032, false}, {1, 1020, false}, {1, 12, false},
        {2, 1024, true}, {2, 1028, false}, {2, 4, true}, {2, 6, false},
    };
    for (const auto& c : cases) {
        const Endpoint& endpoint = endpoints[c.endpoint];
        SCOPED_TRACE(testing::Message() << (endpoint.speed == UsbSpeed::High ? "high" : "full") << " speed, interval "
                                        << int(endpoint.interval) << ", " << c.packets << " packets");
        IsoRequest request(endpoint.pipe, c.packets, 192, 0, usb_->CurrentFrame() + 2);
        device_ = endpoint.device;
        EXPECT_EQ(SendUrb(request.Urb()), c.accepted ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
        EXPECT_EQ(request.Urb()->UrbHeader.Status, c.accepted ? USBD_STATUS_SUCCESS : USBD_STATUS_INVALID_PARAMETER);
    }
}

// A stream whose next transfer comes after its packets were due: the stack keeps the stream's
// timing, so the packets whose frames have begun are not sent: the controller had fetched its
// schedule for the frame under way before the URB arrived.
TEST_F(UsbStackTest, StarvedStreamLosesItsLatePackets)
{
    Plug(std::make_unique<R9Device>());
    Start();
    Configure();
    ASSERT_EQ(driver_->SelectAlternate(kCaptureInterface, kAlternate24Bit), STATUS_SUCCESS);
    PUSBD_PIPE_INFORMATION pipe = driver_->FindPipe(kCaptureEndpoint);
    ASSERT_NE(pipe, nullptr);
    // The first transfer's completion is held back, so the stream is still running when the
    // second one arrives, halfway through the frame it should start in.
    device_->InjectFault(kCaptureEndpoint, PipeFault::LateCompletions(1, 5 * kMillisecond));
    std::vector<UCHAR> first(8 * pipe->MaximumPacketSize);
    std::vector<UCHAR> second(16 * pipe->MaximumPacketSize);
    const ULONG frame = usb_->CurrentFrame();
    TransferProbe probe;
    driver_->SubmitInTransfer(pipe, first.data(), ULONG(first.size()), &TransferProbe::Callback, &probe, 0);
    machine_.RunFor(usb_->FrameStartNs(frame + 3) + kMillisecond / 2 - machine_.Now());
    driver_->SubmitInTransfer(pipe, second.data(), ULONG(second.size()), &TransferProbe::Callback, &probe, 0);

    const std::vector<TransferResult> results = probe.Wait(2);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[1].startFrame, frame + 3) << "the stream continued where it was";
    EXPECT_EQ(results[1].status, STATUS_SUCCESS);
    EXPECT_EQ(results[1].bytes, 8u * 96) << "only the second frame's packets were in time";
    const std::vector<USBD_ISO_PACKET_DESCRIPTOR> packets = driver_->CheckedPackets();
    ASSERT_EQ(packets.size(), 16u);
    EXPECT_EQ(packets[0].Status, USBD_STATUS_ISO_NA_LATE_USBPORT);
    EXPECT_EQ(packets[7].Status, USBD_STATUS_ISO_NA_LATE_USBPORT);
    EXPECT_EQ(packets[8].Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(results[0].completedNs, results[1].completedNs) << "a pipe completes in order";
}

TEST_F(BusRules, CancelledUrbComesBackCancelled)
{
    IsoRequest request(out_, 8, 192, USBD_START_ISO_TRANSFER_ASAP, 0);
    PIRP irp = IoAllocateIrp(device_->Pdo()->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    stack->Parameters.Others.Argument1 = request.Urb();
    IoSetCompletionRoutine(irp, &SignalEvent, &done, TRUE, TRUE, TRUE);
    ASSERT_EQ(IoCallDriver(device_->Pdo(), irp), STATUS_PENDING);

    EXPECT_TRUE(IoCancelIrp(irp));
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(request.Urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
    IoFreeIrp(irp);
}

// The name comes in two steps: the bare structure learns the length, a buffer of that length
// plus a terminator gets the name, which opens the controller.
TEST_F(BusRules, ControllerNameOpensTheController)
{
    UCHAR probe[sizeof(USB_HUB_NAME)] = {};
    ASSERT_EQ(SendInternal(IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME, probe, reinterpret_cast<PVOID>(sizeof probe)),
              STATUS_SUCCESS);
    ULONG actualLength;
    std::memcpy(&actualLength, probe, sizeof actualLength);
    const std::u16string& expected = usb_->ControllerName();
    EXPECT_EQ(actualLength, sizeof(ULONG) + (expected.size() + 1) * sizeof(char16_t));

    std::vector<UCHAR> buffer(actualLength + 4);
    ASSERT_EQ(SendInternal(IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME, buffer.data(),
                           reinterpret_cast<PVOID>(ULONG_PTR(buffer.size()))),
              STATUS_SUCCESS);
    std::u16string name(expected.size(), u'\0');
    std::memcpy(name.data(), buffer.data() + sizeof(ULONG), expected.size() * sizeof(char16_t));
    EXPECT_EQ(name, expected);

    UNICODE_STRING text;
    RtlInitUnicodeString(&text, reinterpret_cast<PWCHAR>(buffer.data() + sizeof(ULONG)));
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT controller = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&text, FILE_ALL_ACCESS, &file, &controller), STATUS_SUCCESS);
    EXPECT_EQ(controller, usb_->ControllerDevice());
    ObDereferenceObject(file);
}

TEST_F(BusRules, UnpluggedDeviceFailsEverything)
{
    TransferProbe probe;
    std::vector<UCHAR> buffer(8 * 192);
    PUSBD_PIPE_INFORMATION pipe = driver_->FindPipe(0x82);
    ASSERT_EQ(driver_->SubmitInTransfer(pipe, buffer.data(), ULONG(buffer.size()), &TransferProbe::Callback, &probe, 0),
              STATUS_SUCCESS);
    ULONG portStatus = 0;
    ASSERT_EQ(SendInternal(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(portStatus, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));

    usb_->Unplug(*device_);
    EXPECT_EQ(probe.Wait(1).at(0).status, kStatusDeviceNotConnected);
    EXPECT_EQ(driver_->CheckedUrbStatus(), USBD_STATUS_DEVICE_GONE);
    UCHAR data[4];
    EXPECT_EQ(driver_->SendControlRequest(0xA1, 0x01, 0, 0, sizeof data, data), kStatusDeviceNotConnected);
    ASSERT_EQ(SendInternal(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(portStatus, 0u);
    EXPECT_EQ(driver_->CyclePort(), kStatusDeviceNotConnected);
}

}  // namespace
