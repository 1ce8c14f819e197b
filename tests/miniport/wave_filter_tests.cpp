// The miniport under the simulated PortCls: a small adapter driver registers a wave filter with
// UsbWaveMiniport and the fake adapter, as the driver's start does, and the tests take it away
// through the engine callback, as the adapter does on a rate change.
#include <gtest/gtest.h>

#include "driver/miniport/usb_wave_miniport.h"
#include "sim/devices/r9/r9_device.h"
#include "sim/io/drivers.h"
#include "sim/kernel/machine.h"
#include "sim/pnp/device_tree.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/portcls/portcls_sim.h"
#include "sim/usb/host_controller.h"
#include "tests/miniport/fake_adapter.h"

namespace miniport_test {
namespace {

// The adapter the test driver's start binds its filters to; set by the fixture.
FakeAdapter* startAdapter = nullptr;

// A port with a fresh UsbWaveMiniport bound to the fake adapter, not yet registered.
NTSTATUS NewWavePort(PDEVICE_OBJECT deviceObject, PPORT* port)
{
    NTSTATUS status = PcNewPort(port, CLSID_PortWaveCyclic);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PMINIPORTWAVECYCLIC miniport = nullptr;
    status = CreateUsbWaveMiniport(NonPagedPoolNx, &miniport);
    if (NT_SUCCESS(status)) {
        status = (*port)->Init(deviceObject, nullptr, miniport, startAdapter, nullptr);
        miniport->Release();
    }
    if (!NT_SUCCESS(status)) {
        (*port)->Release();
        *port = nullptr;
    }
    return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT deviceObject, PIRP, PRESOURCELIST)
{
    PPORT port = nullptr;
    NTSTATUS status = NewWavePort(deviceObject, &port);
    if (NT_SUCCESS(status)) {
        WCHAR name[] = W("wave_48000");
        status = PcRegisterSubdevice(deviceObject, name, port);
        port->Release();
    }
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo)
{
    return PcAddAdapterDevice(driverObject, pdo, &StartDevice, 1, PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    return PcInitializeAdapterDriver(driverObject, registryPath, &AddDevice);
}

class WaveFilterTest : public ::testing::Test {
protected:
    WaveFilterTest()
    {
        startAdapter = &adapter_;
        usb_ = std::make_unique<sim::usb::HostController>();
        pdo_ = usb_->Plug(std::make_unique<sim::devices::R9Device>()).Pdo();
        sim::pnp::UsbDeviceIdentity identity;
        identity.vendorId = 0x3A5C;
        identity.productId = 0x0009;
        identity.serialNumber = u"R9SN0003";
        identity.service = u"tvr9miniport";
        sim::pnp::AttachPhysicalDeviceObject(sim::pnp::CreateUsbDeviceNode(identity), pdo_);
        EXPECT_EQ(sim::io::CreateDriverObject(u"tvr9miniport", &DriverEntry, &driver_), STATUS_SUCCESS);
        EXPECT_EQ(sim::pnp::StartDevice(driver_, pdo_), STATUS_SUCCESS);
    }

    ~WaveFilterTest() override
    {
        EXPECT_EQ(sim::pnp::RemoveDevice(pdo_), STATUS_SUCCESS);
        EXPECT_EQ(adapter_.references, 1) << "a miniport kept its adapter after the device went";
        EXPECT_EQ(sim::io::UnloadDriver(driver_), STATUS_SUCCESS);  // the machine's leak check runs here
        sim::pnp::DetachPhysicalDeviceObject(pdo_);
        usb_.reset();
        startAdapter = nullptr;
    }

    PDEVICE_OBJECT Fdo() const { return IoGetAttachedDevice(pdo_); }
    std::vector<std::u16string> SubdeviceNames() const
    {
        std::vector<std::u16string> names;
        for (const auto& subdevice : sim::portcls::RegisteredSubdevices()) {
            names.push_back(subdevice.name);
        }
        return names;
    }

    sim::Machine machine_;
    FakeAdapter adapter_;
    std::unique_ptr<sim::usb::HostController> usb_;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(WaveFilterTest, PortBindsTheMiniportAndTheFilterIsRegistered)
{
    EXPECT_EQ(SubdeviceNames(), std::vector<std::u16string>{u"wave_48000"});
    EXPECT_EQ(adapter_.calls, (std::vector<std::string>{"QueryInterface IUsbAudioAdapter", "RebuildFilterDescriptor",
                                                        "SetEngineCallback", "GetFilterDescriptor"}));
    ASSERT_NE(adapter_.engineCallback, nullptr);
    EXPECT_EQ(adapter_.references, 2);
    EXPECT_EQ(machine_.Pools().LiveAllocations(kObjectPoolTag).size(), 1u);
}

TEST_F(WaveFilterTest, UnregisterSubdeviceTakesTheFilterAwayAndFreesTheMiniport)
{
    ASSERT_NE(adapter_.engineCallback, nullptr);
    EXPECT_EQ(adapter_.engineCallback->UnregisterSubdevice(Fdo()), STATUS_SUCCESS);
    EXPECT_TRUE(SubdeviceNames().empty());
    // The port let go of the miniport and the miniport of the port: nothing of the filter is left.
    EXPECT_EQ(adapter_.references, 1);
    EXPECT_TRUE(machine_.Pools().LiveAllocations(kObjectPoolTag).empty());
}

TEST_F(WaveFilterTest, UnregisterSubdeviceOfAnUnregisteredPortFailsAndKeepsThePort)
{
    PPORT port = nullptr;
    ASSERT_EQ(NewWavePort(Fdo(), &port), STATUS_SUCCESS);
    IEngineCallback* engine = adapter_.engineCallback;  // the new miniport's
    engine->AddRef();
    EXPECT_EQ(engine->UnregisterSubdevice(Fdo()), STATUS_NOT_FOUND);
    EXPECT_EQ(SubdeviceNames(), std::vector<std::u16string>{u"wave_48000"});

    // Registered under a new rate, the same miniport can still take its filter away.
    WCHAR name[] = W("wave_96000");
    ASSERT_EQ(PcRegisterSubdevice(Fdo(), name, port), STATUS_SUCCESS);
    port->Release();
    EXPECT_EQ(engine->UnregisterSubdevice(Fdo()), STATUS_SUCCESS);
    EXPECT_EQ(SubdeviceNames(), std::vector<std::u16string>{u"wave_48000"});
    // Without its port there is nothing left to unregister.
    EXPECT_EQ(engine->UnregisterSubdevice(Fdo()), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(engine->Release(), 0u);
    EXPECT_EQ(machine_.Pools().LiveAllocations(kObjectPoolTag).size(), 1u);
}

TEST_F(WaveFilterTest, DevicePowerReachesTheMiniportThroughThePort)
{
    auto* miniport = static_cast<UsbWaveMiniport*>(adapter_.engineCallback);
    ASSERT_EQ(miniport->PowerState(), ULONG(PowerDeviceD0));
    EXPECT_EQ(sim::pnp::SetDevicePower(pdo_, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(miniport->PowerState(), ULONG(PowerDeviceD3));
    EXPECT_EQ(sim::pnp::SetDevicePower(pdo_, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(miniport->PowerState(), ULONG(PowerDeviceD0));
}

}  // namespace
}  // namespace miniport_test
