// What a USB Audio Class function's descriptors say about it, as its firmware would know it: the
// entities of the Audio Control interface with the controls each has, and the streaming interfaces
// with the endpoint, terminal link and rates of every alternate. Read from the bytes of a
// configuration descriptor set; a descriptor whose length does not fit ends the walk.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/usb/descriptors/descriptor_builder.h"

namespace sim::devices {

struct ClockSourceLayout {
    uint8_t id = 0;
    uint8_t attributes = 0;  // bmAttributes: clock type, synchronised to SOF
    uint8_t controls = 0;    // bmControls: frequency (bits 1-0), validity (bits 3-2)
};

struct ClockSelectorLayout {
    uint8_t id = 0;
    std::vector<uint8_t> inputs;  // baCSourceID
    uint8_t controls = 0;         // bmControls: selector (bits 1-0)
};

struct FeatureUnitLayout {
    uint8_t id = 0;
    uint8_t source = 0;
    // bmaControls, the master channel first: bit pairs (2.0) or one bit per control (1.0).
    std::vector<uint32_t> controls;
};

struct TerminalLayout {
    uint8_t id = 0;
    bool input = false;
    uint8_t source = 0;    // output terminals
    uint8_t clock = 0;     // bCSourceID (2.0)
    uint8_t channels = 0;  // bNrChannels (input terminals)
    uint16_t controls = 0; // bmControls (2.0): connector control in bits 3-2
};

struct StreamingAlternateLayout {
    uint8_t alternate = 0;
    uint8_t terminalLink = 0;
    std::optional<uint8_t> dataEndpoint;
    // The explicit feedback endpoint (2.0) or synch endpoint (1.0) beside an OUT data endpoint.
    std::optional<uint8_t> feedbackEndpoint;
    std::optional<uint8_t> classEndpointAttributes;  // CS_ENDPOINT bmAttributes after the data endpoint
    // Type I layout: channels (2.0 AS_GENERAL, 1.0 format descriptor), bytes per subslot or
    // subframe, valid bits. 0 when the descriptors do not say.
    uint8_t channels = 0;
    uint8_t subslotBytes = 0;
    uint8_t bitResolution = 0;
    // 1.0 Type I rates: a list, or a continuous range when `continuous` is set.
    std::vector<uint32_t> rates;
    bool continuous = false;
    uint32_t lowerRate = 0;
    uint32_t upperRate = 0;
};

struct StreamingInterfaceLayout {
    uint8_t number = 0;
    std::vector<StreamingAlternateLayout> alternates;  // those with endpoints, in descriptor order
};

struct AudioFunctionLayout {
    bool audioClass20 = false;
    uint8_t controlInterface = 0;
    std::vector<ClockSourceLayout> clockSources;
    std::vector<ClockSelectorLayout> clockSelectors;
    std::vector<FeatureUnitLayout> featureUnits;
    std::vector<TerminalLayout> terminals;
    std::vector<StreamingInterfaceLayout> streamingInterfaces;

    const ClockSourceLayout* ClockSource(uint8_t id) const;
    const ClockSelectorLayout* ClockSelector(uint8_t id) const;
    const FeatureUnitLayout* FeatureUnit(uint8_t id) const;
    const TerminalLayout* Terminal(uint8_t id) const;
    const StreamingInterfaceLayout* StreamingInterface(uint8_t number) const;
};

// Nullopt when the bytes hold no Audio Control interface followed by its header. The Audio Control
// and Audio Streaming interfaces are found by subclass, with the audio or the vendor-specific class.
std::optional<AudioFunctionLayout> ParseAudioFunction(const sim::usb::Bytes& configuration);

}  // namespace sim::devices
