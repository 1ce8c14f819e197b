// Builds USB descriptors as bytes, one helper per descriptor table of the USB and Audio Device
// Class 1.0 / 2.0 documents, arguments in table order. bLength is always computed; length fields
// that cover other descriptors (wTotalLength) are computed too, and tests break them on purpose
// with the Put* helpers or ConfigurationBuilder::LieAboutTotalLength.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <vector>

namespace sim::usb {

using Bytes = std::vector<uint8_t>;

// Overwrites bytes of an already built descriptor (little-endian for the wider ones).
void PutByte(Bytes& bytes, size_t offset, uint8_t value);
void PutWord(Bytes& bytes, size_t offset, uint16_t value);
void PutDword(Bytes& bytes, size_t offset, uint32_t value);

// Joins descriptors in order.
Bytes Concat(std::initializer_list<Bytes> parts);
void Append(Bytes& to, const Bytes& part);

// Any descriptor: bLength, bDescriptorType, then the body as given.
Bytes Raw(uint8_t descriptorType, const Bytes& body);

// ---- Standard descriptors ----
struct DeviceFields {
    uint16_t bcdUSB;
    uint8_t bDeviceClass;
    uint8_t bDeviceSubClass;
    uint8_t bDeviceProtocol;
    uint8_t bMaxPacketSize0;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint8_t iManufacturer;
    uint8_t iProduct;
    uint8_t iSerialNumber;
    uint8_t bNumConfigurations;
};
Bytes Device(const DeviceFields& fields);

Bytes InterfaceAssociation(uint8_t bFirstInterface, uint8_t bInterfaceCount, uint8_t bFunctionClass,
                           uint8_t bFunctionSubClass, uint8_t bFunctionProtocol, uint8_t iFunction);

Bytes Interface(uint8_t bInterfaceNumber, uint8_t bAlternateSetting, uint8_t bNumEndpoints, uint8_t bInterfaceClass,
                uint8_t bInterfaceSubClass, uint8_t bInterfaceProtocol, uint8_t iInterface = 0);

// 7-byte endpoint (USB 2.0, Audio Class 2.0).
Bytes Endpoint(uint8_t bEndpointAddress, uint8_t bmAttributes, uint16_t wMaxPacketSize, uint8_t bInterval);

// 9-byte endpoint of Audio Class 1.0 streaming interfaces.
Bytes AudioEndpoint(uint8_t bEndpointAddress, uint8_t bmAttributes, uint16_t wMaxPacketSize, uint8_t bInterval,
                    uint8_t bRefresh, uint8_t bSynchAddress);

// String descriptor 0: the language IDs the device supports.
Bytes LanguageIds(std::initializer_list<uint16_t> languageIds);
Bytes LanguageIds(const std::vector<uint16_t>& languageIds);
// Any other string descriptor: UTF-16LE text without a terminator (at most 126 characters).
Bytes String(std::u16string_view text);

// Configuration header followed by every descriptor added, in order. bNumInterfaces counts the
// distinct interface numbers added and wTotalLength the bytes, unless told otherwise.
class ConfigurationBuilder {
public:
    ConfigurationBuilder(uint8_t bConfigurationValue, uint8_t iConfiguration, uint8_t bmAttributes, uint8_t bMaxPower);

    ConfigurationBuilder& Add(const Bytes& descriptors);
    ConfigurationBuilder& NumInterfaces(uint8_t bNumInterfaces);
    ConfigurationBuilder& LieAboutTotalLength(uint16_t wTotalLength);

    Bytes Build() const;

private:
    uint8_t configurationValue_;
    uint8_t configurationString_;
    uint8_t attributes_;
    uint8_t maxPower_;
    Bytes body_;
    std::optional<uint8_t> numInterfaces_;
    std::optional<uint16_t> totalLength_;
};

// Descriptor types and codes of the Audio Device Class.
constexpr uint8_t kCsInterface = 0x24;
constexpr uint8_t kCsEndpoint = 0x25;
constexpr uint8_t kAudioClass = 0x01;
constexpr uint8_t kAudioControlSubclass = 0x01;
constexpr uint8_t kAudioStreamingSubclass = 0x02;
constexpr uint8_t kMidiStreamingSubclass = 0x03;
constexpr uint8_t kAudioProtocolVersion2 = 0x20;  // IP_VERSION_02_00 / AF_VERSION_02_00
constexpr uint8_t kEndpointGeneral = 0x01;        // EP_GENERAL subtype of CS_ENDPOINT

// Class-specific descriptor of type kCsInterface or kCsEndpoint: subtype, then the body.
Bytes ClassSpecific(uint8_t descriptorType, uint8_t subtype, const Bytes& body);

}  // namespace sim::usb
