// PortCls and Plug and Play as an adapter driver meets them: start on a plugged R9, the filter's
// device interfaces, create on the reference string, re-registration, power, removal and unload.
#include <gtest/gtest.h>

#include "sim/devices/r9/r9_device.h"
#include "sim/io/drivers.h"
#include "sim/io/synchronous_request.h"
#include "sim/kernel/machine.h"
#include "sim/pnp/device_interfaces.h"
#include "sim/pnp/device_tree.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/portcls/ks_objects.h"
#include "sim/portcls/portcls_sim.h"
#include "sim/portcls/wave_cyclic_port.h"
#include "sim/registry/machine_registry.h"
#include "sim/usb/host_controller.h"
#include "tests/portcls/portcls_fixture.h"
#include "tests/portcls/test_adapter_driver.h"

namespace {

using namespace portcls_test;
using Strings = std::vector<std::string>;

const std::u16string kInterfaceStem = u"\\??\\USB#VID_3A5C&PID_0009#R9SN0001#";
const std::u16string kAudio = u"{6994ad04-93ef-11d0-a3cc-00a0c9223196}";
const std::u16string kRender = u"{65e8773e-8f56-11d0-a3b9-00a0c9223196}";
const std::u16string kCapture = u"{65e8773d-8f56-11d0-a3b9-00a0c9223196}";

std::vector<std::u16string> FilterPaths(const std::u16string& name)
{
    return {kInterfaceStem + kAudio + u"\\" + name, kInterfaceStem + kRender + u"\\" + name,
            kInterfaceStem + kCapture + u"\\" + name};
}

TEST_F(PortClsTest, StartPutsTheAdapterAboveTheUsbDeviceAndRegistersTheFilter)
{
    ASSERT_EQ(sim::pnp::StartDevice(driver_, pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Events(), Strings{"start"});

    PDEVICE_OBJECT fdo = Fdo();
    ASSERT_NE(fdo, pdo_);
    EXPECT_EQ(fdo->DriverObject, driver_);
    EXPECT_EQ(fdo->DeviceType, ULONG(FILE_DEVICE_KS));
    EXPECT_EQ(fdo->Size, sizeof(DEVICE_OBJECT) + PORT_CLASS_DEVICE_EXTENSION_SIZE + sizeof(TestExtension));
    EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(fdo->StackSize, pdo_->StackSize + 1);
    auto* extension = reinterpret_cast<TestExtension*>(static_cast<PUCHAR>(fdo->DeviceExtension) +
                                                       PORT_CLASS_DEVICE_EXTENSION_SIZE);
    EXPECT_EQ(extension->marker, kExtensionMarker);

    const auto subdevices = sim::portcls::RegisteredSubdevices();
    ASSERT_EQ(subdevices.size(), 1u);
    EXPECT_EQ(subdevices[0].deviceObject, fdo);
    EXPECT_EQ(subdevices[0].name, u"wave_44100");
    EXPECT_EQ(subdevices[0].interfacePaths, FilterPaths(u"wave_44100"));
    EXPECT_TRUE(subdevices[0].enabled);

    // What SetupAPI reads: the interface key per class and device, one subkey per reference string.
    const std::u16string key = sim::pnp::DeviceClassKeyPath(KSCATEGORY_AUDIO) +
                               u"\\##?#USB#VID_3A5C&PID_0009#R9SN0001#" + kAudio;
    auto& registry = sim::registry::MachineRegistry();
    sim::registry::Value value;
    ASSERT_TRUE(registry.GetValue(key, u"DeviceInstance", value));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(value.data.data())), u"USB\\VID_3A5C&PID_0009\\R9SN0001");
    ASSERT_TRUE(registry.GetValue(key + u"\\#wave_44100", u"SymbolicLink", value));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(value.data.data())),
              u"\\\\?\\USB#VID_3A5C&PID_0009#R9SN0001#" + kAudio + u"\\wave_44100");
    ASSERT_TRUE(registry.GetValue(key + u"\\#wave_44100\\Control", u"Linked", value));
    EXPECT_EQ(value.data[0], 1);
}

