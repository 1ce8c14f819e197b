// The rates the user-mode side offers, each with the text shown to the user, and the rates it
// probes a device with.
#pragma once

#include "platform/user.h"

struct RateText {
    DWORD rate;  // Hz; for DSD the bit rate
    const WCHAR* text;
};

// PCM rates the ASIO driver accepts and the control panel offers.
extern const RateText kPcmRates[2];
// DSD bit rates, each 32 times a PCM rate, for devices that play native DSD.
extern const RateText kDsdRates[3];
// The rates a device's capabilities are asked for, ascending.
extern const DWORD kProbeRates[11];

// Whether `rate` is one of kDsdRates.
bool IsDsdRate(DWORD rate);
