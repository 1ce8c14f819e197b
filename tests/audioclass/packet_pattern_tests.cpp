// The render packet patterns: the rows the rule gives, checked against the sample frames a whole
// pattern must carry and against rows written out by hand.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "driver/usbaudio/packet_pattern.h"

namespace {

using usbaudio::FindPacketPattern;
using usbaudio::PacketPatternRow;
using usbaudio::PatternEntries;

std::vector<USHORT> Entries(const PacketPatternRow& row, bool highSpeed)
{
    ULONG length = 0;
    const USHORT* entries = PatternEntries(row, highSpeed, &length);
    return std::vector<USHORT>(entries, entries + length);
}

// Each pattern carries exactly its rate; after each packet the frames sent are within one frame of
// what the time so far has made, and by the rule never behind it (rounded up). Only the full-speed
// row of 705600 alternates instead and may lag by a fraction.
TEST(PacketPattern, EveryRowCarriesItsRateWithinAFrame)
{
    const struct {
        ULONG rate;
        ULONG fullSpeedLength;
        ULONG highSpeedLength;
    } rows[] = {{768000, 1, 1},  {705600, 5, 5},   {384000, 1, 1}, {352800, 5, 10}, {192000, 1, 1},
                {176400, 5, 20}, {96000, 1, 1},    {88200, 5, 40}, {48000, 1, 1},   {44100, 10, 80},
                {32000, 1, 1},   {22050, 20, 160}, {16000, 1, 1},  {11025, 40, 320}, {8000, 1, 1}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.rate);
        const PacketPatternRow* row = FindPacketPattern(r.rate);
        ASSERT_NE(row, nullptr);
        for (bool highSpeed : {false, true}) {
            const std::vector<USHORT> entries = Entries(*row, highSpeed);
            const ULONG perSecond = highSpeed ? 8000 : 1000;
            ASSERT_EQ(entries.size(), highSpeed ? r.highSpeedLength : r.fullSpeedLength);
            EXPECT_EQ(std::accumulate(entries.begin(), entries.end(), 0ULL),
                      ULONGLONG(r.rate) * entries.size() / perSecond);
            const bool byTheRule = highSpeed || r.rate != 705600;
            ULONGLONG sent = 0;
            for (size_t i = 0; i < entries.size(); ++i) {
                sent += entries[i];
                const ULONGLONG due = ULONGLONG(r.rate) * (i + 1);
                EXPECT_LT(sent * perSecond, due + perSecond) << "packet " << i;
                EXPECT_GT(sent * perSecond + perSecond, due) << "packet " << i;
                if (byTheRule) {
                    EXPECT_GE(sent * perSecond, due) << "packet " << i;
                }
            }
        }
    }
}

TEST(PacketPattern, RowsAsWrittenOut)
{
    const struct {
        ULONG rate;
        bool highSpeed;
        std::vector<USHORT> start;
    } rows[] = {
        {705600, false, {706, 705, 706, 705, 706}},  // alternating, not by the rule
        {705600, true, {89, 88, 88, 88, 88}},
        {352800, false, {353, 353, 353, 353, 352}},
        {176400, false, {177, 176, 177, 176, 176}},
        {88200, false, {89, 88, 88, 88, 88}},
        {44100, false, {45, 44, 44, 44, 44, 44, 44, 44, 44, 44}},
        {44100, true, {6, 6, 5, 6, 5}},
        {48000, true, {6}},
        {8000, true, {1}},
        {768000, false, {768}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.rate << (r.highSpeed ? " high speed" : " full speed"));
        const PacketPatternRow* row = FindPacketPattern(r.rate);
        ASSERT_NE(row, nullptr);
        const std::vector<USHORT> entries = Entries(*row, r.highSpeed);
        ASSERT_GE(entries.size(), r.start.size());
        EXPECT_EQ(std::vector<USHORT>(entries.begin(), entries.begin() + long(r.start.size())), r.start);
    }
}

TEST(PacketPattern, OnlyTheTableRates)
{
    for (ULONG rate : {0u, 12000u, 24000u, 44099u, 64000u, 1536000u}) {
        EXPECT_EQ(FindPacketPattern(rate), nullptr) << rate;
    }
}

}  // namespace
