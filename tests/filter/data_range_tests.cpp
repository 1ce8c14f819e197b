// The streaming pins' data ranges: one per usable alternate, narrowed to the device's current
// rate, with the signal-processing attribute from Windows 8.1 on; and MatchDataRange.
#include <algorithm>

#include "driver/usbaudio/clock_entity.h"
#include "tests/filter/filter_test_support.h"

namespace filtertest {
namespace {

using namespace sim::usb;

std::vector<Range> RenderRanges(const StreamingInterface* record)
{
    return AudioRanges(record->DataRanges, record->DataRangeCount);
}

class DataRangeTest : public FilterTest {};

// The render interface repeats stereo 24-bit PCM in alternates 1 and 2. Once a current rate is
// set, an alternate is dropped only when its range, before narrowing, equals one already taken
// after narrowing: with a clock offering only 48 kHz that is alternate 2, with a wide clock none.
TEST_F(DataRangeTest, AudioClass20RangesNarrowToTheCurrentRate)
{
    ASSERT_NO_FATAL_FAILURE(Start(TwoChainDevice20()));
    const Range stereo24{"PCM", 2, 24, 44100, 192000};
    const Range stereo16{"PCM", 2, 16, 44100, 192000};

    // The device's clock offers 44.1 to 192 kHz; no rate set yet: every alternate as the clock has it.
    ASSERT_EQ(driver_->BuildFilter(&filter_), STATUS_SUCCESS);
    EXPECT_EQ(RenderRanges(Render()), (std::vector<Range>{stereo24, stereo24, stereo16}));
    EXPECT_EQ(AudioRanges(Capture()->DataRanges, Capture()->DataRangeCount),
              (std::vector<Range>{{"PCM", 8, 24, 44100, 192000}}));
    driver_->FreeFilter(&filter_);

    EXPECT_EQ(driver_->SetSampleRate(48000), STATUS_SUCCESS);
    ASSERT_EQ(driver_->BuildFilter(&filter_), STATUS_SUCCESS);
    EXPECT_EQ(RenderRanges(Render()), (std::vector<Range>{{"PCM", 2, 24, 48000, 48000},
                                                          {"PCM", 2, 24, 48000, 48000},
                                                          {"PCM", 2, 16, 48000, 48000}}));
    // The pin reports what the interface holds: three ranges and the attribute list.
    EXPECT_EQ(usbaudio::FilterPin(filter_, 0)->Descriptor.KsPinDescriptor.DataRangesCount, 4u);
    driver_->FreeFilter(&filter_);

    Function().SetClockRanges(kClockId, {{48000, 48000, 0}});
    ASSERT_EQ(driver_->BuildFilter(&filter_), STATUS_SUCCESS);
    EXPECT_EQ(RenderRanges(Render()),
              (std::vector<Range>{{"PCM", 2, 24, 48000, 48000}, {"PCM", 2, 16, 48000, 48000}}));
    driver_->FreeFilter(&filter_);

    // A current rate the clock does not offer leaves no range and no attribute list.
    EXPECT_NE(driver_->SetSampleRate(96000), STATUS_SUCCESS);
    EXPECT_EQ(driver_->GetCurrentRate(), 96000u);
    ASSERT_EQ(driver_->BuildFilter(&filter_), STATUS_SUCCESS);
    EXPECT_EQ(Render()->DataRangeCount, 0u);
    EXPECT_EQ(usbaudio::FilterPin(filter_, 0)->Descriptor.KsPinDescriptor.DataRangesCount, 0u);
}

// A clock whose sampling frequency cannot be read stalls the RANGE request; its failure fails the
// ranges and the whole filter.
TEST_F(DataRangeTest, ClockWithoutRangeFailsTheFilter)
{
    Bytes configuration = TwoChainDevice20();
    // bmControls of the clock source: no sampling-frequency or validity control.
    const Bytes clock = uac2::ClockSource(kClockId, 0x03, 0x07, 0, 0);
    const auto at = std::search(configuration.begin(), configuration.end(), clock.begin(), clock.end());
    ASSERT_NE(at, configuration.end());
    PutByte(configuration, size_t(at - configuration.begin()) + 5, 0x00);
    ASSERT_NO_FATAL_FAILURE(Start(configuration));

    ULONG low = 0;
    ULONG high = 0;
    const NTSTATUS refused = CUSBAudioCL::GetClockEntity(Render())->GetSampleRateRange(&low, &high, 0, MAXULONG);
    ASSERT_FALSE(NT_SUCCESS(refused));
    EXPECT_EQ(driver_->BuildFilter(&filter_), refused);
    EXPECT_EQ(filter_.PinCount, 0u);
    EXPECT_EQ(filter_.Pins, nullptr);
    EXPECT_EQ(filter_.NodeCount, 0u);
    EXPECT_EQ(filter_.ConnectionCount, 0u);
    EXPECT_EQ(Render()->DataRanges, nullptr);
    EXPECT_EQ(Render()->DataRangeCount, 0u);
}

// Audio Class 1.0 rates come from each alternate's own format: a discrete list that lacks the
// current rate gives no range, a continuous range holding it is narrowed to it.
TEST_F(DataRangeTest, AudioClass10RatesFollowEachAlternate)
{
    Bytes notTypeI = Streaming10(1, 1, 0x01, {{kTagPcm, 2, 2, 16, {48000}}});
    const size_t formatTypeAt = 9 + 9 + 7;  // alternate 0, alternate 1, AS general
    ASSERT_EQ(notTypeI[formatTypeAt + 2], kAsFormatType);
    PutByte(notTypeI, formatTypeAt + 3, 0x02);
    notTypeI.erase(notTypeI.begin(), notTypeI.begin() + 9);  // keep alternate 1 only
    PutByte(notTypeI, 3, 6);                                 // as alternate 6

    ASSERT_NO_FATAL_FAILURE(Start(
        Configuration({Control10(1, {uac1::InputTerminal(1, kTerminalUsbStreaming, 0, 2, 0x3, 0, 0),
                                     uac1::FeatureUnit(2, 1, 1, {0x03, 0, 0}, 0),
                                     uac1::OutputTerminal(3, kTerminalSpeaker, 0, 2, 0)}),
                       Streaming10(1, 1, 0x01,
                                   {{kTagPcm, 2, 2, 16, {44100, 48000}},
                                    {kTagPcm, 2, 3, 24, {96000}},
                                    {kTagIeeeFloat, 2, 4, 32, {8000, 96000}, true},
                                    {kTagPcm, 1, 1, 8, {48000}},
                                    {kTagPcm8, 1, 1, 8, {48000}}}),
                       notTypeI}),
        UsbSpeed::Full));
    ASSERT_EQ(Render()->AlternateCount, 7u);

    const struct {
        ULONG currentRate;
        std::vector<Range> ranges;
    } cases[] = {
        {0,
         {{"PCM", 2, 16, 44100, 48000},
          {"PCM", 2, 24, 96000, 96000},
          {"IEEE_FLOAT", 2, 32, 8000, 96000},
          {"PCM", 1, 8, 48000, 48000}}},
        {48000, {{"PCM", 2, 16, 48000, 48000}, {"IEEE_FLOAT", 2, 32, 48000, 48000}, {"PCM", 1, 8, 48000, 48000}}},
        {96000, {{"PCM", 2, 24, 96000, 96000}, {"IEEE_FLOAT", 2, 32, 96000, 96000}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.currentRate);
        if (c.currentRate != 0) {
            // An Audio Class 1.0 device has no clock entity to set; the rate is remembered all the same.
            EXPECT_EQ(driver_->SetSampleRate(c.currentRate), STATUS_UNSUCCESSFUL);
        }
        ASSERT_EQ(driver_->BuildDataRanges(Render()), STATUS_SUCCESS);
        EXPECT_EQ(RenderRanges(Render()), c.ranges);
    }
}

// From Windows 8.1 on the last range carries the signal-processing attribute, which follows it in
// the array and counts as an entry of its own.
class SignalProcessingAttributeTest : public FilterTest, public ::testing::WithParamInterface<ULONG> {
protected:
    SignalProcessingAttributeTest() : FilterTest(GetParam()) {}
};

TEST_P(SignalProcessingAttributeTest, FollowsTheLastRangeFromWindows81)
{
    ASSERT_NO_FATAL_FAILURE(Start(TwoChainDevice20()));
    ASSERT_EQ(driver_->BuildFilter(&filter_), STATUS_SUCCESS);
    const bool expected = GetParam() >= NTDDI_WINBLUE;
    for (const StreamingInterface* record : {Render(), Capture()}) {
        const ULONG ranges = record == Render() ? 3 : 1;
        EXPECT_EQ(record->DataRangeCount, ranges + (expected ? 1 : 0));
        const KSATTRIBUTE_LIST* list = AttributeList(record->DataRanges, record->DataRangeCount);
        if (!expected) {
            EXPECT_EQ(list, nullptr);
            continue;
        }
        ASSERT_NE(list, nullptr);
        ASSERT_EQ(list->Count, 1u);
        const KSATTRIBUTE& attribute = *list->Attributes[0];
        EXPECT_EQ(attribute.Size, 24u);
        EXPECT_EQ(attribute.Flags, 0u);
        EXPECT_EQ(attribute.Attribute, KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE);
    }
}

INSTANTIATE_TEST_SUITE_P(WindowsVersions, SignalProcessingAttributeTest,
                         ::testing::Values(ULONG(NTDDI_VISTA), ULONG(NTDDI_WIN8), ULONG(NTDDI_WINBLUE),
                                           ULONG(NTDDI_WIN10)));

class MatchDataRangeTest : public FilterTest {
protected:
    struct Query {
        ULONG channels;
        ULONG minBits;
        ULONG maxBits;
        ULONG minRate;
        ULONG maxRate;
    };

    NTSTATUS Match(ULONG direction, Query& query)
    {
        return driver_->MatchDataRange(direction, &query.channels, &query.minBits, &query.maxBits, &query.minRate,
                                       &query.maxRate);
    }
};

// The capture pin offers one range of 8 channels: a stereo client may take the first two of them,
// a 4-channel one gets nothing.
TEST_F(MatchDataRangeTest, StereoFitsAWiderRangeOtherCountsMustBeEqual)
{
    ASSERT_NO_FATAL_FAILURE(Start(TwoChainDevice20()));
    ASSERT_EQ(driver_->SetSampleRate(48000), STATUS_SUCCESS);
    ASSERT_EQ(driver_->BuildFilter(&filter_), STATUS_SUCCESS);

    const struct {
        ULONG channels;
        ULONG bits;
        NTSTATUS status;
    } cases[] = {{2, 24, STATUS_SUCCESS},  {8, 24, STATUS_SUCCESS},  {4, 24, STATUS_NO_MATCH},
                 {1, 24, STATUS_NO_MATCH}, {2, 32, STATUS_NO_MATCH}, {8, 16, STATUS_NO_MATCH}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, " << c.bits << " bits");
        Query query{c.channels, c.bits, c.bits, 48000, 48000};
        EXPECT_EQ(Match(usbaudio::kDirectionIn, query), c.status);
        EXPECT_EQ(query.channels, c.channels);
    }

    // The clock narrows the window and never widens it: its 44.1 kHz subrange lies outside a
    // window of 48 kHz, first as it is.
    Query query{2, 24, 24, 48000, 48000};
    ASSERT_EQ(Match(usbaudio::kDirectionIn, query), STATUS_SUCCESS);
    EXPECT_EQ(query.minRate, 48000u);
    EXPECT_EQ(query.maxRate, 48000u);

    // Outside the narrowed ranges.
    Query other{2, 24, 24, 44100, 44100};
    EXPECT_EQ(Match(usbaudio::kDirectionOut, other), STATUS_NO_MATCH);
    EXPECT_EQ(driver_->MatchDataRange(usbaudio::kDirectionOut, &other.channels, nullptr, &other.maxBits,
                                      &other.minRate, &other.maxRate),
              STATUS_INVALID_PARAMETER);
}

// On 1.0 the window shrinks to the rates the alternates name (listed rates and the bounds of
// continuous ranges); when none lies inside, the bounds come back the wrong way round.
TEST_F(MatchDataRangeTest, AudioClass10NarrowsToNamedRates)
{
    ASSERT_NO_FATAL_FAILURE(Start(
        Configuration({Control10(1, {uac1::InputTerminal(1, kTerminalUsbStreaming, 0, 2, 0x3, 0, 0),
                                     uac1::OutputTerminal(3, kTerminalSpeaker, 0, 1, 0)}),
                       Streaming10(1, 1, 0x01,
                                   {{kTagPcm, 2, 2, 16, {44100, 48000}},
                                    {kTagIeeeFloat, 2, 4, 32, {8000, 96000}, true}})}),
        UsbSpeed::Full));
    ASSERT_EQ(driver_->BuildFilter(&filter_), STATUS_SUCCESS);

    const struct {
        ULONG bits;
        ULONG minRate;
        ULONG maxRate;
        ULONG expectedMin;
        ULONG expectedMax;
    } cases[] = {{32, 40000, 90000, 44100, 48000},
                 {32, 8000, 96000, 8000, 96000},
                 {32, 50000, 60000, 60000, 50000},
                 {16, 44100, 44100, 44100, 44100}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bits << " bits, " << c.minRate << ".." << c.maxRate);
        Query query{2, c.bits, c.bits, c.minRate, c.maxRate};
        ASSERT_EQ(Match(usbaudio::kDirectionOut, query), STATUS_SUCCESS);
        EXPECT_EQ(query.minRate, c.expectedMin);
        EXPECT_EQ(query.maxRate, c.expectedMax);
    }
    Query outside{2, 16, 16, 32000, 48000};
    EXPECT_EQ(Match(usbaudio::kDirectionOut, outside), STATUS_NO_MATCH);
    EXPECT_EQ(Match(usbaudio::kDirectionIn, outside), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace filtertest
