// This device's endpoints in the audio endpoint store: finding them among other devices', their
// saved formats, the rate rewrite and the property deletion, and clean failures when the store is
// laid out differently.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/registry/registry_access.h"
#include "sim/pnp/endpoint_store.h"
#include "tests/registry/registry_test_support.h"

namespace {

using registry_test::Counted;
using registry_test::CountedBuffer;
using sim::pnp::EndpointFlow;
using sim::registry::Value;

const std::u16string kInstancePath = u"USB\\VID_F0E1&PID_0109\\R9A0001";
const std::u16string kRenderStore = std::u16string(sim::pnp::kEndpointStorePath) + u"\\Render";
const std::u16string kCaptureStore = std::u16string(sim::pnp::kEndpointStorePath) + u"\\Capture";

class EndpointStore : public registry_test::DeviceFixture {
protected:
    EndpointStore()
    {
        // Endpoints of the machine's other audio devices, some of which the walk meets first.
        for (const char16_t* other : {u"HDAUDIO\\FUNC_01&VEN_10EC&DEV_0892\\4&1a2b3c4d&0&0001",
                                      u"USB\\VID_F0E1&PID_0109\\R9A0002", u"USB\\VID_046D&PID_0A44\\5&2f1e&0&3"}) {
            sim::pnp::AddAudioEndpoint(EndpointFlow::Render, other, sim::pnp::MakePcmFormat(44100, 2, 16, 16),
                                       u"Speakers");
            sim::pnp::AddAudioEndpoint(EndpointFlow::Capture, other, sim::pnp::MakePcmFormat(44100, 2, 16, 16),
                                       u"Microphone");
        }
        endpoints = sim::pnp::AddDeviceEndpoints(node, stereo24in32, stereo24in32);
        render = Counted(endpoints.render);
        capture = Counted(endpoints.capture);
        instancePath = Counted(kInstancePath);
    }

    std::u16string Properties(EndpointFlow flow) const
    {
        return sim::pnp::EndpointPropertiesPath(flow,
                                                flow == EndpointFlow::Render ? endpoints.render : endpoints.capture);
    }

    std::vector<uint8_t> FormatValue(int index)
    {
        Value value;
        EXPECT_TRUE(Registry().GetValue(Properties(EndpointFlow::Render), sim::pnp::kFormatProperties[index], value));
        return value.data;
    }

