// Configuration and alternate selection through the device layer: what the stack puts in the
// interface table, what the device sees, and the requests the layer refuses.
#include "sim/devices/r9/r9_descriptors.h"
#include "sim/devices/r9/r9_device.h"
#include "tests/usb/fixture_files.h"
#include "tests/usb/usb_stack_support.h"

namespace {

using namespace sim::usb;
using namespace sim::devices::r9;
using sim::devices::R9Device;
using sim::devices::R9Variant;
using usbtest::UsbStackTest;

TEST_F(UsbStackTest, InterfaceListHoldsAlternateZeroOfEveryInterface)
{
    Plug(std::make_unique<R9Device>());
    Start();
    LONG count = 0;
    PUSBD_INTERFACE_LIST_ENTRY list = driver_->CreateInterfaceList(&count);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(count, 3);
    for (LONG i = 0; i < 3; ++i) {
        ASSERT_NE(list[i].InterfaceDescriptor, nullptr);
        EXPECT_EQ(list[i].InterfaceDescriptor->bInterfaceNumber, i);
        EXPECT_EQ(list[i].InterfaceDescriptor->bAlternateSetting, 0);
    }
    EXPECT_EQ(list[3].InterfaceDescriptor, nullptr);
    ExFreePoolWithTag(list, kDefaultPoolTag);
}

TEST_F(UsbStackTest, AlternatesOpenThePipesTheDescriptorsDescribe)
{
    BusDevice& r9 = Plug(std::make_unique<R9Device>());
    Start();
    Configure();
    EXPECT_EQ(r9.Model().Configuration(), 1);
    EXPECT_EQ(driver_->FindPipe(kRenderEndpoint), nullptr) << "alternate 0 has no endpoints";

    ASSERT_EQ(driver_->SelectAlternate(kRenderInterface, kAlternate24Bit), STATUS_SUCCESS);
    EXPECT_EQ(r9.Model().Alternate(kRenderInterface), kAlternate24Bit);
    PUSBD_PIPE_INFORMATION data = driver_->FindPipe(kRenderEndpoint);
    PUSBD_PIPE_INFORMATION feedback = driver_->FindPipe(kFeedbackEndpoint);
    ASSERT_NE(data, nullptr);
    ASSERT_NE(feedback, nullptr);
    EXPECT_EQ(data->PipeType, UsbdPipeTypeIsochronous);
    EXPECT_EQ(data->MaximumPacketSize, 784);  // 49 frames of 4 channels x 4 bytes
    EXPECT_EQ(data->Interval, 1);
    EXPECT_NE(data->PipeHandle, nullptr);
    EXPECT_EQ(feedback->MaximumPacketSize, 4);
    EXPECT_EQ(feedback->Interval, 4);
    EXPECT_NE(feedback->PipeHandle, data->PipeHandle);

    ASSERT_EQ(driver_->SelectAlternate(kRenderInterface, kAlternate16Bit), STATUS_SUCCESS);
    EXPECT_EQ(driver_->FindPipe(kRenderEndpoint)->MaximumPacketSize, 392);
    ASSERT_EQ(driver_->SelectAlternate(kRenderInterface, 0), STATUS_SUCCESS);
    EXPECT_EQ(driver_->FindPipe(kRenderEndpoint), nullptr);
    EXPECT_EQ(r9.Model().Alternate(kRenderInterface), 0);
}

// A configuration of the control and render interfaces only: the capture interface is not part
// of it, so the layer refuses to select its alternates without asking the stack.
TEST_F(UsbStackTest, SelectAlternateOutsideTheConfigurationIsRefused)
{
    BusDevice& r9 = Plug(std::make_unique<R9Device>());
    Start();
    LONG count = 0;
    PUSBD_INTERFACE_LIST_ENTRY list = driver_->CreateInterfaceList(&count);
    ASSERT_NE(list, nullptr);
    list[2].InterfaceDescriptor = nullptr;
    ASSERT_EQ(driver_->ConfigurationRequest(list, 2), STATUS_SUCCESS);
    ExFreePoolWithTag(list, kDefaultPoolTag);

    EXPECT_EQ(driver_->SelectAlternate(kCaptureInterface, kAlternate24Bit), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r9.Model().Alternate(kCaptureInterface), 0);
    EXPECT_EQ(driver_->SelectAlternate(kRenderInterface, 7), STATUS_INVALID_PARAMETER) << "no such alternate";
    EXPECT_EQ(driver_->SelectAlternate(kRenderInterface, kAlternate16Bit), STATUS_SUCCESS);
}

TEST_F(UsbStackTest, SelectAlternateBeforeConfigurationIsUnsuccessful)
{
    Plug(std::make_unique<R9Device>());
    Start();
    EXPECT_EQ(driver_->SelectAlternate(kRenderInterface, kAlternate24Bit), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(driver_->FindPipe(kRenderEndpoint), nullptr);
}

TEST_F(UsbStackTest, ControlRequestsReachTheDeviceWithTheirTypeAndRecipient)
{
    auto model = std::make_unique<usbtest::ScriptedDevice>(usbtest::StreamingDeviceDescriptors(UsbSpeed::High, 192, 1),
                                                           UsbSpeed::High);
    usbtest::ScriptedDevice* device = model.get();
    Plug(std::move(model));
    Start();

    const UCHAR requestTypes[] = {0x21, 0xA1, 0x22, 0xA2, 0x23, 0xA3, 0x40, 0xC0, 0x41, 0xC1, 0x42, 0xC2, 0x43, 0xC3};
    UCHAR buffer[16] = {};
    for (UCHAR type : requestTypes) {
        EXPECT_EQ(driver_->SendControlRequest(type, 0x01, 0x0100, 0x0002, sizeof buffer, buffer), STATUS_SUCCESS)
            << std::hex << int(type);
    }
    ASSERT_EQ(device->requests.size(), sizeof requestTypes);
    for (size_t i = 0; i < sizeof requestTypes; ++i) {
        EXPECT_EQ(device->requests[i].requestType, requestTypes[i]);
        EXPECT_EQ(device->requests[i].value, 0x0100);
        EXPECT_EQ(device->requests[i].index, 0x0002);
        EXPECT_EQ(device->requests[i].length, sizeof buffer);
    }
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[15], 16);

    EXPECT_EQ(driver_->SendControlRequest(0x21, usbtest::ScriptedDevice::kStallingRequest, 0, 0, 0, nullptr),
              STATUS_UNSUCCESSFUL);
}

TEST_F(UsbStackTest, ControlRequestsTheLayerRefusesNeverReachTheDevice)
{
    auto model = std::make_unique<usbtest::ScriptedDevice>(usbtest::StreamingDeviceDescriptors(UsbSpeed::High, 192, 1),
                                                           UsbSpeed::High);
    usbtest::ScriptedDevice* device = model.get();
    Plug(std::move(model));
    Start();
    const uint64_t controlTransfers = device_->Counters(0).transfers;
    UCHAR buffer[4] = {};
    const struct {
        const char* why;
        UCHAR requestType;
        USHORT length;
        PVOID buffer;
    } refused[] = {
        {"standard, device to host", 0x80, sizeof buffer, buffer},
        {"standard, to an interface", 0x01, 0, nullptr},
        {"reserved type", 0xE1, sizeof buffer, buffer},
        {"recipient above 3", 0x24, 0, nullptr},
        {"data stage without a buffer", 0xA1, 4, nullptr},
    };
    for (const auto& request : refused) {
        EXPECT_EQ(driver_->SendControlRequest(request.requestType, 0x06, 0x0100, 0, request.length, request.buffer),
                  STATUS_INVALID_PARAMETER)
            << request.why;
    }
    EXPECT_TRUE(device->requests.empty());
    EXPECT_EQ(device_->Counters(0).transfers, controlTransfers) << "nothing went out on the default pipe";
}

// Devices loaded from real descriptor dumps: every interface that has an alternate 1 gets it, and
// the pipes the stack opens carry the endpoints' own sizes and intervals.
struct Dump {
    const char* name;
    UsbSpeed speed;
    int streamingInterfaces;  // the interfaces with an alternate 1, as the dump's facts list them
};

class RealDevice : public UsbStackTest, public ::testing::WithParamInterface<Dump> {};

TEST_P(RealDevice, ConfiguresEveryInterfaceAndItsAlternates)
{
    DescriptorSet set = usbtest::LoadFixture(GetParam().name);
    ASSERT_FALSE(set.configuration.empty()) << GetParam().name;
    // The dumps carry no strings; the devices themselves answer in US English.
    set.languageIds = {kEnglishUnitedStates};
    Plug(std::make_unique<UsbDeviceModel>(set, GetParam().speed));
    Start();
    Configure();
    PUSB_CONFIGURATION_DESCRIPTOR configuration = driver_->GetConfigurationDescriptor();
    int selected = 0;
    for (UCHAR number = 0; number < configuration->bNumInterfaces; ++number) {
        PUSB_INTERFACE_DESCRIPTOR alternate =
            USBD_ParseConfigurationDescriptorEx(configuration, configuration, number, 1, -1, -1, -1);
        if (alternate == nullptr) {
            continue;
        }
        ASSERT_EQ(driver_->SelectAlternate(number, 1), STATUS_SUCCESS) << "interface " << int(number);
        ++selected;
        PVOID at = alternate;
        for (UCHAR i = 0; i < alternate->bNumEndpoints; ++i) {
            auto* endpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(USBD_ParseDescriptors(
                configuration, configuration->wTotalLength, at, USB_ENDPOINT_DESCRIPTOR_TYPE));
            ASSERT_NE(endpoint, nullptr);
            PUSBD_PIPE_INFORMATION pipe = driver_->FindPipe(endpoint->bEndpointAddress);
            ASSERT_NE(pipe, nullptr) << "endpoint " << std::hex << int(endpoint->bEndpointAddress);
            EXPECT_EQ(pipe->MaximumPacketSize, USHORT(endpoint->wMaxPacketSize));
            EXPECT_EQ(pipe->Interval, endpoint->bInterval);
            at = reinterpret_cast<PUCHAR>(endpoint) + endpoint->bLength;
        }
    }
    EXPECT_EQ(selected, GetParam().streamingInterfaces);
    EXPECT_EQ(device_->Model().Configuration(), configuration->bConfigurationValue);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, RealDevice,
                         ::testing::Values(Dump{"behringer_umc202hd_192k", UsbSpeed::High, 2},
                                           Dump{"arturia_audiofuse_16rig", UsbSpeed::High, 2},
                                           Dump{"teufel_cinebar_one", UsbSpeed::Full, 1},
                                           Dump{"plantronics_headset_c024", UsbSpeed::Full, 2}),
                         [](const ::testing::TestParamInfo<Dump>& info) { return std::string(info.param.name); });

}  // namespace
