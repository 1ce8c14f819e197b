#include "tests/transfers/transfer_test_support.h"

#include <utility>

#include "sim/usb/descriptors/audio_descriptors.h"
#include "tests/audioclass/model_test_support.h"

namespace transfertest {

using namespace sim::usb;
using audioclasstest::Configuration;
using audioclasstest::ControlInterface;
using audioclasstest::StreamingAlternate;

namespace {

constexpr uint8_t kRenderClock = 10;
constexpr uint8_t kCaptureClock = 11;
constexpr uint8_t kInternalClock = 0x03;
constexpr uint8_t kFrequencyReadWriteValidityRead = 0x07;
constexpr uint8_t kIsochronousAsynchronous = 0x05;
constexpr uint8_t kIsochronousFeedback = 0x11;

}  // namespace

Bytes RenderOnly20(bool highSpeed, uint8_t bits, uint8_t subslotBytes, uint16_t maxPacket, bool feedback,
                   uint8_t interfaceClass)
{
    Bytes render = Concat({StreamingAlternate(1, 0, 0, interfaceClass),
                           StreamingAlternate(1, 1, feedback ? 2 : 1, interfaceClass),
                           uac2::AsGeneral(1, 0, kFormatTypeI, 0x01, 2, 0, 0), uac2::FormatTypeI(subslotBytes, bits),
                           Endpoint(kRenderEndpoint, kIsochronousAsynchronous, maxPacket, 1),
                           uac2::IsoEndpoint(0, 0, 0, 0)});
    if (feedback) {
        // 16.16 every millisecond at high speed, 10.14 every frame at full speed.
        Append(render, Endpoint(kFeedbackEndpoint, kIsochronousFeedback, highSpeed ? 4 : 3, highSpeed ? 4 : 1));
    }
    return Configuration(
        {ControlInterface(0, interfaceClass),
         uac2::AudioControl(0x0200, 0x08, 0,
                            {uac2::ClockSource(kRenderClock, kInternalClock, kFrequencyReadWriteValidityRead, 0, 0),
                             uac2::ClockSource(kCaptureClock, kInternalClock, kFrequencyReadWriteValidityRead, 0, 0),
                             uac2::InputTerminal(1, kTerminalUsbStreaming, 0, kRenderClock, 2, 0, 0, 0, 0),
                             uac2::OutputTerminal(3, kTerminalSpeaker, 0, 1, kRenderClock, 0, 0),
                             uac2::InputTerminal(4, kTerminalLineConnector, 0, kCaptureClock, 2, 0, 0, 0, 0),
                             uac2::OutputTerminal(6, kTerminalUsbStreaming, 0, 4, kCaptureClock, 0, 0)}),
         render});
}

namespace {

DescriptorSet DeviceSet(const Bytes& configuration, UsbSpeed speed, uint16_t vendor, uint16_t product)
{
    DeviceFields fields{};
    fields.bcdUSB = speed == UsbSpeed::High ? 0x0200 : 0x0110;
    fields.bMaxPacketSize0 = 64;
    fields.idVendor = vendor;
    fields.idProduct = product;
    fields.bNumConfigurations = 1;
    DescriptorSet set;
    set.device = Device(fields);
    set.configuration = configuration;
    set.languageIds = {0x0409};
    return set;
}

}  // namespace

StreamingDevice::StreamingDevice(const Bytes& configuration, UsbSpeed speed, uint16_t vendor, uint16_t product)
    : AudioClassDevice(DeviceSet(configuration, speed, vendor, product), speed)
{
}

IsoInData StreamingDevice::IsoIn(const IsoSlot& slot, uint8_t* buffer, uint32_t capacity)
{
    std::lock_guard<std::mutex> guard(lock_);
    IsoInData data;
    if (slot.endpoint == kFeedbackEndpoint && !feedback_.empty()) {
        const Bytes packet = std::move(feedback_.front());
        feedback_.pop_front();
        data.length = uint32_t(packet.size() < capacity ? packet.size() : capacity);
        std::copy(packet.begin(), packet.begin() + data.length, buffer);
    } else if (slot.endpoint == kCaptureEndpoint) {
        data.length = capture_.empty() ? captureDefault_ : capture_.front();
        if (!capture_.empty()) {
            capture_.pop_front();
        }
        std::fill(buffer, buffer + (data.length < capacity ? data.length : capacity), uint8_t(0));
    }
    return data;
}

USBD_STATUS StreamingDevice::IsoOut(const IsoSlot& slot, const uint8_t* data, uint32_t length)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (slot.endpoint == kRenderEndpoint) {
        render_.emplace_back(data, data + length);
    }
    return USBD_STATUS_SUCCESS;
}