    const WAVEFORMATEXTENSIBLE stereo24in32 = sim::pnp::MakePcmFormat(48000, 2, 32, 24);
    sim::pnp::DeviceEndpoints endpoints;
    UNICODE_STRING render;
    UNICODE_STRING capture;
    UNICODE_STRING instancePath;
};

TEST_F(EndpointStore, BothEndpointsAreFoundAmongOtherDevices)
{
    std::vector<std::u16string> order = Registry().SubkeyNames(kRenderStore);
    ASSERT_NE(order.front(), endpoints.render) << "the fixture wants another device's endpoint walked first";

    CountedBuffer renderName(39), captureName(39);
    ASSERT_EQ(FindEndpoints(&renderName.string, &captureName.string, &instancePath), STATUS_SUCCESS);
    EXPECT_EQ(renderName.Text(), endpoints.render);
    EXPECT_EQ(captureName.Text(), endpoints.capture);
}

TEST_F(EndpointStore, AStoredPathInLowerCaseMatches)
{
    Registry().SetString(Properties(EndpointFlow::Render), sim::pnp::kDevicePathProperty,
                         u"{1}.usb\\vid_f0e1&pid_0109\\r9a0001");
    CountedBuffer renderName(39), captureName(39);
    ASSERT_EQ(FindEndpoints(&renderName.string, &captureName.string, &instancePath), STATUS_SUCCESS);
    EXPECT_EQ(renderName.Text(), endpoints.render);
}

TEST_F(EndpointStore, TheComparisonDropsTheBracedPrefix)
{
    struct Case {
        std::u16string stored;
        bool matches;
    } cases[] = {
        {u"{1}.USB\\VID_F0E1&PID_0109\\R9A0001", true},
        {u"{27}.usb\\vid_f0e1&pid_0109\\r9a0001", true},
        {u"USB\\VID_F0E1&PID_0109\\R9A0001", true},
        {u"{1}USB\\VID_F0E1&PID_0109\\R9A0001", false},
        {u"{1}.USB\\VID_F0E1&PID_0109\\R9A00012", false},
        {u"{1}.USB\\VID_F0E1&PID_0109\\R9A0002", false},
        {u"{1}.", false},
        {u"", false},
    };
    for (const Case& test : cases) {
        UNICODE_STRING stored = Counted(test.stored);
        EXPECT_EQ(EndpointDevicePathMatches(&stored, &instancePath), test.matches ? TRUE : FALSE)
            << sim::Utf16ToUtf8(test.stored);
    }
}

TEST_F(EndpointStore, OnlyARenderEndpointIsEnough)
{
    Registry().DeleteTree(kCaptureStore + u"\\" + endpoints.capture);
    CountedBuffer renderName(39), captureName(39, u"stale");
    ASSERT_EQ(FindEndpoints(&renderName.string, &captureName.string, &instancePath), STATUS_SUCCESS);
    EXPECT_EQ(renderName.Text(), endpoints.render);
    EXPECT_EQ(captureName.Text(), u"");

    Registry().DeleteTree(kRenderStore + u"\\" + endpoints.render);
    EXPECT_EQ(FindEndpoints(&renderName.string, &captureName.string, &instancePath), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(renderName.Text(), u"");
    EXPECT_EQ(captureName.Text(), u"");
}

TEST_F(EndpointStore, AnotherStoreLayoutFailsCleanly)
{
    struct Case {
        const char* what;
        void (*change)(sim::registry::Store& store, const sim::pnp::DeviceEndpoints& endpoints);
        NTSTATUS expected;
    } cases[] = {
        {"no Render key",
         [](sim::registry::Store& store, const sim::pnp::DeviceEndpoints&) { store.DeleteTree(kRenderStore); },
         STATUS_OBJECT_NAME_NOT_FOUND},
        {"no Capture key",
         [](sim::registry::Store& store, const sim::pnp::DeviceEndpoints&) { store.DeleteTree(kCaptureStore); },
         STATUS_OBJECT_NAME_NOT_FOUND},
        {"an endpoint without Properties",
         [](sim::registry::Store& store, const sim::pnp::DeviceEndpoints&) {
             store.CreatePath(kRenderStore + u"\\{00000000-0000-0000-0000-000000000000}");
         },
         STATUS_OBJECT_NAME_NOT_FOUND},
        {"an endpoint without a device path",
         [](sim::registry::Store& store, const sim::pnp::DeviceEndpoints&) {
             store.CreatePath(kCaptureStore + u"\\{00000000-0000-0000-0000-000000000000}\\Properties");
         },
         STATUS_OBJECT_NAME_NOT_FOUND},
    };
    for (const Case& test : cases) {
        const std::string saved = Registry().Serialize();
        test.change(Registry(), endpoints);
        CountedBuffer renderName(39), captureName(39);
        EXPECT_EQ(FindEndpoints(&renderName.string, &captureName.string, &instancePath), test.expected) << test.what;
        EXPECT_EQ(captureName.Text(), u"") << test.what;
        std::string error;
        ASSERT_TRUE(Registry().Deserialize(saved, error)) << error;
    }
}

TEST_F(EndpointStore, TheFirstFormatValuePresentIsTheFormat)
{
    const WAVEFORMATEXTENSIBLE rate44 = sim::pnp::MakePcmFormat(44100, 2, 32, 24);
    Registry().SetValue(Properties(EndpointFlow::Render), sim::pnp::kFormatProperties[1], REG_BINARY,
                        sim::pnp::SerializeFormat(rate44));
    WAVEFORMATEXTENSIBLE format{};
    ASSERT_EQ(GetEndpointFormat(kEndpointRender, &render, &format), STATUS_SUCCESS);
    EXPECT_EQ(format.Format.nSamplesPerSec, 48000u);

    Registry().DeleteValue(Properties(EndpointFlow::Render), sim::pnp::kFormatProperties[0]);
    ASSERT_EQ(GetEndpointFormat(kEndpointRender, &render, &format), STATUS_SUCCESS);
    EXPECT_EQ(format.Format.nSamplesPerSec, 44100u);
}

TEST_F(EndpointStore, OnlyFormatValueFourOrNoneAtAll)
{
    const WAVEFORMATEXTENSIBLE fourth = sim::pnp::MakePcmFormat(96000, 4, 32, 32);
    for (int index : {0, 1, 2, 4}) {
        Registry().DeleteValue(Properties(EndpointFlow::Capture), sim::pnp::kFormatProperties[index]);
    }
    Registry().SetValue(Properties(EndpointFlow::Capture), sim::pnp::kFormatProperties[3], REG_BINARY,
                        sim::pnp::SerializeFormat(fourth));
    WAVEFORMATEXTENSIBLE format{};
    ASSERT_EQ(GetEndpointFormat(kEndpointCapture, &capture, &format), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&format, &fourth, sizeof format), 0);

    Registry().DeleteValue(Properties(EndpointFlow::Capture), sim::pnp::kFormatProperties[3]);
    EXPECT_EQ(GetEndpointFormat(kEndpointCapture, &capture, &format), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(EndpointStore, FormatRequestsThatCannotBeMetFailCleanly)
{
    WAVEFORMATEXTENSIBLE format{};
    const std::u16string empty;
    UNICODE_STRING none = Counted(empty);
    EXPECT_EQ(GetEndpointFormat(kEndpointRender, &none, &format), STATUS_INVALID_PARAMETER) << "no endpoint found";
    EXPECT_EQ(GetEndpointFormat(2, &render, &format), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetEndpointFormatRate(kEndpointCapture, &render, 96000), STATUS_OBJECT_NAME_NOT_FOUND)
        << "a render endpoint's name under Capture";

    Registry().SetDword(Properties(EndpointFlow::Render), sim::pnp::kFormatProperties[0], 48000);
    EXPECT_EQ(GetEndpointFormat(kEndpointRender, &render, &format), STATUS_OBJECT_TYPE_MISMATCH)
        << "a value of the wrong type is not skipped like a missing one";
}

TEST_F(EndpointStore, TheRateRewriteChangesOnlyTheRates)
{
    // One value carries bytes after the format and another type; both must survive as they are.
    std::vector<uint8_t> longer = sim::pnp::SerializeFormat(stereo24in32);
    longer.insert(longer.end(), {0xDE, 0xAD, 0xBE, 0xEF});
    Registry().SetValue(Properties(EndpointFlow::Render), sim::pnp::kFormatProperties[4], REG_NONE, longer);
    Registry().DeleteValue(Properties(EndpointFlow::Render), sim::pnp::kFormatProperties[2]);
    std::vector<std::vector<uint8_t>> before;
    for (int index : {0, 1, 3, 4}) {
        before.push_back(FormatValue(index));
    }

    ASSERT_EQ(SetEndpointFormatRate(kEndpointRender, &render, 96000), STATUS_SUCCESS);

    Value missing;
    EXPECT_FALSE(Registry().GetValue(Properties(EndpointFlow::Render), sim::pnp::kFormatProperties[2], missing))
        << "a missing value stays missing";
    size_t next = 0;
    for (int index : {0, 1, 3, 4}) {
        std::vector<uint8_t> expected = before[next++];
        const ULONG rate = 96000;
        const ULONG bytesPerSecond = 768000;
        std::memcpy(&expected[12], &rate, 4);
        std::memcpy(&expected[16], &bytesPerSecond, 4);
        EXPECT_EQ(FormatValue(index), expected) << "format value " << index + 1;
    }
    Value typed;
    ASSERT_TRUE(Registry().GetValue(Properties(EndpointFlow::Render), sim::pnp::kFormatProperties[4], typed));
    EXPECT_EQ(typed.type, ULONG(REG_NONE));

    WAVEFORMATEXTENSIBLE format{};
    ASSERT_EQ(GetEndpointFormat(kEndpointRender, &render, &format), STATUS_SUCCESS);
    EXPECT_EQ(format.Format.nSamplesPerSec, 96000u);
    EXPECT_EQ(format.Format.nAvgBytesPerSec, 768000u);
    EXPECT_EQ(format.Format.nBlockAlign, 8);
    EXPECT_EQ(format.Samples.wValidBitsPerSample, 24);
}

TEST_F(EndpointStore, TheRateRewriteStopsAtAValueItCannotRead)
{
    Registry().SetDword(Properties(EndpointFlow::Render), sim::pnp::kFormatProperties[2], 0);
    ASSERT_EQ(SetEndpointFormatRate(kEndpointRender, &render, 96000), STATUS_OBJECT_TYPE_MISMATCH);
    for (int index : {0, 1}) {
        EXPECT_EQ(FormatValue(index)[12], 96000 & 0xFF) << "format value " << index + 1 << " came before";
    }
    for (int index : {3, 4}) {
        EXPECT_EQ(FormatValue(index), sim::pnp::SerializeFormat(stereo24in32)) << "format value " << index + 1;
    }

    std::vector<uint8_t> huge = sim::pnp::SerializeFormat(stereo24in32);
    huge[20] = 0xFF;
    huge[21] = 0xFF;
    Registry().SetValue(Properties(EndpointFlow::Capture), sim::pnp::kFormatProperties[0], REG_BINARY, huge);
    EXPECT_EQ(SetEndpointFormatRate(kEndpointCapture, &capture, 768000), STATUS_INTEGER_OVERFLOW)
        << "a byte rate beyond 32 bits is not written";
}

TEST_F(EndpointStore, ThePropertyIsDeletedOnce)
{
    ASSERT_EQ(DeleteEndpointProperty(kEndpointRender, &render), STATUS_SUCCESS);
    Value value;
    EXPECT_FALSE(Registry().GetValue(Properties(EndpointFlow::Render), sim::pnp::kDriverDeletedProperty, value));
    EXPECT_TRUE(Registry().GetValue(Properties(EndpointFlow::Capture), sim::pnp::kDriverDeletedProperty, value));
    EXPECT_TRUE(Registry().GetValue(Properties(EndpointFlow::Render), sim::pnp::kFormatProperties[0], value));
    EXPECT_EQ(DeleteEndpointProperty(kEndpointRender, &render), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(EndpointStore, AllocationFailuresAreReturnedWithNothingLeft)
{
    for (int operation = 0; operation < 2; ++operation) {
        ULONG covered = 0;
        for (ULONG nth = 1; nth < 200; ++nth) {
            const uint64_t failedBefore = machine.Pools().FailedCount();
            machine.Pools().InjectFailure(nth, registry_test::kDriverTag);
            CountedBuffer renderName(39), captureName(39);
            const NTSTATUS status = operation == 0
                ? FindEndpoints(&renderName.string, &captureName.string, &instancePath)
                : SetEndpointFormatRate(kEndpointRender, &render, 96000);
            machine.Pools().InjectFailure(0);
            EXPECT_EQ(machine.Objects().OpenHandleCount(), 0u) << "operation " << operation << ", allocation " << nth;
            EXPECT_TRUE(machine.Pools().LiveAllocations(registry_test::kDriverTag).empty());
            if (machine.Pools().FailedCount() == failedBefore) {
                EXPECT_EQ(status, STATUS_SUCCESS);
                break;
            }
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "operation " << operation << ", allocation " << nth;
            covered = nth;
        }
        EXPECT_GE(covered, 5u) << "operation " << operation;
    }
}

}  // namespace
