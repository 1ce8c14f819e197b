#include "asio/product_table.h"

#include <cstdio>
#include <cstring>

namespace {

const char* const kInputNames[] = {"Input1", "Input2", "Input3(DRY)", "Input4(DRY)"};
const char* const kOutputNames[] = {"Output1", "Output2", "Output3(REAMP)", "Output4(REAMP)"};

// Round trips measured at two buffer sizes per rate; sizes in between are interpolated.
const LatencyRow kR9Latencies[] = {
    {44100, 22, 64, 359, 2048, 4980},
    {48000, 24, 64, 372, 2048, 5044},
    {88200, 44, 128, 662, 4096, 9918},
    {96000, 48, 128, 698, 4096, 10041},
};

// The keys are the vendor and product IDs as instance IDs spell them. The R9 is a single-function
// device, so its instance IDs carry no interface number ("&MI_00"): a key that named one would
// never match.
const ProductInfo kProducts[] = {
    {W("VID_3A5C&PID_0009"), 4, kInputNames, 4, kOutputNames, 4, kR9Latencies},
    {W("VID_3A5C&PID_000A"), 4, kInputNames, 4, kOutputNames, 4, kR9Latencies},
};

}  // namespace

const ProductInfo* FindProductInfo(const WCHAR* instanceId)
{
    if (instanceId == nullptr) {
        return nullptr;
    }
    for (const ProductInfo& product : kProducts) {
        if (wcsstr(instanceId, product.key) != nullptr) {
            return &product;
        }
    }
    return nullptr;
}

const LatencyRow* FindLatencyRow(const ProductInfo& product, DWORD rate)
{
    for (int i = 0; i < product.latencyRowCount; ++i) {
        if (DWORD(product.latencyRows[i].rate) == rate) {
            return &product.latencyRows[i];
        }
    }
    return nullptr;
}

void ChannelName(const ProductInfo* product, const WCHAR* description, bool input, int channel, char (&name)[32])
{
    const int count = product == nullptr ? 0 : input ? product->inputNameCount : product->outputNameCount;
    const char* const* names = product == nullptr ? nullptr : input ? product->inputNames : product->outputNames;
    if (channel >= 0 && channel < count && names[channel] != nullptr) {
        std::snprintf(name, sizeof name, "%s", names[channel]);
        return;
    }
    char text[32] = {};
    if (description != nullptr) {
        WideCharToMultiByte(CP_ACP, 0, description, -1, text, sizeof text - 1, nullptr, nullptr);
    }
    // Descriptions often start with a model number ("2- R9"): that part is dropped, unless
    // nothing else is left.
    const char* rest = text;
    while (*rest != 0 && ((*rest >= '0' && *rest <= '9') || *rest == '-' || *rest == ' ')) {
        ++rest;
    }
    if (*rest == 0) {
        rest = text;
    }
    char shown[32];
    if (std::strlen(rest) + 7 >= sizeof shown) {
        std::snprintf(shown, sizeof shown, "%.21s...", rest);
    } else {
        std::snprintf(shown, sizeof shown, "%s", rest);
    }
    // Cut to the name's 31 characters; "In"/"Out" and the number always fit after 24 characters.
    char full[64];
    const int length = std::snprintf(full, sizeof full, "%s %s %02d", shown, input ? "In" : "Out", channel + 1);
    const size_t kept = length < 0 ? 0 : size_t(length) < sizeof name ? size_t(length) : sizeof name - 1;
    std::memcpy(name, full, kept);
    name[kept] = 0;
}
