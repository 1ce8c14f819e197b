#include "tests/audioclass/audio_device_test_support.h"

namespace audioclasstest {

using namespace sim::usb;

DescriptorSet DeviceSet(const Bytes& configuration, UsbSpeed speed)
{
    DeviceFields fields{};
    fields.bcdUSB = speed == UsbSpeed::High ? 0x0200 : 0x0110;
    fields.bMaxPacketSize0 = 64;
    fields.idVendor = 0x1209;
    fields.idProduct = 0x0002;
    fields.bNumConfigurations = 1;
    DescriptorSet set;
    set.device = Device(fields);
    set.configuration = configuration;
    set.languageIds = {0x0409};
    return set;
}

void AudioDeviceTest::Stop()
{
    // A completion routine may still be returning its IRP when the last request has reported.
    KeFlushQueuedDpcs();
    delete driver_;
    driver_ = nullptr;
    device_ = nullptr;
    bus_ = nullptr;
    usb_.reset();
    EXPECT_TRUE(machine_.Pools().LiveAllocations().empty()) << machine_.Pools().LeakReport();
}

CUSBAudioCL& AudioDeviceTest::Start(std::unique_ptr<sim::devices::AudioClassDevice> device)
{
    Stop();
    usb_ = std::make_unique<HostController>();
    device_ = device.get();
    bus_ = &usb_->Plug(std::move(device));
    driver_ = new (NonPagedPoolNx, kDefaultPoolTag) TestAudioDriver();
    EXPECT_EQ(driver_->Init(bus_->Pdo(), 16), STATUS_SUCCESS);
    EXPECT_EQ(driver_->ConfigureDevice(), STATUS_SUCCESS);
    return *driver_;
}

CUSBAudioCL& AudioDeviceTest::Start(const Bytes& configuration, UsbSpeed speed)
{
    return Start(std::make_unique<sim::devices::AudioClassDevice>(DeviceSet(configuration, speed), speed));
}

uint64_t AudioDeviceTest::ControlTransfers() const { return bus_->Counters(0).transfers; }

void AudioDeviceTest::Sleep(int64_t milliseconds)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -milliseconds * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

}  // namespace audioclasstest
