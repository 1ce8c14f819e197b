#include "sim/usb/descriptors/descriptor_builder.h"

#include <set>
#include <stdexcept>

namespace sim::usb {

namespace {

constexpr uint8_t kDeviceType = 0x01;
constexpr uint8_t kConfigurationType = 0x02;
constexpr uint8_t kStringType = 0x03;
constexpr uint8_t kInterfaceType = 0x04;
constexpr uint8_t kEndpointType = 0x05;
constexpr uint8_t kInterfaceAssociationType = 0x0B;
constexpr size_t kConfigurationHeaderLength = 9;

void Word(Bytes& bytes, uint16_t value)
{
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

}  // namespace

void PutByte(Bytes& bytes, size_t offset, uint8_t value)
{
    bytes.at(offset) = value;
}

void PutWord(Bytes& bytes, size_t offset, uint16_t value)
{
    bytes.at(offset) = static_cast<uint8_t>(value);
    bytes.at(offset + 1) = static_cast<uint8_t>(value >> 8);
}

void PutDword(Bytes& bytes, size_t offset, uint32_t value)
{
    PutWord(bytes, offset, static_cast<uint16_t>(value));
    PutWord(bytes, offset + 2, static_cast<uint16_t>(value >> 16));
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts) {
        Append(all, part);
    }
    return all;
}

void Append(Bytes& to, const Bytes& part)
{
    to.insert(to.end(), part.begin(), part.end());
}

Bytes Raw(uint8_t descriptorType, const Bytes& body)
{
    if (body.size() + 2 > 0xFF) {
        throw std::length_error("a descriptor holds at most 255 bytes");
    }
    Bytes bytes{static_cast<uint8_t>(body.size() + 2), descriptorType};
    Append(bytes, body);
    return bytes;
}

Bytes Device(const DeviceFields& f)
{
    Bytes body;
    Word(body, f.bcdUSB);
    body.insert(body.end(), {f.bDeviceClass, f.bDeviceSubClass, f.bDeviceProtocol, f.bMaxPacketSize0});
    Word(body, f.idVendor);
    Word(body, f.idProduct);
    Word(body, f.bcdDevice);
    body.insert(body.end(), {f.iManufacturer, f.iProduct, f.iSerialNumber, f.bNumConfigurations});
    return Raw(kDeviceType, body);
}

Bytes InterfaceAssociation(uint8_t bFirstInterface, uint8_t bInterfaceCount, uint8_t bFunctionClass,
                           uint8_t bFunctionSubClass, uint8_t bFunctionProtocol, uint8_t iFunction)
{
    return Raw(kInterfaceAssociationType,
               {bFirstInterface, bInterfaceCount, bFunctionClass, bFunctionSubClass, bFunctionProtocol, iFunction});
}

Bytes Interface(uint8_t bInterfaceNumber, uint8_t bAlternateSetting, uint8_t bNumEndpoints, uint8_t bInterfaceClass,
                uint8_t bInterfaceSubClass, uint8_t bInterfaceProtocol, uint8_t iInterface)
{
    return Raw(kInterfaceType, {bInterfaceNumber, bAlternateSetting, bNumEndpoints, bInterfaceClass, bInterfaceSubClass,
                                bInterfaceProtocol, iInterface});
}

Bytes Endpoint(uint8_t bEndpointAddress, uint8_t bmAttributes, uint16_t wMaxPacketSize, uint8_t bInterval)
{
    Bytes body{bEndpointAddress, bmAttributes};
    Word(body, wMaxPacketSize);
    body.push_back(bInterval);
    return Raw(kEndpointType, body);
}

Bytes AudioEndpoint(uint8_t bEndpointAddress, uint8_t bmAttributes, uint16_t wMaxPacketSize, uint8_t bInterval,
                    uint8_t bRefresh, uint8_t bSynchAddress)
{
    Bytes bytes = Endpoint(bEndpointAddress, bmAttributes, wMaxPacketSize, bInterval);
    bytes.push_back(bRefresh);
    bytes.push_back(bSynchAddress);
    bytes[0] = static_cast<uint8_t>(bytes.size());
    return bytes;
}

Bytes LanguageIds(std::initializer_list<uint16_t> languageIds)
{
    return LanguageIds(std::vector<uint16_t>(languageIds));
}

Bytes LanguageIds(const std::vector<uint16_t>& languageIds)
{
    Bytes body;
    for (uint16_t id : languageIds) {
        Word(body, id);
    }
    return Raw(kStringType, body);
}

Bytes String(std::u16string_view text)
{
    Bytes body;
    for (char16_t c : text) {
        Word(body, static_cast<uint16_t>(c));
    }
    return Raw(kStringType, body);
}

ConfigurationBuilder::ConfigurationBuilder(uint8_t bConfigurationValue, uint8_t iConfiguration, uint8_t bmAttributes,
                                           uint8_t bMaxPower)
    : configurationValue_(bConfigurationValue),
      configurationString_(iConfiguration),
      attributes_(bmAttributes),
      maxPower_(bMaxPower)
{
}

ConfigurationBuilder& ConfigurationBuilder::Add(const Bytes& descriptors)
{
    Append(body_, descriptors);
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::NumInterfaces(uint8_t bNumInterfaces)
{
    numInterfaces_ = bNumInterfaces;
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::LieAboutTotalLength(uint16_t wTotalLength)
{
    totalLength_ = wTotalLength;
    return *this;
}

Bytes ConfigurationBuilder::Build() const
{
    // Counting walks the body by bLength, so a deliberately broken body is counted only up to
    // the first descriptor that cannot be stepped over.
    std::set<uint8_t> interfaceNumbers;
    for (size_t at = 0; at + 2 <= body_.size() && body_[at] >= 2; at += body_[at]) {
        if (body_[at + 1] == kInterfaceType && at + 2 < body_.size()) {
            interfaceNumbers.insert(body_[at + 2]);
        }
    }
    const size_t total = kConfigurationHeaderLength + body_.size();
    if (!totalLength_ && total > 0xFFFF) {
        throw std::length_error("a configuration holds at most 65535 bytes");
    }
    Bytes body;
    Word(body, totalLength_.value_or(static_cast<uint16_t>(total)));
    body.insert(body.end(), {numInterfaces_.value_or(static_cast<uint8_t>(interfaceNumbers.size())),
                             configurationValue_, configurationString_, attributes_, maxPower_});
    Bytes bytes = Raw(kConfigurationType, body);
    Append(bytes, body_);
    return bytes;
}

Bytes ClassSpecific(uint8_t descriptorType, uint8_t subtype, const Bytes& body)
{
    Bytes withSubtype{subtype};
    Append(withSubtype, body);
    return Raw(descriptorType, withSubtype);
}

}  // namespace sim::usb
