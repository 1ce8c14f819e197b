// Shared pieces of the registry tests: counted strings over test buffers, and a machine with one
// USB audio device whose physical device object Plug and Play knows.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/kernel.h"
#include "sim/kernel/machine.h"
#include "sim/pnp/device_tree.h"
#include "sim/registry/machine_registry.h"

namespace registry_test {

inline constexpr ULONG kDriverTag = 'ABSU';

// A counted string over a caller-owned buffer of `capacity` characters.
struct CountedBuffer {
    explicit CountedBuffer(size_t capacity, const std::u16string& text = std::u16string()) : storage(capacity + 1, u'#')
    {
        text.copy(storage.data(), text.size());
        string.Buffer = storage.data();
        string.Length = USHORT(text.size() * sizeof(WCHAR));
        string.MaximumLength = USHORT(capacity * sizeof(WCHAR));
    }

    std::u16string Text() const { return std::u16string(string.Buffer, string.Length / sizeof(WCHAR)); }

    std::u16string storage;
    UNICODE_STRING string;
};

// A counted string over constant text, for inputs. The text must outlive the string.
inline UNICODE_STRING Counted(const std::u16string& text)
{
    UNICODE_STRING string;
    string.Buffer = const_cast<PWSTR>(text.data());
    string.Length = USHORT(text.size() * sizeof(WCHAR));
    string.MaximumLength = string.Length;
    return string;
}
UNICODE_STRING Counted(std::u16string&& text) = delete;

template <size_t Size> UNICODE_STRING Counted(const char16_t (&literal)[Size])
{
    UNICODE_STRING string;
    string.Buffer = const_cast<PWSTR>(literal);
    string.Length = USHORT((Size - 1) * sizeof(WCHAR));
    string.MaximumLength = string.Length;
    return string;
}

inline sim::pnp::UsbDeviceIdentity
TestIdentity(const std::u16string& serial = u"R9A0001",
             GUID container = {0x6b29fc40, 0xca47, 0x1067, {0xb3, 0x1d, 0x00, 0xdd, 0x01, 0x06, 0x62, 0xda}})
{
    sim::pnp::UsbDeviceIdentity identity;
    identity.vendorId = 0xF0E1;
    identity.productId = 0x0109;
    identity.revision = 0x0100;
    identity.serialNumber = serial;
    identity.containerId = container;
    identity.service = u"tvr9audio";
    return identity;
}

// A machine with the device plugged in. Every test ends with no registry handle open and no
// driver allocation left.
class DeviceFixture : public ::testing::Test {
protected:
    DeviceFixture() : node(sim::pnp::CreateUsbDeviceNode(TestIdentity()))
    {
        sim::pnp::AttachPhysicalDeviceObject(node, &pdo);
    }

    void TearDown() override
    {
        EXPECT_EQ(machine.Objects().OpenHandleCount(), 0u) << "a registry handle was left open";
        EXPECT_TRUE(machine.Pools().LiveAllocations(kDriverTag).empty()) << machine.Pools().LeakReport();
    }

    sim::registry::Store& Registry() { return sim::registry::MachineRegistry(); }

    sim::Machine machine;
    DEVICE_OBJECT pdo{};
    sim::pnp::DeviceNode& node;
};

}  // namespace registry_test
