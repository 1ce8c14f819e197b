// What the driver knows of the R9 beyond what the device reports: channel names and the
// latencies measured on the hardware, per product, and the channel names made for a device
// that is not in the table.
#pragma once

#include "platform/user.h"

struct LatencyRow {
    LONG rate;
    LONG inputOffset;  // frames the converters and the device add on the way in
    LONG bufferA;      // two buffer sizes with their measured round trips, in frames
    LONG roundTripA;
    LONG bufferB;
    LONG roundTripB;
};

struct ProductInfo {
    const WCHAR* key;  // a fragment of the device's instance ID
    int inputNameCount;
    const char* const* inputNames;
    int outputNameCount;
    const char* const* outputNames;
    int latencyRowCount;
    const LatencyRow* latencyRows;
};

// The first row whose key occurs (case-sensitively) in the instance ID; null when none does.
const ProductInfo* FindProductInfo(const WCHAR* instanceId);
// The row for exactly this rate; null when the product has none (every DSD rate).
const LatencyRow* FindLatencyRow(const ProductInfo& product, DWORD rate);

// A channel's name (at most 31 characters and a terminator): the product's own name when the
// product has one for that channel, otherwise one made from the device's description: leading
// digits, dashes and blanks dropped, cut to 21 characters and "..." when too long, then " In 01"
// or " Out 01" with the channel number counted from 1.
void ChannelName(const ProductInfo* product, const WCHAR* description, bool input, int channel, char (&name)[32]);
