#include "tools/r9sim/descriptor_file.h"

#include <cctype>
#include <cstdio>

#include "sim/usb/descriptors/descriptor_set.h"

namespace r9sim {

namespace {

constexpr size_t kDeviceDescriptorLength = 18;
constexpr size_t kConfigurationHeaderLength = 9;
constexpr uint8_t kDeviceType = 0x01;
constexpr uint8_t kConfigurationType = 0x02;

std::string Format(const char* format, unsigned long a, unsigned long b = 0)
{
    char text[160];
    std::snprintf(text, sizeof(text), format, a, b);
    return text;
}

bool IsText(const std::vector<uint8_t>& file)
{
    for (uint8_t byte : file) {
        if (!(byte == '\t' || byte == '\n' || byte == '\r' || (byte >= 0x20 && byte < 0x7F))) {
            return false;
        }
    }
    return true;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = char(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool ParseHexText(const std::vector<uint8_t>& file, std::vector<uint8_t>& bytes, std::string& error)
{
    const std::string text(file.begin(), file.end());
    unsigned long line = 1;
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\n') {
            ++line;
            ++i;
        } else if (std::isspace(static_cast<unsigned char>(c)) || c == ',') {
            ++i;
        } else if (c == '#') {
            while (i < text.size() && text[i] != '\n') {
                ++i;
            }
        } else {
            size_t end = i;
            while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end])) && text[end] != ',' &&
                   text[end] != '#') {
                ++end;
            }
            std::string token = text.substr(i, end - i);
            if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
                token = token.substr(2);
            }
            bool valid = token.size() % 2 == 0;
            for (char digit : token) {
                valid = valid && HexValue(digit) >= 0;
            }
            if (!valid) {
                error = "line " + std::to_string(line) + ": '" + text.substr(i, end - i) + "' is not hex bytes";
                return false;
            }
            for (size_t k = 0; k < token.size(); k += 2) {
                bytes.push_back(uint8_t(HexValue(token[k]) << 4 | HexValue(token[k + 1])));
            }
            i = end;
        }
    }
    return true;
}

// Where walking the set by bLength first goes wrong, as the driver's reader would find it.
void CheckDescriptorChain(DeviceDescriptors& descriptors)
{
    const std::vector<uint8_t>& bytes = descriptors.configuration;
    size_t at = 0;
    while (at < bytes.size()) {
        const size_t remaining = bytes.size() - at;
        const unsigned long length = bytes[at];
        if (remaining < 2 || length < 2 || length > remaining) {
            descriptors.warnings.push_back(
                Format(length < 2 ? "the descriptor at offset %lu has bLength %lu, below 2: the driver reads "
                                    "nothing from there on"
                                  : "the descriptor at offset %lu has bLength %lu and runs past the end of the "
                                    "set: the driver reads nothing from there on",
                       at, length));
            return;
        }
        at += length;
    }
}

}  // namespace

bool ParseDescriptorFile(const std::vector<uint8_t>& file, DeviceDescriptors& descriptors, std::string& error)
{
    descriptors = {};
    std::vector<uint8_t> bytes;
    if (IsText(file)) {
        if (!ParseHexText(file, bytes, error)) {
            return false;
        }
    } else {
        bytes = file;
    }
    if (bytes.empty()) {
        error = "no descriptor bytes";
        return false;
    }

    size_t start = 0;
    if (bytes.size() >= 2 && bytes[0] == kDeviceDescriptorLength && bytes[1] == kDeviceType) {
        if (bytes.size() < kDeviceDescriptorLength) {
            error = Format("the device descriptor is cut short: %lu of 18 bytes", bytes.size());
            return false;
        }
        descriptors.device.assign(bytes.begin(), bytes.begin() + kDeviceDescriptorLength);
        start = kDeviceDescriptorLength;
    }
    const size_t available = bytes.size() - start;
    if (available < kConfigurationHeaderLength) {
        error = Format("no configuration descriptor: %lu bytes where 9 are needed", available);
        return false;
    }
    if (bytes[start] < kConfigurationHeaderLength || bytes[start + 1] != kConfigurationType) {
        error = Format("the bytes do not start with a configuration descriptor (bLength %lu, bDescriptorType %lu)",
                       bytes[start], bytes[start + 1]);
        return false;
    }
    const size_t totalLength = size_t(bytes[start + 2]) | size_t(bytes[start + 3]) << 8;
    if (totalLength > available) {
        error = Format("the configuration descriptor set is truncated: wTotalLength is %lu bytes but only %lu follow",
                       totalLength, available);
        return false;
    }
    if (totalLength < kConfigurationHeaderLength) {
        error = Format("wTotalLength %lu is shorter than the configuration descriptor itself", totalLength);
        return false;
    }
    if (totalLength < available) {
        descriptors.warnings.push_back(
            Format("%lu bytes after wTotalLength (%lu) are ignored", available - totalLength, totalLength));
    }
    descriptors.configuration.assign(bytes.begin() + long(start), bytes.begin() + long(start + totalLength));
    CheckDescriptorChain(descriptors);
    return true;
}

bool LoadDescriptorFile(const std::string& path, DeviceDescriptors& descriptors, std::string& error)
{
    const auto file = sim::usb::ReadBinaryFile(path);
    if (!file) {
        error = "cannot read " + path;
        return false;
    }
    if (!ParseDescriptorFile(*file, descriptors, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

}  // namespace r9sim
