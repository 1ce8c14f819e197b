// CUSBAudioCL::Init on the simulated USB stack: the device layer's start sequence, then the model
// of the descriptors it read from the device.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "driver/usbaudio/usb_audio_cl.h"
#include "sim/devices/r9/r9_descriptors.h"
#include "sim/devices/r9/r9_device.h"
#include "sim/kernel/machine.h"
#include "sim/usb/descriptors/audio_descriptors.h"
#include "sim/usb/host_controller.h"

namespace {

using namespace sim::usb;

// Transfers are not this suite's business; their check passes the status on.
class AudioDevice : public CUSBAudioCL {
public:
    AudioDevice() : CUSBAudioCL(NonPagedPoolNx) {}
    NTSTATUS CheckTransfer(NTSTATUS status, PURB, TransferContext*) override { return status; }
};

class UsbAudioInitTest : public ::testing::Test {
protected:
    ~UsbAudioInitTest() override { usb_.reset(); }

    // Init on a freshly plugged device; the driver object is deleted before returning.
    NTSTATUS InitOn(std::unique_ptr<UsbDeviceModel> model,
                    const std::function<void(const CUSBAudioCL&)>& inspect = nullptr)
    {
        BusDevice& device = usb_->Plug(std::move(model));
        auto* driver = new (NonPagedPoolNx, kDefaultPoolTag) AudioDevice();
        const NTSTATUS status = driver->Init(device.Pdo(), 16);
        if (inspect != nullptr && NT_SUCCESS(status)) {
            inspect(*driver);
        }
        delete driver;
        EXPECT_TRUE(machine_.Pools().LiveAllocations(kDefaultPoolTag).empty()) << machine_.Pools().LeakReport();
        return status;
    }

    sim::Machine machine_;
    std::unique_ptr<HostController> usb_ = std::make_unique<HostController>();
};

TEST_F(UsbAudioInitTest, BuildsTheModelOfBothR9Variants)
{
    EXPECT_EQ(InitOn(std::make_unique<sim::devices::R9Device>(sim::devices::R9Variant::HighSpeedUac2),
                     [](const CUSBAudioCL& driver) {
                         const CUSBAudioModel& model = driver.GetModel();
                         EXPECT_TRUE(model.IsHighSpeed());
                         EXPECT_TRUE(driver.IsAudioClass20());
                         EXPECT_EQ(driver.CountEntities(IsTerminalEntity), 4u);
                         EXPECT_EQ(driver.CountEntities(IsUnitEntity), 2u);
                         ASSERT_NE(driver.FindEntity(sim::devices::r9::kRenderClockSourceId), nullptr);
                         ASSERT_NE(driver.FindEntity(sim::devices::r9::kCaptureClockSourceId), nullptr);
                         EXPECT_EQ(model.GetRenderInterface()->InterfaceNumber, sim::devices::r9::kRenderInterface);
                         EXPECT_EQ(model.GetCaptureInterface()->InterfaceNumber, sim::devices::r9::kCaptureInterface);
                         EXPECT_NE(model.GetRenderInterface()->Alternates[1].FeedbackEndpoint, nullptr);
                         // Render follows its feedback endpoint, not the capture stream.
                         EXPECT_FALSE(model.IsClockShared());
                         EXPECT_EQ(driver.GetCurrentAlternate(kDirectionOut), 0u);
                     }),
              STATUS_SUCCESS);
    EXPECT_EQ(InitOn(std::make_unique<sim::devices::R9Device>(sim::devices::R9Variant::SharedClock),
                     [](const CUSBAudioCL& driver) {
                         EXPECT_TRUE(driver.IsAudioClass20());
                         EXPECT_EQ(driver.FindEntity(sim::devices::r9::kCaptureClockSourceId), nullptr);
                         EXPECT_TRUE(driver.GetModel().IsClockShared());
                     }),
              STATUS_SUCCESS);
    EXPECT_EQ(InitOn(std::make_unique<sim::devices::R9Device>(sim::devices::R9Variant::FullSpeedUac1),
                     [](const CUSBAudioCL& driver) {
                         const CUSBAudioModel& model = driver.GetModel();
                         EXPECT_FALSE(model.IsHighSpeed());
                         EXPECT_FALSE(driver.IsAudioClass20());
                         EXPECT_EQ(model.GetStreamingInterfaceCount(), 2);
                         EXPECT_NE(model.GetRenderInterface()->Alternates[1].FeedbackEndpoint, nullptr);
                         EXPECT_TRUE(model.IsClockShared());
                     }),
              STATUS_SUCCESS);
}

TEST_F(UsbAudioInitTest, FailuresComeBackUnchanged)
{
    // The device layer's own failure: a device that stalls string descriptor 0.
    DescriptorSet noLanguages = sim::devices::R9Descriptors();
    noLanguages.languageIds.clear();
    EXPECT_EQ(InitOn(std::make_unique<UsbDeviceModel>(noLanguages, UsbSpeed::High)), STATUS_UNSUCCESSFUL);

    // The model's: the render interface names a terminal that does not exist.
    DescriptorSet badLink = sim::devices::R9Descriptors();
    Bytes& bytes = badLink.configuration;
    for (size_t at = 0; at + 3 < bytes.size(); at += bytes[at]) {
        // AS general descriptors linking the render terminal (the AC header, also subtype 1, has
        // the low byte of bcdADC there).
        if (bytes[at + 1] == kCsInterface && bytes[at + 2] == kAsGeneral &&
            bytes[at + 3] == sim::devices::r9::kRenderInputTerminalId) {
            bytes[at + 3] = 0x77;
        }
    }
    EXPECT_EQ(InitOn(std::make_unique<UsbDeviceModel>(badLink, UsbSpeed::High)), STATUS_NOT_SUPPORTED);
}

// A real device's descriptors served by the simulated bus, at the speed it ran at.
TEST_F(UsbAudioInitTest, RealDevicesThroughTheStack)
{
    const struct {
        const char* name;
        UsbSpeed speed;
        LONG interfaces;
    } cases[] = {{"behringer_umc202hd_192k", UsbSpeed::High, 2},
                 {"arturia_audiofuse_16rig", UsbSpeed::High, 2},
                 {"teufel_cinebar_one", UsbSpeed::Full, 1},
                 {"plantronics_headset_c024", UsbSpeed::Full, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto file = ReadBinaryFile(std::string(R9_USB_FIXTURES_DIR) + "/" + c.name + ".bin");
        ASSERT_TRUE(file.has_value());
        DescriptorSet set = DescriptorSetFromDump(*file);
        set.languageIds = {0x0409};
        EXPECT_EQ(InitOn(std::make_unique<UsbDeviceModel>(set, c.speed),
                         [&](const CUSBAudioCL& driver) {
                             EXPECT_EQ(driver.GetModel().GetStreamingInterfaceCount(), c.interfaces);
                             EXPECT_EQ(driver.GetModel().IsHighSpeed(), c.speed == UsbSpeed::High);
                         }),
                  STATUS_SUCCESS);
    }
}

}  // namespace
