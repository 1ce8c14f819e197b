#include "common/format_tables.h"

const RateText kPcmRates[2] = {
    {44100, W("44100 Hz")},
    {88200, W("88200 Hz")},
};

const RateText kDsdRates[3] = {
    {2822400, W("2.8224MHz")},
    {5644800, W("5.6448MHz")},
    {11289600, W("11.2896MHz")},
};

const DWORD kProbeRates[11] = {32000, 44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000, 705600, 768000};

bool IsDsdRate(DWORD rate)
{
    for (const RateText& row : kDsdRates) {
        if (row.rate == rate) {
            return true;
        }
    }
    return false;
}
