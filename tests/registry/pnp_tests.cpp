// Plug and Play's view of a USB device: its identifiers, its Enum keys, its device keys and
// properties, and the endpoints the audio service writes for it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/pnp/endpoint_store.h"
#include "tests/registry/registry_test_support.h"

namespace {

using registry_test::DeviceFixture;
using sim::registry::Value;

std::u16string Text(const std::vector<uint8_t>& data)
{
    std::u16string text(data.size() / 2, u'\0');
    std::memcpy(text.data(), data.data(), text.size() * 2);
    return text;
}

using PnpDevice = DeviceFixture;

TEST_F(PnpDevice, IdentifiersFollowTheDeviceDescriptorAndSerialNumber)
{
    EXPECT_EQ(node.HardwareIds(),
              (std::vector<std::u16string>{u"USB\\VID_F0E1&PID_0109&REV_0100", u"USB\\VID_F0E1&PID_0109"}));
    EXPECT_EQ(node.DeviceId(), u"USB\\VID_F0E1&PID_0109");
    EXPECT_EQ(node.InstanceId(), u"R9A0001");
    EXPECT_EQ(node.InstancePath(), u"USB\\VID_F0E1&PID_0109\\R9A0001");

    sim::pnp::UsbDeviceIdentity noSerial = registry_test::TestIdentity(u"");
    noSerial.port = 3;
    sim::pnp::DeviceNode& generated = sim::pnp::CreateUsbDeviceNode(noSerial);
    EXPECT_EQ(generated.InstanceId().substr(0, 2), u"6&");
    EXPECT_EQ(generated.InstanceId().substr(generated.InstanceId().size() - 4), u"&0&3") << "ends in the port";
    EXPECT_EQ(&sim::pnp::CreateUsbDeviceNode(registry_test::TestIdentity()), &node) << "a device seen before";

    Value value;
    ASSERT_TRUE(Registry().GetValue(node.EnumKeyPath(), u"HardwareID", value));
    EXPECT_EQ(value.type, ULONG(REG_MULTI_SZ));
    EXPECT_EQ(Text(value.data), std::u16string(u"USB\\VID_F0E1&PID_0109&REV_0100\0USB\\VID_F0E1&PID_0109\0\0", 54));
    ASSERT_TRUE(Registry().GetValue(node.EnumKeyPath(), u"ContainerID", value));
    EXPECT_EQ(Text(value.data), std::u16string(u"{6b29fc40-ca47-1067-b31d-00dd010662da}\0", 39));
    EXPECT_FALSE(
        Registry().Exists(u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_F0E1&PID_0109&REV_0100"))
        << "Windows files the device under the ID without the revision";
}

TEST_F(PnpDevice, PropertiesFollowTheBufferRules)
{
    ULONG length = 0;
    EXPECT_EQ(IoGetDeviceProperty(&pdo, DevicePropertyHardwareID, 0, nullptr, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 108u);
    std::vector<WCHAR> ids(54);
    ASSERT_EQ(IoGetDeviceProperty(&pdo, DevicePropertyHardwareID, 108, ids.data(), &length), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(ids.data(), 54),
              std::u16string(u"USB\\VID_F0E1&PID_0109&REV_0100\0USB\\VID_F0E1&PID_0109\0\0", 54));

    WCHAR container[39];
    ASSERT_EQ(IoGetDeviceProperty(&pdo, DevicePropertyContainerID, sizeof container, container, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(length, 78u);
    EXPECT_EQ(std::u16string(container), u"{6B29FC40-CA47-1067-B31D-00DD010662DA}");

    ULONG address = 0;
    ASSERT_EQ(IoGetDeviceProperty(&pdo, DevicePropertyAddress, sizeof address, &address, &length), STATUS_SUCCESS);
    EXPECT_EQ(address, 1u);
    EXPECT_EQ(IoGetDeviceProperty(&pdo, DevicePropertyCompatibleIDs, 0, nullptr, &length), STATUS_OBJECT_NAME_NOT_FOUND)
        << "this device has none";
    EXPECT_EQ(IoGetDeviceProperty(&pdo, DevicePropertyBusNumber, 0, nullptr, &length), STATUS_INVALID_PARAMETER_2);

    Registry().DeleteTree(node.EnumKeyPath());
    EXPECT_EQ(IoGetDeviceProperty(&pdo, DevicePropertyHardwareID, 0, nullptr, &length), STATUS_OBJECT_NAME_NOT_FOUND)
        << "hardware IDs live in the Enum key";
}

TEST_F(PnpDevice, TheHardwareKeyIsDeviceParametersOfTheInstanceKey)
{
    EXPECT_FALSE(Registry().Exists(node.HardwareKeyPath()));
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    alignas(8) uint8_t buffer[256];
    ULONG length = 0;
    ASSERT_EQ(ZwQueryKey(key, KeyNameInformation, buffer, sizeof buffer, &length), STATUS_SUCCESS);
    const auto* name = reinterpret_cast<const KEY_NAME_INFORMATION*>(buffer);
    EXPECT_EQ(std::u16string(name->Name, name->NameLength / 2),
              u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Enum\\USB\\VID_F0E1&PID_0109\\R9A0001\\Device Parameters");
    ZwClose(key);

    ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_CURRENT_HWPROFILE | PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
              STATUS_INVALID_PARAMETER);
}

TEST_F(PnpDevice, OnlyAKnownPhysicalDeviceObjectIsAccepted)
{
    machine.Verify().SetMode(sim::VerifierMode::Record);
    DEVICE_OBJECT functionalDevice{};
    HANDLE key = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(&functionalDevice, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(machine.Verify().HasReport("invalid PDO"));

    sim::pnp::DetachPhysicalDeviceObject(&pdo);
    machine.Verify().ClearReports();
    ULONG length = 0;
    EXPECT_EQ(IoGetDeviceProperty(&pdo, DevicePropertyHardwareID, 0, nullptr, &length), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(machine.Verify().HasReport("invalid PDO")) << "a removed device's object is no longer known";
}

TEST_F(PnpDevice, TheAudioServiceWritesEndpointsOnce)
{
    const WAVEFORMATEXTENSIBLE format = sim::pnp::MakePcmFormat(48000, 2, 32, 24);
    EXPECT_EQ(format.Format.nBlockAlign, 8);
    EXPECT_EQ(format.Format.nAvgBytesPerSec, 384000u);
    sim::pnp::DeviceEndpoints endpoints = sim::pnp::AddDeviceEndpoints(node, format, format);
    ASSERT_EQ(endpoints.render.size(), 38u);
    ASSERT_EQ(endpoints.capture.size(), 38u);

    const std::u16string properties =
        sim::pnp::EndpointPropertiesPath(sim::pnp::EndpointFlow::Render, endpoints.render);
    Value value;
    ASSERT_TRUE(Registry().GetValue(properties, sim::pnp::kDevicePathProperty, value));
    EXPECT_EQ(Text(value.data), std::u16string(u"{1}.USB\\VID_F0E1&PID_0109\\R9A0001\0", 34));
    for (const char16_t* name : sim::pnp::kFormatProperties) {
        ASSERT_TRUE(Registry().GetValue(properties, name, value));
        EXPECT_EQ(value.type, ULONG(REG_BINARY));
        ASSERT_EQ(value.data.size(), 48u);
        EXPECT_EQ(value.data[0], 0x41) << "VT_BLOB";
        EXPECT_EQ(value.data[4], 40);
        EXPECT_EQ(std::memcmp(value.data.data() + 8, &format, 40), 0);
    }
    Value state;
    ASSERT_TRUE(Registry().GetValue(std::u16string(sim::pnp::kEndpointStorePath) + u"\\Render\\" + endpoints.render,
                                    u"DeviceState", state));
    EXPECT_EQ(state.data[0], 1);

    sim::pnp::DeviceEndpoints again =
        sim::pnp::AddDeviceEndpoints(node, sim::pnp::MakePcmFormat(44100, 2, 16, 16), format);
    EXPECT_EQ(again.render, endpoints.render);
    ASSERT_TRUE(Registry().GetValue(properties, sim::pnp::kFormatProperties[0], value));
    EXPECT_EQ(std::memcmp(value.data.data() + 8, &format, 40), 0) << "saved formats survive the device coming back";
}

}  // namespace
