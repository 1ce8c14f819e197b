// Registry values the driver reads, at every length from 0 to one past the size it expects and in
// every type (REG_NONE to REG_QWORD, and one no Windows release defines): each is refused or read
// within its bounds (AddressSanitizer watches the reads), and a value written back keeps its type,
// its length and every byte the driver does not own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "driver/registry/registry_access.h"
#include "sim/pnp/endpoint_store.h"
#include "tests/registry/registry_test_support.h"

namespace faulttest {
namespace {

using registry_test::Counted;
using registry_test::CountedBuffer;
using sim::pnp::EndpointFlow;
using Bytes = std::vector<uint8_t>;

const std::u16string kInstancePath = u"USB\\VID_F0E1&PID_0109\\R9A0001";
constexpr ULONG kTypes[] = {REG_NONE,
                            REG_SZ,
                            REG_EXPAND_SZ,
                            REG_BINARY,
                            REG_DWORD,
                            REG_DWORD_BIG_ENDIAN,
                            REG_LINK,
                            REG_MULTI_SZ,
                            REG_RESOURCE_LIST,
                            REG_FULL_RESOURCE_DESCRIPTOR,
                            REG_RESOURCE_REQUIREMENTS_LIST,
                            REG_QWORD,
                            0x12345678};
constexpr uint8_t kFiller = 0xEE;

// The first `length` bytes of `bytes`, then filler.
Bytes Cut(const Bytes& bytes, size_t length)
{
    Bytes cut(length, kFiller);
    std::copy_n(bytes.begin(), std::min(length, bytes.size()), cut.begin());
    return cut;
}

Bytes TextBytes(const std::u16string& text)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    return Bytes(bytes, bytes + text.size() * sizeof(char16_t));
}

class RegistryValueSweep : public registry_test::DeviceFixture {
protected:
    RegistryValueSweep()
    {
        endpoints = sim::pnp::AddDeviceEndpoints(node, saved, saved);
        render = Counted(endpoints.render);
        instancePath = Counted(kInstancePath);
    }

    std::u16string RenderProperties() const
    {
        return sim::pnp::EndpointPropertiesPath(EndpointFlow::Render, endpoints.render);
    }

    const WAVEFORMATEXTENSIBLE saved = sim::pnp::MakePcmFormat(48000, 2, 32, 24);
    sim::pnp::DeviceEndpoints endpoints;
    UNICODE_STRING render;
    UNICODE_STRING instancePath;
};

// The setting's data is its first four bytes, whatever the type; shorter data is no setting.
TEST_F(RegistryValueSweep, DeviceSettings)
{
    const Bytes value = {0x78, 0x56, 0x34, 0x12};
    for (ULONG type : kTypes) {
        for (size_t length = 0; length <= value.size() + 1; ++length) {
            SCOPED_TRACE(testing::Message() << "type " << type << ", " << length << " bytes");
            ASSERT_TRUE(Registry().SetValue(node.HardwareKeyPath(), u"IN URB Size", type, Cut(value, length)));
            ULONG read = 0;
            const NTSTATUS status = ReadDeviceDword(&pdo, W("IN URB Size"), &read);
            if (length < value.size()) {
                EXPECT_EQ(status, STATUS_OBJECT_TYPE_MISMATCH);
                EXPECT_EQ(read, 0u);
            } else {
                EXPECT_EQ(status, STATUS_SUCCESS);
                EXPECT_EQ(read, 0x12345678u);
            }
        }
    }
}

// A saved format is an 8-byte header and a WAVEFORMATEXTENSIBLE: anything shorter is neither read
// nor rewritten; a longer value is rewritten in place, at its own type and length.
TEST_F(RegistryValueSweep, SavedFormats)
{
    const Bytes whole = sim::pnp::SerializeFormat(saved);
    for (ULONG type : kTypes) {
        for (size_t length = 0; length <= whole.size() + 1; ++length) {
            SCOPED_TRACE(testing::Message() << "type " << type << ", " << length << " bytes");
            const Bytes written = Cut(whole, length);
            ASSERT_TRUE(Registry().SetValue(RenderProperties(), sim::pnp::kFormatProperties[0], type, written));
            WAVEFORMATEXTENSIBLE format{};
            const NTSTATUS read = GetEndpointFormat(kEndpointRender, &render, &format);
            const NTSTATUS rewritten = SetEndpointFormatRate(kEndpointRender, &render, 96000);
            sim::registry::Value after;
            ASSERT_TRUE(Registry().GetValue(RenderProperties(), sim::pnp::kFormatProperties[0], after));
            EXPECT_EQ(after.type, type);
            ASSERT_EQ(after.data.size(), length);
            if (length < whole.size()) {
                EXPECT_EQ(read, STATUS_OBJECT_TYPE_MISMATCH);
                EXPECT_EQ(rewritten, STATUS_OBJECT_TYPE_MISMATCH);
                EXPECT_EQ(after.data, written);
                continue;
            }
            EXPECT_EQ(read, STATUS_SUCCESS);
            EXPECT_EQ(std::memcmp(&format, &saved, sizeof format), 0);
            EXPECT_EQ(rewritten, STATUS_SUCCESS);
            Bytes expected = written;
            const ULONG rates[2] = {96000, 96000u * saved.Format.nBlockAlign};
            std::memcpy(expected.data() + 12, rates, sizeof rates);
            EXPECT_EQ(after.data, expected);
        }
    }
}

// The device path is text up to its first NUL within the data: the endpoint is this device's only
// when the whole path is there; the NUL may be missing, and an odd last byte is no character.
TEST_F(RegistryValueSweep, EndpointDevicePath)
{
    const std::u16string text = u"{1}." + kInstancePath;
    const Bytes whole = TextBytes(text + u'\0');
    for (ULONG type : kTypes) {
        for (size_t length = 0; length <= whole.size() + 1; ++length) {
            SCOPED_TRACE(testing::Message() << "type " << type << ", " << length << " bytes");
            ASSERT_TRUE(Registry().SetValue(RenderProperties(), sim::pnp::kDevicePathProperty, type,
                                            Cut(whole, length)));
            CountedBuffer renderName(39), captureName(39);
            EXPECT_EQ(FindEndpoints(&renderName.string, &captureName.string, &instancePath), STATUS_SUCCESS);
            const bool wholePath = length >= text.size() * sizeof(char16_t);
            EXPECT_EQ(renderName.Text(), wholePath ? endpoints.render : u"");
            EXPECT_EQ(captureName.Text(), endpoints.capture);
        }
    }
}

// The container ID picks the device's instance key; whatever the value holds, the instance path
// comes out right, from the container ID or, failing that, from the hardware key's name.
TEST_F(RegistryValueSweep, ContainerId)
{
    sim::registry::Value value;
    ASSERT_TRUE(Registry().GetValue(node.EnumKeyPath(), u"ContainerID", value));
    const Bytes whole = value.data;
    for (ULONG type : kTypes) {
        for (size_t length = 0; length <= whole.size() + 1; ++length) {
            SCOPED_TRACE(testing::Message() << "type " << type << ", " << length << " bytes");
            ASSERT_TRUE(Registry().SetValue(node.EnumKeyPath(), u"ContainerID", type, Cut(whole, length)));
            CountedBuffer path(201);
            EXPECT_EQ(GetDeviceInstancePath(&pdo, &path.string), STATUS_SUCCESS);
            EXPECT_EQ(path.Text(), kInstancePath);
        }
    }
}

}  // namespace
}  // namespace faulttest
