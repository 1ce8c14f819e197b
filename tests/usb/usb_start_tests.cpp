// The device layer's start sequence against the simulated R9 (both variants), against broken
// devices, and against host controllers that do or do not say who they are.
#include <cstring>

#include "sim/devices/r9/r9_device.h"
#include "sim/devices/r9/r9_descriptors.h"
#include "tests/usb/usb_stack_support.h"

namespace {

using namespace sim::usb;
using sim::devices::R9Device;
using sim::devices::R9Variant;
using usbtest::UsbStackTest;

class R9Start : public UsbStackTest, public ::testing::WithParamInterface<R9Variant> {};

TEST_P(R9Start, ReadsDescriptorsSpeedAndBusInterface)
{
    BusDevice& r9 = Plug(std::make_unique<R9Device>(GetParam()));
    const bool highSpeed = GetParam() == R9Variant::HighSpeedUac2;
    CUSBCL& usb = Start();

    EXPECT_EQ(usb.IsHighSpeed(), highSpeed);
    const DescriptorSet& bytes = r9.Model().Descriptors();
    EXPECT_EQ(std::memcmp(&usb.GetDeviceDescriptor(), bytes.device.data(), sizeof(USB_DEVICE_DESCRIPTOR)), 0);
    // Packed descriptor fields are read by value: the structures sit at any byte address.
    EXPECT_EQ(USHORT(usb.GetDeviceDescriptor().bcdUSB), highSpeed ? 0x0200 : 0x0110);
    ASSERT_NE(usb.GetConfigurationDescriptor(), nullptr);
    ASSERT_EQ(size_t(usb.GetConfigurationDescriptor()->wTotalLength), bytes.configuration.size());
    EXPECT_EQ(std::memcmp(usb.GetConfigurationDescriptor(), bytes.configuration.data(), bytes.configuration.size()), 0);

    const USB_BUS_INTERFACE_USBDI_V1& bus = usb.GetBusInterfaceTable();
    EXPECT_EQ(bus.Size, sizeof(USB_BUS_INTERFACE_USBDI_V1));
    ASSERT_NE(bus.QueryBusTime, nullptr);
    ULONG frame = 0;
    EXPECT_EQ(bus.QueryBusTime(bus.BusContext, &frame), STATUS_SUCCESS);
    EXPECT_EQ(frame, usb_->CurrentFrame());
    EXPECT_EQ(frame, usb_->Clock().FirstFrameNumber() + ULONG(machine_.Now() / usbtest::kMillisecond));
    // The stack hands out a referenced interface for the table and for the speed query.
    EXPECT_EQ(r9.BusInterfaceReferences(), 2);
}

INSTANTIATE_TEST_SUITE_P(BothVariants, R9Start,
                         ::testing::Values(R9Variant::HighSpeedUac2, R9Variant::FullSpeedUac1), usbtest::VariantName);

// Devices whose descriptors a start must not accept.
struct BrokenDevice {
    const char* id;
    const char* name;
    void (*breakIt)(DescriptorSet& set);
    NTSTATUS expected;
};

const BrokenDevice kBrokenDevices[] = {
    {"ShortDeviceDescriptor", "device descriptor of 8 bytes", [](DescriptorSet& set) { set.device.resize(8); },
     STATUS_NOT_SUPPORTED},
    // The device stalls GET_DESCRIPTOR for string 0, which the stack reports as a failed request.
    {"NoStringDescriptorZero", "no string descriptor 0", [](DescriptorSet& set) { set.languageIds.clear(); },
     STATUS_UNSUCCESSFUL},
    {"TotalLengthTooLong", "wTotalLength 64 bytes longer than the set",
     [](DescriptorSet& set) { PutWord(set.configuration, 2, uint16_t(set.configuration.size() + 64)); },
     STATUS_NOT_SUPPORTED},
    {"TotalLengthTooShort", "wTotalLength shorter than the set's header",
     [](DescriptorSet& set) { PutWord(set.configuration, 2, 4); },
     STATUS_NOT_SUPPORTED},
};

class BrokenStart : public UsbStackTest, public ::testing::WithParamInterface<BrokenDevice> {};

TEST_P(BrokenStart, FailsAndLeavesNothingBehind)
{
    DescriptorSet set = sim::devices::R9Descriptors();
    GetParam().breakIt(set);
    Plug(std::make_unique<UsbDeviceModel>(set, UsbSpeed::High));
    driver_ = new (NonPagedPoolNx, kDefaultPoolTag) usbtest::TestUsbDevice();
    EXPECT_EQ(driver_->InitializeDevice(device_->Pdo(), 4), GetParam().expected) << GetParam().name;

    DeleteDriver();
    EXPECT_TRUE(machine_.Pools().LiveAllocations(kDefaultPoolTag).empty()) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(Descriptors, BrokenStart, ::testing::ValuesIn(kBrokenDevices),
                         [](const ::testing::TestParamInfo<BrokenDevice>& info) {
                             return std::string(info.param.id);
                         });

// What the controller reports reaches the device layer; a controller that will not say leaves
// the information zero and the start goes on.
struct ControllerCase {
    const char* id;
    const char* name;
    HostControllerOptions options;
    USB_CONTROLLER_INFO_0 expected;
};

HostControllerOptions Controller(ULONG vendor, ULONG device, USB_CONTROLLER_FLAVOR flavor, bool answers = true)
{
    HostControllerOptions options;
    options.pciVendorId = vendor;
    options.pciDeviceId = device;
    options.flavor = flavor;
    options.rootPorts = 4;
    options.featureFlags = 0;
    options.answersControllerInfo = answers;
    return options;
}

const ControllerCase kControllers[] = {
    {"Ohci1002", "OHCI of PCI vendor 0x1002", Controller(0x1002, 0x4397, OHCI_Generic),
     {0x1002, 0x4397, 3, 4, OHCI_Generic, 0}},
    {"Ehci8086", "EHCI of PCI vendor 0x8086", Controller(0x8086, 0x293A, EHCI_Generic),
     {0x8086, 0x293A, 3, 4, EHCI_Generic, 0}},
    {"NoUserRequest", "controller without the user request", Controller(0x1022, 0x7807, OHCI_Generic, false), {}},
};

class ControllerStart : public UsbStackTest, public ::testing::WithParamInterface<ControllerCase> {
protected:
    ControllerStart() : UsbStackTest(GetParam().options) {}
};

TEST_P(ControllerStart, HostControllerInformation)
{
    Plug(std::make_unique<R9Device>(R9Variant::FullSpeedUac1));
    const USB_CONTROLLER_INFO_0& info = Start().GetControllerInfo();
    const USB_CONTROLLER_INFO_0& expected = GetParam().expected;
    EXPECT_EQ(info.PciVendorId, expected.PciVendorId) << GetParam().name;
    EXPECT_EQ(info.PciDeviceId, expected.PciDeviceId);
    EXPECT_EQ(info.PciRevision, expected.PciRevision);
    EXPECT_EQ(info.NumberOfRootPorts, expected.NumberOfRootPorts);
    EXPECT_EQ(info.ControllerFlavor, expected.ControllerFlavor);
}

INSTANTIATE_TEST_SUITE_P(Controllers, ControllerStart, ::testing::ValuesIn(kControllers),
                         [](const ::testing::TestParamInfo<ControllerCase>& info) {
                             return std::string(info.param.id);
                         });

// Pool failures during the start, counted among the layer's own ("USBA") allocations: the
// controller name is only needed for the controller's identity, the descriptors are not optional.
TEST_F(UsbStackTest, StartSurvivesOnlyTheAllocationsItCanDoWithout)
{
    const struct {
        const char* what;
        uint64_t failingAllocation;
        NTSTATUS status;
    } cases[] = {
        {"controller name", 1, STATUS_SUCCESS},
        {"configuration descriptor set", 2, STATUS_INSUFFICIENT_RESOURCES},
        {"string descriptor 0", 3, STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const auto& c : cases) {
        Plug(std::make_unique<R9Device>());
        driver_ = new (NonPagedPoolNx, kDefaultPoolTag) usbtest::TestUsbDevice();
        machine_.Pools().InjectFailure(c.failingAllocation, kDefaultPoolTag);
        EXPECT_EQ(driver_->InitializeDevice(device_->Pdo(), 0), c.status) << c.what;
        EXPECT_EQ(driver_->GetControllerInfo().PciVendorId, c.failingAllocation == 1 ? 0u : 0x8086u) << c.what;
        DeleteDriver();
        EXPECT_TRUE(machine_.Pools().LiveAllocations(kDefaultPoolTag).empty()) << c.what;
    }
}

// The pool of IRPs: ten by default, more are made when they run out, and all of them go back to
// the pool when the device layer is deleted.
TEST_F(UsbStackTest, TornDownDeviceLayerLeavesNoPoolBehind)
{
    Plug(std::make_unique<R9Device>());
    Start();
    Configure();
    PIRP irps[12];
    for (PIRP& irp : irps) {
        irp = driver_->AllocateIrp();
        ASSERT_NE(irp, nullptr);
    }
    for (PIRP irp : irps) {
        driver_->RecycleIrp(irp);
    }
    EXPECT_FALSE(machine_.Pools().LiveAllocations(kDefaultPoolTag).empty());
    DeleteDriver();
    EXPECT_TRUE(machine_.Pools().LiveAllocations(kDefaultPoolTag).empty());
    machine_.Verify().SetMode(sim::VerifierMode::Record);
    machine_.VerifyNothingLeaked();
    EXPECT_TRUE(machine_.Verify().Reports().empty());
}

}  // namespace
