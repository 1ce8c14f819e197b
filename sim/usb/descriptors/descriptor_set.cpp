#include "sim/usb/descriptors/descriptor_set.h"

#include <fstream>
#include <iterator>

namespace sim::usb {

namespace {
constexpr size_t kDeviceDescriptorLength = 18;
}

Bytes DescriptorSet::StringDescriptor(uint8_t index) const
{
    if (index == 0) {
        return languageIds.empty() ? Bytes{} : LanguageIds(languageIds);
    }
    for (const auto& [stringIndex, text] : strings) {
        if (stringIndex == index) {
            return String(text);
        }
    }
    return {};
}

DescriptorSet DescriptorSetFromDump(const Bytes& dump)
{
    DescriptorSet set;
    const size_t split = dump.size() < kDeviceDescriptorLength ? dump.size() : kDeviceDescriptorLength;
    set.device.assign(dump.begin(), dump.begin() + static_cast<std::ptrdiff_t>(split));
    set.configuration.assign(dump.begin() + static_cast<std::ptrdiff_t>(split), dump.end());
    return set;
}

std::optional<Bytes> ReadBinaryFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    Bytes bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) {
        return std::nullopt;
    }
    return bytes;
}

}  // namespace sim::usb
