#include "tests/usb/usb_stack_support.h"

#include <cstring>

#include "sim/usb/descriptors/descriptor_builder.h"

namespace usbtest {

using namespace sim::usb;

NTSTATUS TestUsbDevice::CheckTransfer(NTSTATUS status, PURB urb, TransferContext*)
{
    std::lock_guard<std::mutex> guard(lock_);
    urbStatus_ = urb->UrbHeader.Status;
    packets_.clear();
    if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
        const auto& transfer = urb->UrbIsochronousTransfer;
        packets_.assign(transfer.IsoPacket, transfer.IsoPacket + transfer.NumberOfPackets);
    }
    return status;
}

std::vector<USBD_ISO_PACKET_DESCRIPTOR> TestUsbDevice::CheckedPackets() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return packets_;
}

USBD_STATUS TestUsbDevice::CheckedUrbStatus() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return urbStatus_;
}

void TransferProbe::Callback(NTSTATUS status, ULONG bytes, ULONG startFrame, PVOID context, ULONG busFrames)
{
    auto* probe = static_cast<TransferProbe*>(context);
    {
        std::lock_guard<std::mutex> guard(probe->lock_);
        probe->results_.push_back(
            {status, bytes, startFrame, busFrames, sim::Machine::Current().Now(), KeGetCurrentIrql()});
    }
    KeSetEvent(&probe->arrived_, IO_NO_INCREMENT, FALSE);
}

std::vector<TransferResult> TransferProbe::Wait(size_t count)
{
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (results_.size() >= count) {
                return results_;
            }
        }
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10000000;  // one second of bus time is far more than any test needs
        if (KeWaitForSingleObject(&arrived_, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
            ADD_FAILURE() << "transfer callbacks missing";
            std::lock_guard<std::mutex> guard(lock_);
            return results_;
        }
    }
}

USBD_STATUS ScriptedDevice::IsoOut(const IsoSlot& slot, const uint8_t* data, uint32_t length)
{
    outLengths.push_back(length);
    outPackets.emplace_back(data, data + length);
    outIntervals.push_back(slot.busInterval);
    return USBD_STATUS_SUCCESS;
}

IsoInData ScriptedDevice::IsoIn(const IsoSlot&, uint8_t* buffer, uint32_t capacity)
{
    const size_t packet = inPackets_++;
    IsoInData data;
    data.length = packet < inLengths.size() ? inLengths[packet] : 0;
    std::memset(buffer, int(packet + 1), data.length < capacity ? data.length : capacity);
    return data;
}

ControlReply ScriptedDevice::Answer(const SetupPacket& setup)
{
    requests.push_back(setup);
    if (setup.request == kStallingRequest) {
        return ControlReply::Stall();
    }
    if (!setup.DeviceToHost()) {
        return ControlReply::Ack();
    }
    Bytes data(setup.length);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = uint8_t(i + 1);
    }
    return ControlReply::Data(data);
}

ControlReply ScriptedDevice::ClassRequest(const SetupPacket& setup, const uint8_t*, size_t) { return Answer(setup); }

ControlReply ScriptedDevice::VendorRequest(const SetupPacket& setup, const uint8_t*, size_t) { return Answer(setup); }

DescriptorSet StreamingDeviceDescriptors(UsbSpeed speed, uint16_t maxPacket, uint8_t interval)
{
    constexpr uint8_t kVendorClass = 0xFF;
    constexpr uint8_t kIsochronousAsynchronous = 0x05;
    DescriptorSet set;
    set.device = Device(DeviceFields{uint16_t(speed == UsbSpeed::High ? 0x0200 : 0x0110), 0, 0, 0, 64, 0x1209, 0x0001,
                                     0x0100, 0, 0, 0, 1});
    set.configuration = ConfigurationBuilder(1, 0, 0x80, 50)
                            .Add(Interface(0, 0, 0, kVendorClass, 0, 0))
                            .Add(Interface(0, 1, 2, kVendorClass, 0, 0))
                            .Add(Endpoint(0x01, kIsochronousAsynchronous, maxPacket, interval))
                            .Add(Endpoint(0x82, kIsochronousAsynchronous, maxPacket, interval))
                            .Build();
    set.languageIds = {0x0409};
    return set;
}

UsbStackTest::UsbStackTest(HostControllerOptions options) : usb_(std::make_unique<HostController>(options)) {}

UsbStackTest::~UsbStackTest()
{
    DeleteDriver();
    usb_.reset();
}

void UsbStackTest::DeleteDriver()
{
    KeFlushQueuedDpcs();
    delete driver_;
    driver_ = nullptr;
}

BusDevice& UsbStackTest::Plug(std::unique_ptr<UsbDeviceModel> model)
{
    device_ = &usb_->Plug(std::move(model));
    return *device_;
}

TestUsbDevice& UsbStackTest::Start()
{
    driver_ = new (NonPagedPoolNx, kDefaultPoolTag) TestUsbDevice();
    EXPECT_EQ(driver_->InitializeDevice(device_->Pdo(), 0), STATUS_SUCCESS);
    return *driver_;
}

void UsbStackTest::Configure()
{
    LONG count = 0;
    PUSBD_INTERFACE_LIST_ENTRY list = driver_->CreateInterfaceList(&count);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(driver_->ConfigurationRequest(list, count), STATUS_SUCCESS);
    ExFreePoolWithTag(list, kDefaultPoolTag);
}

NTSTATUS UsbStackTest::SendUrb(PURB urb)
{
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, device_->Pdo(), nullptr, 0, nullptr, 0,
                                             TRUE, &event, &ioStatus);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IoCallDriver(device_->Pdo(), irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

}  // namespace usbtest