void StreamingDevice::ScriptFeedback(std::vector<Bytes> packets)
{
    std::lock_guard<std::mutex> guard(lock_);
    feedback_.assign(packets.begin(), packets.end());
}

void StreamingDevice::ScriptCapture(std::vector<uint32_t> lengths, uint32_t captureDefault)
{
    std::lock_guard<std::mutex> guard(lock_);
    capture_.assign(lengths.begin(), lengths.end());
    captureDefault_ = captureDefault;
}

std::vector<Bytes> StreamingDevice::RenderPackets() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return render_;
}

void CompletionProbe::Callback(NTSTATUS status, ULONG bytes, ULONG, PVOID context, ULONG)
{
    auto* probe = static_cast<CompletionProbe*>(context);
    {
        std::lock_guard<std::mutex> guard(probe->lock_);
        probe->results_.push_back({status, bytes});
    }
    KeSetEvent(&probe->arrived_, IO_NO_INCREMENT, FALSE);
}

std::vector<Completion> CompletionProbe::Wait(size_t count)
{
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (results_.size() >= count) {
                return results_;
            }
        }
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10000000;
        if (KeWaitForSingleObject(&arrived_, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
            ADD_FAILURE() << "transfer callbacks missing";
            std::lock_guard<std::mutex> guard(lock_);
            return results_;
        }
    }
}

CUSBAudioCL& TransferTest::Start(std::unique_ptr<StreamingDevice> device)
{
    StreamingDevice* scripted = device.get();
    CUSBAudioCL& driver = StartOn(std::move(device));
    device_ = scripted;
    return driver;
}

CUSBAudioCL& TransferTest::StartOn(std::unique_ptr<UsbDeviceModel> device)
{
    Stop();
    usb_ = std::make_unique<HostController>(busOptions_);
    BusDevice& bus = usb_->Plug(std::move(device));
    driver_ = new (NonPagedPoolNx, kDefaultPoolTag) CUSBAudioCL(NonPagedPoolNx);
    EXPECT_EQ(driver_->Init(bus.Pdo(), 16), STATUS_SUCCESS);
    EXPECT_EQ(driver_->ConfigureDevice(), STATUS_SUCCESS);
    return *driver_;
}

void TransferTest::Select(ULONG direction, ULONG bits, ULONG rate)
{
    ULONG maxBytes = 0;
    ASSERT_EQ(driver_->SelectStreamingFormat(direction, 1, 2, bits, rate, 1, nullptr, nullptr, &maxBytes),
              STATUS_SUCCESS);
}

void TransferTest::SetFeedback(ULONG value)
{
    StreamingInterface* render = driver_->GetStreamingInterface(usbaudio::kDirectionOut);
    KIRQL irql;
    KeAcquireSpinLock(&render->FeedbackLock, &irql);
    render->FeedbackValue = value;
    KeReleaseSpinLock(&render->FeedbackLock, irql);
}

void TransferTest::Stop()
{
    // A completion routine may still be returning its IRP when its callback has reported.
    KeFlushQueuedDpcs();
    delete driver_;
    driver_ = nullptr;
    device_ = nullptr;
    usb_.reset();
    EXPECT_TRUE(machine_.Pools().LiveAllocations().empty()) << machine_.Pools().LeakReport();
}

}  // namespace transfertest
