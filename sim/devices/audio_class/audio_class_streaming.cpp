// The streaming side: the 1.0 endpoint sampling-frequency request and the vendor request that
// switches a streaming interface between PCM and native DSD.
#include "sim/devices/audio_class/audio_class_function.h"

#include <algorithm>

namespace sim::devices {

using sim::usb::ControlReply;
using sim::usb::SetupPacket;

namespace {

constexpr uint8_t kSamplingFrequency = 0x01;
constexpr uint8_t kSamplingFrequencyControl = 0x01;  // class endpoint bmAttributes bit 0
constexpr uint8_t kVendorToInterface = 0x41;
constexpr uint8_t kStreamingModeRequest = 0x00;
constexpr uint16_t kHighestMode = 1;  // 0 PCM, 1 native DSD

}  // namespace

void AudioClassFunction::InitialiseEndpointRates()
{
    for (const StreamingInterfaceLayout& streaming : layout_.streamingInterfaces) {
        for (const StreamingAlternateLayout& alternate : streaming.alternates) {
            if (!alternate.dataEndpoint || endpointRates_.count(*alternate.dataEndpoint) != 0) {
                continue;
            }
            bool hasControl = false;
            const uint8_t endpoint = *alternate.dataEndpoint;
            if (EndpointOffers(endpoint, kDefaultRate, &hasControl)) {
                endpointRates_[endpoint] = kDefaultRate;
            } else if (alternate.continuous || !alternate.rates.empty()) {
                endpointRates_[endpoint] = alternate.continuous ? alternate.lowerRate : alternate.rates.front();
            }
        }
    }
}

// Whether some alternate streaming through the endpoint offers the rate; *hasControl tells whether
// one of them has the sampling-frequency control.
bool AudioClassFunction::EndpointOffers(uint8_t endpointAddress, uint32_t rate, bool* hasControl) const
{
    bool offers = false;
    *hasControl = false;
    for (const StreamingInterfaceLayout& streaming : layout_.streamingInterfaces) {
        for (const StreamingAlternateLayout& alternate : streaming.alternates) {
            if (alternate.dataEndpoint != endpointAddress) {
                continue;
            }
            if (alternate.classEndpointAttributes &&
                (*alternate.classEndpointAttributes & kSamplingFrequencyControl) != 0) {
                *hasControl = true;
            }
            const bool listed = alternate.continuous
                                    ? rate >= alternate.lowerRate && rate <= alternate.upperRate
                                    : std::find(alternate.rates.begin(), alternate.rates.end(), rate) !=
                                          alternate.rates.end();
            offers = offers || listed;
        }
    }
    return offers;
}

ControlReply AudioClassFunction::EndpointRequest(uint8_t endpointAddress, const Request& request)
{
    if (layout_.audioClass20 || request.selector != kSamplingFrequency || request.channel != 0 ||
        request.attribute != Attribute::Cur || endpointRates_.count(endpointAddress) == 0) {
        return ControlReply::Stall();
    }
    bool hasControl = false;
    if (request.get) {
        EndpointOffers(endpointAddress, 0, &hasControl);
        if (!hasControl && !endpointRateReadableWithoutControl_) {
            return ControlReply::Stall();
        }
        const uint32_t rate = endpointRates_[endpointAddress];
        return ControlReply::Data({uint8_t(rate), uint8_t(rate >> 8), uint8_t(rate >> 16)});
    }
    if (request.length < 3) {
        return ControlReply::Stall();
    }
    const uint32_t rate = request.data[0] | request.data[1] << 8 | request.data[2] << 16;
    if (!EndpointOffers(endpointAddress, rate, &hasControl) || !hasControl) {
        return ControlReply::Stall();
    }
    endpointRates_[endpointAddress] = rate;
    return ControlReply::Ack();
}

void AudioClassFunction::BusReset()
{
    for (auto& [number, mode] : streamingModes_) {
        mode = 0;
    }
}

ControlReply AudioClassFunction::StreamingModeRequest(const SetupPacket& setup)
{
    const uint8_t interfaceNumber = uint8_t(setup.index & 0xFF);
    if (setup.requestType != kVendorToInterface || setup.request != kStreamingModeRequest || setup.length != 0 ||
        setup.value > kHighestMode || modeAccepted_.count(interfaceNumber) == 0) {
        return ControlReply::Stall();
    }
    streamingModes_[interfaceNumber] = setup.value;
    return ControlReply::Ack();
}

}  // namespace sim::devices
