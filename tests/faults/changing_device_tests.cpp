// A device that answers the same request differently the second time, as a malicious or broken
// device does between a driver's check and its use: a configuration set whose wTotalLength grows
// or whose bytes shrink between the header read and the full read, a language table that claims
// more, a clock RANGE with more or fewer subranges than its head announced. The driver relies only
// on what it checked: it refuses, or uses the first answer's bounds; AddressSanitizer watches the
// reads, the pool the frees.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <map>
#include <memory>

#include "driver/usbaudio/clock_entity.h"
#include "sim/devices/r9/r9_descriptors.h"
#include "tests/audioclass/audio_device_test_support.h"

namespace faulttest {
namespace {

using audioclasstest::TestAudioDriver;
using sim::usb::Bytes;
using sim::usb::ControlReply;
using sim::usb::SetupPacket;

constexpr ULONG kNoLimit = std::numeric_limits<ULONG>::max();
constexpr uint8_t kRequestRange = 0x02;
constexpr uint8_t kSamplingFrequencyControl = 0x01;

// Changes the answer given the second time a request is made; everything else is an honest Audio
// Class device with the R9's descriptors.
struct SecondAnswers {
    // The configuration set as the full read (the second) returns it.
    std::function<void(Bytes&)> configuration;
    // String descriptor 0 as the second read returns it.
    std::function<void(Bytes&)> languages;
    // A clock's RANGE as the second read (the full one) returns it.
    std::function<void(Bytes&)> range;
};

class ChangingDevice : public sim::devices::AudioClassDevice {
public:
    explicit ChangingDevice(SecondAnswers second)
        : AudioClassDevice(sim::devices::R9Descriptors(), sim::usb::UsbSpeed::High), second_(std::move(second))
    {
    }

protected:
    Bytes Descriptor(uint8_t type, uint8_t index, uint16_t languageId) override
    {
        Bytes bytes = AudioClassDevice::Descriptor(type, index, languageId);
        const int read = ++reads_[type];
        if (read == 2 && type == USB_CONFIGURATION_DESCRIPTOR_TYPE && second_.configuration) {
            second_.configuration(bytes);
        } else if (read == 2 && type == USB_STRING_DESCRIPTOR_TYPE && index == 0 && second_.languages) {
            second_.languages(bytes);
        }
        return bytes;
    }

    ControlReply ClassRequest(const SetupPacket& setup, const uint8_t* data, size_t length) override
    {
        ControlReply reply = AudioClassDevice::ClassRequest(setup, data, length);
        const bool rangeRead = setup.DeviceToHost() && setup.request == kRequestRange &&
                               setup.value >> 8 == kSamplingFrequencyControl;
        // The head is read with 16 bytes, the whole table with more (or exactly 14 for one subrange).
        if (rangeRead && setup.length != 16 && second_.range && !reply.stall) {
            second_.range(reply.data);
        }
        return reply;
    }

private:
    SecondAnswers second_;
    std::map<uint8_t, int> reads_;
};

void PutCount(Bytes& range, uint16_t count)
{
    range[0] = uint8_t(count);
    range[1] = uint8_t(count >> 8);
}

class ChangingDeviceTest : public audioclasstest::AudioDeviceTest {
protected:
    NTSTATUS StartOn(SecondAnswers second)
    {
        Stop();
        usb_ = std::make_unique<sim::usb::HostController>();
        bus_ = &usb_->Plug(std::make_unique<ChangingDevice>(std::move(second)));
        driver_ = new (NonPagedPoolNx, kDefaultPoolTag) TestAudioDriver();
        NTSTATUS status = driver_->Init(bus_->Pdo(), 16);
        if (NT_SUCCESS(status)) {
            status = driver_->ConfigureDevice();
        }
        return status;
    }

    CUSBAudioClockEntity* RenderClock() const
    {
        return CUSBAudioCL::GetClockEntity(driver_->GetStreamingInterface(kDirectionOut));
    }
};

TEST_F(ChangingDeviceTest, ConfigurationSetThatChangesBetweenItsTwoReadsIsRefused)
{
    const struct {
        const char* name;
        std::function<void(Bytes&)> change;
    } cases[] = {
        // The header read said one length, the full read claims the largest possible: parsing by
        // the second claim would read 64 KB past a buffer of the first's size.
        {"wTotalLength grows", [](Bytes& set) { sim::usb::PutWord(set, 2, 0xFFFF); }},
        {"wTotalLength shrinks", [](Bytes& set) { sim::usb::PutWord(set, 2, uint16_t(set.size() - 100)); }},
        {"fewer bytes come", [](Bytes& set) { set.resize(set.size() / 2); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(StartOn({c.change, nullptr, nullptr}), STATUS_NOT_SUPPORTED);
    }
}

// Only the bytes that came are traced; the second bLength is not believed.
TEST_F(ChangingDeviceTest, LanguageTableThatClaimsMoreTheSecondTimeStartsAsUsual)
{
    EXPECT_EQ(StartOn({nullptr, [](Bytes& table) { table[0] = 0xFE; }, nullptr}), STATUS_SUCCESS);
}

// The device's clocks list the rates from 44.1 to 192 kHz, one subrange each.
TEST_F(ChangingDeviceTest, ClockRangeIsReadWithinWhatItsHeadAnnounced)
{
    ULONG low = 0;
    ULONG high = 0;
    // More subranges the second time: the buffer holds what the head announced, and only that
    // many are read from it.
    ASSERT_EQ(StartOn({nullptr, nullptr, [](Bytes& range) { PutCount(range, 0xFFFF); }}), STATUS_SUCCESS);
    EXPECT_EQ(RenderClock()->GetSampleRateRange(&low, &high, 0, kNoLimit), STATUS_SUCCESS);
    EXPECT_EQ(low, 44100u);
    EXPECT_EQ(high, 192000u);
    EXPECT_EQ(RenderClock()->IsSampleRateSupported(192000), STATUS_SUCCESS);

    // Fewer: the device is believed, and the subranges it no longer counts are not looked at.
    ASSERT_EQ(StartOn({nullptr, nullptr, [](Bytes& range) { PutCount(range, 2); }}), STATUS_SUCCESS);
    EXPECT_EQ(RenderClock()->GetSampleRateRange(&low, &high, 0, kNoLimit), STATUS_SUCCESS);
    EXPECT_EQ(low, 44100u);
    EXPECT_EQ(high, 48000u);
    EXPECT_EQ(RenderClock()->IsSampleRateSupported(96000), STATUS_NOT_SUPPORTED);
}

}  // namespace
}  // namespace faulttest