TEST_F(PortClsTest, CreateOnTheReferenceStringOpensTheSubdeviceAndKeepsTheDeviceFromRemoval)
{
    ASSERT_EQ(sim::pnp::StartDevice(driver_, pdo_), STATUS_SUCCESS);
    FILE_OBJECT unknown;
    EXPECT_EQ(Open(u"\\wave_48000", unknown), STATUS_OBJECT_NAME_NOT_FOUND);
    FILE_OBJECT filter;
    ASSERT_EQ(Open(u"\\WAVE_44100", filter), STATUS_SUCCESS);
    EXPECT_NE(filter.FsContext, nullptr);
    FILE_OBJECT other;
    EXPECT_EQ(Send(IRP_MJ_DEVICE_CONTROL, other), STATUS_INVALID_DEVICE_REQUEST);

    EXPECT_EQ(sim::pnp::QueryRemoveDevice(pdo_), STATUS_DEVICE_BUSY);
    EXPECT_EQ(Send(IRP_MJ_CLEANUP, filter), STATUS_SUCCESS);
    EXPECT_EQ(Send(IRP_MJ_CLOSE, filter), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::QueryRemoveDevice(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"\\wave_44100", filter), STATUS_DELETE_PENDING);
    EXPECT_EQ(sim::pnp::CancelRemoveDevice(pdo_), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\wave_44100", filter), STATUS_SUCCESS);
    EXPECT_EQ(Send(IRP_MJ_CLOSE, filter), STATUS_SUCCESS);
}

TEST_F(PortClsTest, UnregisteredFilterComesBackUnderTheNewRateAndNamesStayUnique)
{
    ASSERT_EQ(sim::pnp::StartDevice(driver_, pdo_), STATUS_SUCCESS);
    PPORT second = nullptr;
    ASSERT_EQ(NewWavePort(Fdo(), &second), STATUS_SUCCESS);
    WCHAR sameName[] = W("Wave_44100");
    EXPECT_EQ(PcRegisterSubdevice(Fdo(), sameName, second), STATUS_OBJECT_NAME_COLLISION);

    // The driver finds its registered port again through the file it is open on; here the first
    // create gives it to the test, as the engine callback keeps it in the driver.
    FILE_OBJECT filter;
    ASSERT_EQ(Open(u"\\wave_44100", filter), STATUS_SUCCESS);
    IPortWaveCyclic* first = sim::portcls::KsObjectOf(&filter)->port;
    PUNREGISTERSUBDEVICE unregister = nullptr;
    ASSERT_EQ(first->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&unregister)), STATUS_SUCCESS);
    EXPECT_EQ(unregister->UnregisterSubdevice(Fdo(), first), STATUS_SUCCESS);
    EXPECT_EQ(unregister->UnregisterSubdevice(Fdo(), first), STATUS_NOT_FOUND);
    unregister->Release();
    EXPECT_EQ(Events(), (Strings{"start", "miniport released"}));
    EXPECT_TRUE(sim::portcls::RegisteredSubdevices().empty());
    for (const auto& entry : sim::pnp::DeviceInterfaces()) {
        EXPECT_FALSE(entry.enabled) << "interface left on after unregistration";
    }
    EXPECT_EQ(Send(IRP_MJ_CLOSE, filter), STATUS_SUCCESS);

    WCHAR newName[] = W("wave_96000");
    ASSERT_EQ(PcRegisterSubdevice(Fdo(), newName, second), STATUS_SUCCESS);
    EXPECT_EQ(PcRegisterSubdevice(Fdo(), newName, second), STATUS_OBJECT_NAME_COLLISION);
    second->Release();
    const auto subdevices = sim::portcls::RegisteredSubdevices();
    ASSERT_EQ(subdevices.size(), 1u);
    EXPECT_EQ(subdevices[0].interfacePaths, FilterPaths(u"wave_96000"));
    EXPECT_TRUE(subdevices[0].enabled);
}

