// The private interface's control codes on the R9: what each answers, its checks in order (state,
// then buffer lengths, then the operation), the bytes it returns, and what it changes on the
// device: its rate and filter, the stored capture request length, the ASIO sequence's states.
#include "driver/adapter/asio_handle.h"
#include "tests/adapter/asio_client.h"

namespace adaptertest {
namespace {

using sim::devices::R9Variant;
using Names = std::vector<std::u16string>;

struct Expected {
    ULONG code;
    ULONG in;
    ULONG out;
    NTSTATUS status;
    ULONG_PTR bytes;
    std::vector<ULONG> output;
};

void Check(AsioClient& client, const Expected& e)
{
    SCOPED_TRACE(testing::Message() << std::hex << "code 0x" << e.code << std::dec << " in " << e.in << " out "
                                    << e.out);
    std::fill(std::begin(client.buffer), std::end(client.buffer), 0xEEEEEEEEu);
    EXPECT_EQ(client.Control(e.code, e.in, e.out), e.status);
    EXPECT_EQ(client.bytes, e.bytes);
    for (size_t n = 0; n < e.output.size(); ++n) {
        EXPECT_EQ(client.buffer[n], e.output[n]) << "output word " << n;
    }
}

TEST(ControlCodes, DeviceQueriesAnswerInEveryStateAndNeedTheirOutput)
{
    AdapterBench bench;
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    const Expected queries[] = {
        {code::kRateRange, 0, 8, STATUS_SUCCESS, 8, {44100, 384000}},
        {code::kRateRange, 0, 7, STATUS_INVALID_PARAMETER, 0, {}},
        {code::kRate, 0, 4, STATUS_SUCCESS, 4, {44100}},
        {code::kRate, 0, 3, STATUS_INVALID_PARAMETER, 0, {}},
        {code::kDsdSupport, 0, 4, STATUS_SUCCESS, 4, {1}},
        {code::kDsdSupport, 0, 0, STATUS_INVALID_PARAMETER, 0, {}},
        {code::kCaptureLength, 0, 4, STATUS_SUCCESS, 4, {1}},
        {code::kCaptureLength, 0, 2, STATUS_INVALID_PARAMETER, 0, {}},
        // Nothing stored in the device key yet: the registry's answer.
        {code::kStoredCaptureLength, 0, 4, STATUS_OBJECT_NAME_NOT_FOUND, 0, {}},
        {code::kRateFormats, 20, 19, STATUS_INVALID_PARAMETER, 0, {}},
        {code::kRateFormats, 19, 20, STATUS_INVALID_PARAMETER, 0, {}},
        {code::kSetRate, 3, 4, STATUS_INVALID_PARAMETER, 0, {}},
        {code::kStoreCaptureLength, 3, 0, STATUS_INVALID_PARAMETER, 0, {}},
    };
    AsioClient client(bench);
    for (bool owner : {false, true}) {
        SCOPED_TRACE(owner ? "owner" : "open");
        if (owner) {
            ASSERT_EQ(client.Claim(), STATUS_SUCCESS);
        }
        for (const Expected& query : queries) {
            Check(client, query);
        }
    }
}

TEST(ControlCodes, DsdSupportFollowsTheDevice)
{
    BenchOptions options;
    options.dsdModeRequest = false;
    AdapterBench bench(options);
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    AsioClient client(bench);
    Check(client, {code::kDsdSupport, 0, 4, STATUS_SUCCESS, 4, {0}});
}

TEST(ControlCodes, UnknownCodesAreInvalidDeviceRequests)
{
    AdapterBench bench;
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    AsioClient client(bench);
    ASSERT_EQ(client.Claim(), STATUS_SUCCESS);
    // 0x222014 sits inside the range; the others are known functions with another method or
    // access, and the neighbours of the range.
    for (ULONG unknown : {0x222014u, 0x222003u, 0x226000u, 0x221FFCu, 0x22203Cu, 0u}) {
        Check(client, {unknown, 32, 32, STATUS_INVALID_DEVICE_REQUEST, 0, {}});
    }
}

TEST(ControlCodes, RateFormatsComeFromTheWidestAlternateAtTheRate)
{
    struct Case {
        R9Variant variant;
        ULONG rate;
        NTSTATUS status;
        ULONG_PTR bytes;
        std::vector<ULONG> output;  // rate, OUT channels, OUT bits, IN channels, IN bits
    };
    const Case cases[] = {
        {R9Variant::HighSpeedUac2, 96000, STATUS_SUCCESS, 20, {96000, 4, 32, 4, 32}},
        {R9Variant::HighSpeedUac2, 22050, STATUS_INVALID_PARAMETER, 0, {22050}},
        // Audio Class 1.0: 24 bits in three bytes up to 48 kHz, 16 bits above.
        {R9Variant::FullSpeedUac1, 48000, STATUS_SUCCESS, 20, {48000, 4, 24, 4, 24}},
        {R9Variant::FullSpeedUac1, 96000, STATUS_SUCCESS, 20, {96000, 4, 16, 4, 16}},
        {R9Variant::FullSpeedUac1, 192000, STATUS_INVALID_PARAMETER, 0, {192000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "variant " << int(c.variant) << " at " << c.rate);
        BenchOptions options;
        options.variant = c.variant;
        AdapterBench bench(options);
        ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
        AsioClient client(bench);
        std::fill(std::begin(client.buffer), std::end(client.buffer), 0xEEEEEEEEu);
        EXPECT_EQ(client.Control(code::kRateFormats, 20, 20, c.rate), c.status);
        EXPECT_EQ(client.bytes, c.bytes);
        for (size_t n = 0; n < c.output.size(); ++n) {
            EXPECT_EQ(client.buffer[n], c.output[n]) << "output word " << n;
        }
    }
}

TEST(ControlCodes, RateChangeReregistersTheFilterAndSaysSoFromVistaOn)
{
    struct Case {
        ULONG windowsVersion;
        ULONG reregistered;
    };
    for (const Case& c : {Case{NTDDI_WIN10, 1}, Case{NTDDI_VISTA, 1}, Case{0x05010000, 0}}) {
        SCOPED_TRACE(testing::Message() << std::hex << "Windows 0x" << c.windowsVersion);
        BenchOptions options;
        options.windowsVersion = c.windowsVersion;
        AdapterBench bench(options);
        ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
        AsioClient client(bench);
        EXPECT_EQ(client.Control(code::kSetRate, 4, 4, 96000), STATUS_SUCCESS);
        EXPECT_EQ(client.bytes, 4u);
        EXPECT_EQ(client.buffer[0], c.reregistered);
        EXPECT_EQ(bench.FilterNames(), Names{u"wave_96000"});
        EXPECT_EQ(bench.Device().CurrentRate(0), 96000u);

        // Without room for the answer nothing is returned; the rate changes all the same.
        EXPECT_EQ(client.Control(code::kSetRate, 4, 0, 48000), STATUS_SUCCESS);
        EXPECT_EQ(client.bytes, 0u);
        EXPECT_EQ(bench.FilterNames(), Names{u"wave_48000"});
        Check(client, {code::kRate, 0, 4, STATUS_SUCCESS, 4, {48000}});
    }
}

TEST(ControlCodes, RateChangeIsRefusedWhileADirectionRunsOrForARateTheDeviceLacks)
{
    AdapterBench bench;
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    AsioClient client(bench);
    for (StreamDirection direction : {kDirectionOut, kDirectionIn}) {
        UsbAudioAdapterTestAccess::SetRunCount(bench.Adapter(), direction, 1);
        EXPECT_EQ(client.Control(code::kSetRate, 4, 4, 96000), STATUS_DEVICE_BUSY);
        EXPECT_EQ(client.bytes, 4u);
        EXPECT_EQ(client.buffer[0], 0u);
        UsbAudioAdapterTestAccess::SetRunCount(bench.Adapter(), direction, 0);
    }
    EXPECT_EQ(client.Control(code::kSetRate, 4, 4, 22050), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bench.FilterNames(), Names{u"wave_44100"});
    EXPECT_EQ(bench.Device().CurrentRate(0), 44100u);
    Check(client, {code::kRate, 0, 4, STATUS_SUCCESS, 4, {44100}});
}

TEST(ControlCodes, CaptureRequestLengthIsStoredForTheNextDeviceStart)
{
    AdapterBench bench;
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    {
        AsioClient client(bench);
        EXPECT_EQ(client.Control(code::kStoreCaptureLength, 4, 0, 4), STATUS_SUCCESS);
        EXPECT_EQ(client.bytes, 0u);
        Check(client, {code::kCaptureLength, 0, 4, STATUS_SUCCESS, 4, {1}});
        Check(client, {code::kStoredCaptureLength, 0, 4, STATUS_SUCCESS, 4, {4}});
    }
    ULONG stored = 0;
    EXPECT_TRUE(bench.HasSetting(u"IN URB Size", &stored));
    EXPECT_EQ(stored, 4u);

    bench.Unplug();
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    AsioClient client(bench);
    Check(client, {code::kCaptureLength, 0, 4, STATUS_SUCCESS, 4, {4}});
}

}  // namespace
}  // namespace adaptertest
