#include "sim/usb/configuration_layout.h"

namespace sim::usb {

namespace {
constexpr uint8_t kConfigurationType = 0x02;
constexpr uint8_t kInterfaceType = 0x04;
constexpr uint8_t kEndpointType = 0x05;
constexpr size_t kConfigurationLength = 9;
constexpr size_t kInterfaceLength = 9;
constexpr size_t kEndpointLength = 7;
constexpr size_t kAudioEndpointLength = 9;
}  // namespace

uint32_t EndpointLayout::BytesPerInterval() const
{
    const uint32_t size = maxPacketSize & 0x07FF;
    const uint32_t transactions = 1 + ((maxPacketSize >> 11) & 0x03);
    return size * transactions;
}

const AlternateLayout* ConfigurationLayout::Find(uint8_t interfaceNumber, uint8_t alternate) const
{
    for (const AlternateLayout& candidate : alternates) {
        if (candidate.interfaceNumber == interfaceNumber && candidate.alternate == alternate) {
            return &candidate;
        }
    }
    return nullptr;
}

std::optional<ConfigurationLayout> ParseConfiguration(const uint8_t* bytes, size_t size)
{
    if (size < kConfigurationLength || bytes[0] < kConfigurationLength || bytes[1] != kConfigurationType) {
        return std::nullopt;
    }
    ConfigurationLayout layout;
    layout.declaredInterfaces = bytes[4];
    layout.configurationValue = bytes[5];
    const size_t totalLength = size_t(bytes[2] | bytes[3] << 8);
    const size_t end = totalLength < size ? totalLength : size;

    AlternateLayout* current = nullptr;
    for (size_t at = 0; end - at >= 2;) {
        const uint8_t length = bytes[at];
        if (length < 2 || length > end - at) {
            break;
        }
        const uint8_t* d = bytes + at;
        if (d[1] == kInterfaceType && length >= kInterfaceLength) {
            AlternateLayout alternate;
            alternate.interfaceNumber = d[2];
            alternate.alternate = d[3];
            alternate.declaredEndpoints = d[4];
            alternate.interfaceClass = d[5];
            alternate.subclass = d[6];
            alternate.protocol = d[7];
            layout.alternates.push_back(alternate);
            current = &layout.alternates.back();
        } else if (d[1] == kEndpointType && length >= kEndpointLength && current != nullptr &&
                   current->endpoints.size() < current->declaredEndpoints) {
            EndpointLayout endpoint;
            endpoint.address = d[2];
            endpoint.attributes = d[3];
            endpoint.maxPacketSize = uint16_t(d[4] | d[5] << 8);
            endpoint.interval = d[6];
            endpoint.refresh = length >= kAudioEndpointLength ? d[7] : 0;
            current->endpoints.push_back(endpoint);
        }
        at += length;
    }
    return layout;
}

}  // namespace sim::usb
