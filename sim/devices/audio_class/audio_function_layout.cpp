#include "sim/devices/audio_class/audio_function_layout.h"

#include "sim/api/usb_descriptors.h"

namespace sim::devices {

using sim::usb::Bytes;
using sim::usb::kAudioClass;
using sim::usb::kAudioControlSubclass;
using sim::usb::kAudioStreamingSubclass;
using sim::usb::kCsEndpoint;
using sim::usb::kCsInterface;
using sim::usb::kEndpointGeneral;

namespace {

constexpr uint8_t kVendorSpecificClass = 0xFF;
constexpr uint8_t kHeader = 0x01;
constexpr uint8_t kInputTerminal = 0x02;
constexpr uint8_t kOutputTerminal = 0x03;
constexpr uint8_t kFeatureUnit = 0x06;
constexpr uint8_t kClockSource = 0x0A;
constexpr uint8_t kClockSelector = 0x0B;
constexpr uint8_t kAsGeneral = 0x01;
constexpr uint8_t kFormatType = 0x02;
constexpr uint8_t kFormatTypeI = 0x01;
constexpr uint8_t kUsageMask = 0x30;
constexpr uint8_t kUsageFeedback = 0x10;
constexpr uint16_t kAudioClass20Release = 0x0200;

// One descriptor of the set: its bytes, bounds-checked reads of its fields.
class Descriptor {
public:
    Descriptor(const uint8_t* bytes, size_t length) : bytes_(bytes), length_(length) {}
    size_t Length() const { return length_; }
    uint8_t Type() const { return Byte(1); }
    uint8_t Subtype() const { return Byte(2); }
    uint8_t Byte(size_t offset) const { return offset < length_ ? bytes_[offset] : 0; }
    uint32_t Field(size_t offset, size_t width) const
    {
        uint32_t value = 0;
        for (size_t i = 0; i < width; ++i) {
            value |= uint32_t(Byte(offset + i)) << (8 * i);
        }
        return value;
    }

private:
    const uint8_t* bytes_;
    size_t length_;
};

// Every whole descriptor of the set, in order, up to the first that does not fit.
std::vector<Descriptor> Walk(const Bytes& configuration)
{
    std::vector<Descriptor> descriptors;
    size_t end = configuration.size();
    if (end >= 4) {
        const size_t total = size_t(configuration[2] | configuration[3] << 8);
        end = total < end ? total : end;
    }
    for (size_t at = 0; at + 2 <= end && configuration[at] >= 2 && at + configuration[at] <= end;
         at += configuration[at]) {
        descriptors.emplace_back(&configuration[at], configuration[at]);
    }
    return descriptors;
}

bool IsAudioInterface(const Descriptor& interface, uint8_t subclass)
{
    return interface.Length() >= 9 && (interface.Byte(5) == kAudioClass || interface.Byte(5) == kVendorSpecificClass) &&
           interface.Byte(6) == subclass;
}

void AddEntity(AudioFunctionLayout& layout, const Descriptor& d)
{
    const uint8_t id = d.Byte(3);
    const bool v20 = layout.audioClass20;
    switch (d.Subtype()) {
    case kInputTerminal:
        layout.terminals.push_back({id, true, 0, v20 ? d.Byte(7) : uint8_t(0), v20 ? d.Byte(8) : d.Byte(7),
                                    uint16_t(v20 ? d.Field(14, 2) : 0)});
        break;
    case kOutputTerminal:
        layout.terminals.push_back({id, false, d.Byte(7), v20 ? d.Byte(8) : uint8_t(0), 0,
                                    uint16_t(v20 ? d.Field(9, 2) : 0)});
        break;
    case kFeatureUnit: {
        FeatureUnitLayout unit{id, d.Byte(4), {}};
        const size_t entryBytes = v20 ? 4 : d.Byte(5);
        const size_t first = v20 ? 5 : 6;
        const size_t fixed = v20 ? 6 : 7;
        for (size_t entry = 0; entryBytes != 0 && fixed + (entry + 1) * entryBytes <= d.Length(); ++entry) {
            unit.controls.push_back(d.Field(first + entry * entryBytes, entryBytes < 4 ? entryBytes : 4));
        }
        layout.featureUnits.push_back(unit);
        break;
    }
    case kClockSource:
        if (v20) {
            layout.clockSources.push_back({id, d.Byte(4), d.Byte(5)});
        }
        break;
    case kClockSelector:
        if (v20) {
            ClockSelectorLayout selector{id, {}, 0};
            const uint8_t pins = d.Byte(4);
            for (uint8_t pin = 0; pin < pins; ++pin) {
                selector.inputs.push_back(d.Byte(5 + pin));
            }
            selector.controls = d.Byte(5 + size_t(pins));
            layout.clockSelectors.push_back(selector);
        }
        break;
    default:
        break;
    }
}

void AddFormat(StreamingAlternateLayout& alternate, const Descriptor& d, bool audioClass20)
{
    if (d.Byte(3) != kFormatTypeI) {
        return;
    }
    if (audioClass20) {
        alternate.subslotBytes = d.Byte(4);
        alternate.bitResolution = d.Byte(5);
        return;
    }
    alternate.channels = d.Byte(4);
    alternate.subslotBytes = d.Byte(5);
    alternate.bitResolution = d.Byte(6);
    const uint8_t count = d.Byte(7);
    if (count == 0) {
        alternate.continuous = true;
        alternate.lowerRate = d.Field(8, 3);
        alternate.upperRate = d.Field(11, 3);
        return;
    }
    for (uint8_t i = 0; i < count && 8 + 3 * (size_t(i) + 1) <= d.Length(); ++i) {
        alternate.rates.push_back(d.Field(8 + 3 * size_t(i), 3));
    }
}

// For the const and the mutable layout alike.
template <class Layout> auto FindStreaming(Layout& layout, uint8_t number) -> decltype(&layout.streamingInterfaces[0])
{
    for (auto& streaming : layout.streamingInterfaces) {
        if (streaming.number == number) {
            return &streaming;
        }
    }
    return nullptr;
}

}  // namespace

std::optional<AudioFunctionLayout> ParseAudioFunction(const Bytes& configuration)
{
    const std::vector<Descriptor> descriptors = Walk(configuration);
    AudioFunctionLayout layout;
    enum class Place { Elsewhere, AudioControl, Streaming };
    Place place = Place::Elsewhere;
    bool found = false;
    StreamingAlternateLayout* alternate = nullptr;
    bool afterDataEndpoint = false;

    for (size_t i = 0; i < descriptors.size(); ++i) {
        const Descriptor& d = descriptors[i];
        if (d.Type() == USB_INTERFACE_DESCRIPTOR_TYPE && d.Length() >= 9) {
            place = Place::Elsewhere;
            alternate = nullptr;
            if (!found && IsAudioInterface(d, kAudioControlSubclass) && d.Byte(3) == 0 && i + 1 < descriptors.size() &&
                descriptors[i + 1].Type() == kCsInterface && descriptors[i + 1].Subtype() == kHeader) {
                found = true;
                place = Place::AudioControl;
                layout.controlInterface = d.Byte(2);
                layout.audioClass20 = descriptors[i + 1].Field(3, 2) == kAudioClass20Release;
                ++i;
            } else if (IsAudioInterface(d, kAudioStreamingSubclass)) {
                place = Place::Streaming;
                const uint8_t number = d.Byte(2);
                if (layout.StreamingInterface(number) == nullptr) {
                    layout.streamingInterfaces.push_back({number, {}});
                }
                if (d.Byte(4) != 0) {  // bNumEndpoints: alternate 0 moves nothing
                    StreamingInterfaceLayout& owner = *FindStreaming(layout, number);
                    owner.alternates.push_back({});
                    alternate = &owner.alternates.back();
                    alternate->alternate = d.Byte(3);
                    afterDataEndpoint = false;
                }
            }
            continue;
        }
        if (place == Place::AudioControl && d.Type() == kCsInterface) {
            AddEntity(layout, d);
        } else if (place == Place::Streaming && alternate != nullptr) {
            if (d.Type() == kCsInterface && d.Subtype() == kAsGeneral && alternate->terminalLink == 0) {
                alternate->terminalLink = d.Byte(3);
                if (layout.audioClass20) {
                    alternate->channels = d.Byte(10);
                }
            } else if (d.Type() == kCsInterface && d.Subtype() == kFormatType) {
                AddFormat(*alternate, d, layout.audioClass20);
            } else if (d.Type() == USB_ENDPOINT_DESCRIPTOR_TYPE && d.Length() >= 7) {
                const bool data = (d.Byte(3) & kUsageMask) != kUsageFeedback && !alternate->dataEndpoint;
                // A 1.0 synch endpoint has no usage bits; it is the one the data endpoint names.
                if (data) {
                    alternate->dataEndpoint = d.Byte(2);
                } else if (!alternate->feedbackEndpoint) {
                    alternate->feedbackEndpoint = d.Byte(2);
                }
                afterDataEndpoint = data;
            } else if (d.Type() == kCsEndpoint && d.Subtype() == kEndpointGeneral && afterDataEndpoint) {
                alternate->classEndpointAttributes = d.Byte(3);
                afterDataEndpoint = false;
            }
        }
    }
    if (!found) {
        return std::nullopt;
    }
    return layout;
}

namespace {

template <class T> const T* FindById(const std::vector<T>& entities, uint8_t id)
{
    for (const T& entity : entities) {
        if (entity.id == id) {
            return &entity;
        }
    }
    return nullptr;
}

}  // namespace

const ClockSourceLayout* AudioFunctionLayout::ClockSource(uint8_t id) const { return FindById(clockSources, id); }
const ClockSelectorLayout* AudioFunctionLayout::ClockSelector(uint8_t id) const
{
    return FindById(clockSelectors, id);
}
const FeatureUnitLayout* AudioFunctionLayout::FeatureUnit(uint8_t id) const { return FindById(featureUnits, id); }
const TerminalLayout* AudioFunctionLayout::Terminal(uint8_t id) const { return FindById(terminals, id); }

const StreamingInterfaceLayout* AudioFunctionLayout::StreamingInterface(uint8_t number) const
{
    return FindStreaming(*this, number);
}

}  // namespace sim::devices
