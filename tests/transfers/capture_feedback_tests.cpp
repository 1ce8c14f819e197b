// Feedback reads (averaging the device's reports, 10.14 and 16.16) and the check of capture
// packets against the selected format.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "tests/audioclass/format_test_devices.h"
#include "tests/transfers/transfer_test_support.h"

namespace transfertest {
namespace {

using sim::usb::UsbSpeed;
using usbaudio::kDirectionIn;
using usbaudio::kDirectionOut;

Bytes Report(uint32_t value, size_t length)
{
    Bytes bytes;
    for (size_t i = 0; i < length; ++i) {
        bytes.push_back(uint8_t(value >> (8 * i)));
    }
    return bytes;
}

Bytes Fixed16(double frames) { return Report(uint32_t(frames * 65536), 4); }

struct FeedbackCase {
    const char* name;
    bool highSpeed;
    std::vector<Bytes> packets;
    ULONG value;      // the callback's average
    ULONG lastValue;  // what the next empty packet will repeat
};

class FeedbackRead : public TransferTest, public ::testing::WithParamInterface<FeedbackCase> {};

TEST_P(FeedbackRead, AveragesTheDevicesReports)
{
    const FeedbackCase& c = GetParam();
    const bool hs = c.highSpeed;
    Start(std::make_unique<StreamingDevice>(RenderOnly20(hs, hs ? 24 : 16, hs ? 4 : 2, hs ? 392 : 196, true),
                                            hs ? UsbSpeed::High : UsbSpeed::Full));
    Select(kDirectionOut, hs ? 24 : 16, hs ? 48000 : 44100);
    device_->ScriptFeedback(c.packets);
    // Four reports of 4 bytes (high speed, one per millisecond) or 3 bytes.
    const ULONG size = driver_->GetFeedbackBufferSize();
    ASSERT_EQ(size, hs ? 16u : 12u);
    std::vector<UCHAR> buffer(size);
    CompletionProbe probe;
    ASSERT_EQ(driver_->RecvFeedback(buffer.data(), size, &CompletionProbe::Callback, &probe), STATUS_SUCCESS);
    const std::vector<Completion> results = probe.Wait(1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].status, STATUS_SUCCESS);
    EXPECT_EQ(results[0].bytes, c.value);
    EXPECT_EQ(driver_->GetStreamingInterface(kDirectionOut)->LastFeedbackValue, c.lastValue);
}

const FeedbackCase kFeedbackCases[] = {
    // An empty packet counts as the value before it: (6.0 + 6.5 + 6.5 + 6.0) / 4.
    {"EmptyPacketRepeatsTheLastValue", true, {Fixed16(6.0), Fixed16(6.5), {}, Fixed16(6.0)}, 0x64000, 0x60000},
    // A 2-byte report is no report: (6.0 + 7.0 + 7.0) / 3.
    {"TwoBytePacketIsIgnored", true, {Fixed16(6.0), {0x12, 0x34}, Fixed16(7.0), Fixed16(7.0)},
     (0x60000 + 2 * 0x70000) / 3, 0x70000},
    // 44.1 in 10.14 (722534) is 2890136 in 16.16.
    {"FullSpeedTenFourteen", false, {Report(722534, 3), Report(722534, 3), Report(722534, 3), Report(722534, 3)},
     2890136, 2890136},
    {"NothingCounted", true, {{0x01}, {0x01}, {0x01}, {0x01}}, 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Reports, FeedbackRead, ::testing::ValuesIn(kFeedbackCases),
                         [](const ::testing::TestParamInfo<FeedbackCase>& info) { return info.param.name; });

TEST_F(TransferTest, FeedbackNeedsAFeedbackPipe)
{
    Start(std::make_unique<StreamingDevice>(RenderOnly20(false, 16, 2, 196, false), UsbSpeed::Full));
    Select(kDirectionOut, 16, 44100);
    UCHAR buffer[12] = {};
    EXPECT_EQ(driver_->GetFeedbackBufferSize(), 0u);
    EXPECT_EQ(driver_->RecvFeedback(buffer, sizeof(buffer), &CompletionProbe::Callback, nullptr),
              STATUS_INVALID_PARAMETER);
}

struct CaptureCase {
    const char* name;
    std::vector<uint32_t> lengths;
    NTSTATUS status;
    ULONG bytes;
};

class CapturePackets : public TransferTest, public ::testing::WithParamInterface<CaptureCase> {};

// 48 kHz stereo in 32-bit containers at high speed: 40 to 56 bytes per microframe are in order.
TEST_P(CapturePackets, AreCheckedAgainstTheFormat)
{
    const CaptureCase& c = GetParam();
    Start(std::make_unique<StreamingDevice>(audioclasstest::Device20({{2, 24, 4}}, true), UsbSpeed::High));
    Select(kDirectionIn, 24, 48000);
    device_->ScriptCapture(c.lengths, 48);
    std::vector<UCHAR> buffer(8 * 392);
    CompletionProbe probe;
    ASSERT_EQ(driver_->SubmitCaptureTransfer(buffer.data(), ULONG(buffer.size()), &CompletionProbe::Callback, &probe,
                                             0),
              STATUS_SUCCESS);
    const std::vector<Completion> results = probe.Wait(1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].status, c.status);
    EXPECT_EQ(results[0].bytes, c.bytes);
}

const CaptureCase kCaptureCases[] = {
    {"Nominal", {}, STATUS_SUCCESS, 8 * 48},
    {"LongestAndShortest", {56, 40}, STATUS_SUCCESS, 8 * 48},
    {"ZeroLengthPacket", {48, 48, 0}, STATUS_UNEXPECTED_IO_ERROR, 7 * 48},
    {"TooLong", {64}, STATUS_UNEXPECTED_IO_ERROR, 7 * 48 + 64},
};

INSTANTIATE_TEST_SUITE_P(HighSpeed48kHz, CapturePackets, ::testing::ValuesIn(kCaptureCases),
                         [](const ::testing::TestParamInfo<CaptureCase>& info) { return info.param.name; });

TEST_F(TransferTest, CaptureNeedsACaptureInterface)
{
    Start(std::make_unique<StreamingDevice>(RenderOnly20(false, 16, 2, 196, true), UsbSpeed::Full));
    UCHAR buffer[196] = {};
    EXPECT_EQ(driver_->SubmitCaptureTransfer(buffer, sizeof(buffer), &CompletionProbe::Callback, nullptr, 0),
              STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace transfertest