TEST_F(PortClsTest, DevicePowerReachesAdapterAndMiniportInPortClsOrder)
{
    ASSERT_EQ(sim::pnp::StartDevice(driver_, pdo_), STATUS_SUCCESS);
    Events().clear();
    EXPECT_EQ(sim::pnp::QueryDevicePower(pdo_, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::SetDevicePower(pdo_, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::SetDevicePower(pdo_, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(Events(), (Strings{"adapter query D3", "miniport D3", "adapter D3", "adapter D0", "miniport D0"}));

    Events().clear();
    SetPowerQueryAnswer(STATUS_DEVICE_BUSY);
    EXPECT_EQ(sim::pnp::QueryDevicePower(pdo_, PowerDeviceD2), STATUS_DEVICE_BUSY);
    EXPECT_EQ(Events(), Strings{"adapter query D2"});
}

TEST_F(PortClsTest, SurpriseRemovalTurnsInterfacesOffAndRemovalLeavesNothingBehind)
{
    ASSERT_EQ(sim::pnp::StartDevice(driver_, pdo_), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::SurpriseRemoveDevice(pdo_), STATUS_SUCCESS);
    const auto subdevices = sim::portcls::RegisteredSubdevices();
    ASSERT_EQ(subdevices.size(), 1u);
    EXPECT_FALSE(subdevices[0].enabled);
    FILE_OBJECT filter;
    EXPECT_EQ(Open(u"\\wave_44100", filter), STATUS_DELETE_PENDING);

    EXPECT_EQ(sim::pnp::RemoveDevice(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Fdo(), pdo_) << "the adapter's device object is still attached";
    EXPECT_TRUE(sim::portcls::RegisteredSubdevices().empty());
    EXPECT_EQ(LiveObjects(), 0);
    EXPECT_EQ(sim::io::UnloadDriver(driver_), STATUS_SUCCESS);  // the machine's leak check runs here
    driver_ = nullptr;
}

TEST_F(PortClsTest, ServiceGroupCallsItsMembersAtDispatchLevel)
{
    ASSERT_EQ(sim::pnp::StartDevice(driver_, pdo_), STATUS_SUCCESS);
    struct Sink final : IServiceSink {
        STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID*) override { return STATUS_NOT_IMPLEMENTED; }
        STDMETHODIMP_(ULONG) AddRef() override { return ULONG(InterlockedIncrement(&references)); }
        STDMETHODIMP_(ULONG) Release() override { return ULONG(InterlockedDecrement(&references)); }
        STDMETHODIMP_(void) RequestService() override
        {
            calls += 1;
            atDispatch = atDispatch && KeGetCurrentIrql() == DISPATCH_LEVEL;
        }
        LONG references = 1;
        int calls = 0;
        bool atDispatch = true;
    } sink;

    PSERVICEGROUP group = nullptr;
    ASSERT_EQ(PcNewServiceGroup(&group, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(group->AddMember(&sink), STATUS_SUCCESS);
    EXPECT_EQ(sink.references, 2);
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    static_cast<IPortWaveCyclic*>(port)->Notify(group);
    machine_.FlushDpcs();
    EXPECT_EQ(sink.calls, 1);
    EXPECT_TRUE(sink.atDispatch);

    group->SupportDelayedService();
    group->RequestDelayedService(20 * 10000);  // 20 ms
    machine_.RunFor(10 * 1000000);
    EXPECT_EQ(sink.calls, 1);
    machine_.RunFor(20 * 1000000);
    machine_.FlushDpcs();
    EXPECT_EQ(sink.calls, 2);

    group->RemoveMember(&sink);
    EXPECT_EQ(sink.references, 1);
    group->Release();
    port->Release();
    EXPECT_EQ(sink.calls, 2);
}

TEST_F(PortClsTest, RequestsOnADeviceObjectPortClsDidNotMakeAreReported)
{
    machine_.Verify().SetMode(sim::VerifierMode::Record);
    WCHAR name[] = W("wave_44100");
    EXPECT_EQ(PcRegisterSubdevice(pdo_, name, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(machine_.Verify().Reports().size(), 1u);
    machine_.Verify().ClearReports();
    machine_.Verify().SetMode(sim::VerifierMode::Abort);
}

}  // namespace
