// Audio Device Class descriptors as bytes, one helper per class-specific descriptor table, fields in
// table order (bLength, bDescriptorType and bDescriptorSubtype are filled in). Arrays whose length
// has its own field (baSourceID with bNrInPins, bmaControls, tSamFreq) are passed as vectors and
// their count fields follow from them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "sim/usb/descriptors/descriptor_builder.h"

namespace sim::usb {

// Audio Control interface descriptor subtypes.
constexpr uint8_t kAcHeader = 0x01;
constexpr uint8_t kAcInputTerminal = 0x02;
constexpr uint8_t kAcOutputTerminal = 0x03;
constexpr uint8_t kAcMixerUnit = 0x04;
constexpr uint8_t kAcSelectorUnit = 0x05;
constexpr uint8_t kAcFeatureUnit = 0x06;
constexpr uint8_t kAc1ProcessingUnit = 0x07;
constexpr uint8_t kAc1ExtensionUnit = 0x08;
constexpr uint8_t kAc2EffectUnit = 0x07;
constexpr uint8_t kAc2ProcessingUnit = 0x08;
constexpr uint8_t kAc2ExtensionUnit = 0x09;
constexpr uint8_t kAc2ClockSource = 0x0A;
constexpr uint8_t kAc2ClockSelector = 0x0B;
constexpr uint8_t kAc2ClockMultiplier = 0x0C;
constexpr uint8_t kAc2SampleRateConverter = 0x0D;

// Audio Streaming interface descriptor subtypes.
constexpr uint8_t kAsGeneral = 0x01;
constexpr uint8_t kAsFormatType = 0x02;
constexpr uint8_t kFormatTypeI = 0x01;

// Terminal types.
constexpr uint16_t kTerminalUsbStreaming = 0x0101;
constexpr uint16_t kTerminalMicrophone = 0x0201;
constexpr uint16_t kTerminalSpeaker = 0x0301;
constexpr uint16_t kTerminalLineConnector = 0x0603;

namespace uac2 {

// The class-specific AC header followed by the entities; wTotalLength covers both.
Bytes AudioControl(uint16_t bcdADC, uint8_t bCategory, uint8_t bmControls, std::initializer_list<Bytes> entities);

Bytes InputTerminal(uint8_t bTerminalID, uint16_t wTerminalType, uint8_t bAssocTerminal, uint8_t bCSourceID,
                    uint8_t bNrChannels, uint32_t bmChannelConfig, uint8_t iChannelNames, uint16_t bmControls,
                    uint8_t iTerminal);
Bytes OutputTerminal(uint8_t bTerminalID, uint16_t wTerminalType, uint8_t bAssocTerminal, uint8_t bSourceID,
                     uint8_t bCSourceID, uint16_t bmControls, uint8_t iTerminal);
// bmaControls: the master channel first, then one word per logical channel.
Bytes FeatureUnit(uint8_t bUnitID, uint8_t bSourceID, const std::vector<uint32_t>& bmaControls, uint8_t iFeature);
Bytes ClockSource(uint8_t bClockID, uint8_t bmAttributes, uint8_t bmControls, uint8_t bAssocTerminal,
                  uint8_t iClockSource);
Bytes ClockSelector(uint8_t bClockID, const std::vector<uint8_t>& baCSourceID, uint8_t bmControls,
                    uint8_t iClockSelector);
Bytes ClockMultiplier(uint8_t bClockID, uint8_t bCSourceID, uint8_t bmControls, uint8_t iClockMultiplier);
Bytes MixerUnit(uint8_t bUnitID, const std::vector<uint8_t>& baSourceID, uint8_t bNrChannels, uint32_t bmChannelConfig,
                uint8_t iChannelNames, const Bytes& bmMixerControls, uint8_t bmControls, uint8_t iMixer);
Bytes SelectorUnit(uint8_t bUnitID, const std::vector<uint8_t>& baSourceID, uint8_t bmControls, uint8_t iSelector);
Bytes ProcessingUnit(uint8_t bUnitID, uint16_t wProcessType, const std::vector<uint8_t>& baSourceID,
                     uint8_t bNrChannels, uint32_t bmChannelConfig, uint8_t iChannelNames, uint16_t bmControls,
                     uint8_t iProcessing, const Bytes& processSpecific);
Bytes ExtensionUnit(uint8_t bUnitID, uint16_t wExtensionCode, const std::vector<uint8_t>& baSourceID,
                    uint8_t bNrChannels, uint32_t bmChannelConfig, uint8_t iChannelNames, uint8_t bmControls,
                    uint8_t iExtension);

Bytes AsGeneral(uint8_t bTerminalLink, uint8_t bmControls, uint8_t bFormatType, uint32_t bmFormats, uint8_t bNrChannels,
                uint32_t bmChannelConfig, uint8_t iChannelNames);
Bytes FormatTypeI(uint8_t bSubslotSize, uint8_t bBitResolution);
// The class-specific isochronous data endpoint descriptor (CS_ENDPOINT, EP_GENERAL).
Bytes IsoEndpoint(uint8_t bmAttributes, uint8_t bmControls, uint8_t bLockDelayUnits, uint16_t wLockDelay);

}  // namespace uac2

namespace uac1 {

// The class-specific AC header followed by the entities; wTotalLength covers both.
Bytes AudioControl(uint16_t bcdADC, const std::vector<uint8_t>& baInterfaceNr, std::initializer_list<Bytes> entities);

Bytes InputTerminal(uint8_t bTerminalID, uint16_t wTerminalType, uint8_t bAssocTerminal, uint8_t bNrChannels,
                    uint16_t wChannelConfig, uint8_t iChannelNames, uint8_t iTerminal);
Bytes OutputTerminal(uint8_t bTerminalID, uint16_t wTerminalType, uint8_t bAssocTerminal, uint8_t bSourceID,
                     uint8_t iTerminal);
// bmaControls: the master channel first; each entry is written in bControlSize bytes.
Bytes FeatureUnit(uint8_t bUnitID, uint8_t bSourceID, uint8_t bControlSize, const std::vector<uint32_t>& bmaControls,
                  uint8_t iFeature);
Bytes MixerUnit(uint8_t bUnitID, const std::vector<uint8_t>& baSourceID, uint8_t bNrChannels, uint16_t wChannelConfig,
                uint8_t iChannelNames, const Bytes& bmControls, uint8_t iMixer);
Bytes SelectorUnit(uint8_t bUnitID, const std::vector<uint8_t>& baSourceID, uint8_t iSelector);
Bytes ProcessingUnit(uint8_t bUnitID, uint16_t wProcessType, const std::vector<uint8_t>& baSourceID,
                     uint8_t bNrChannels, uint16_t wChannelConfig, uint8_t iChannelNames, const Bytes& bmControls,
                     uint8_t iProcessing, const Bytes& processSpecific);
Bytes ExtensionUnit(uint8_t bUnitID, uint16_t wExtensionCode, const std::vector<uint8_t>& baSourceID,
                    uint8_t bNrChannels, uint16_t wChannelConfig, uint8_t iChannelNames, const Bytes& bmControls,
                    uint8_t iExtension);

Bytes AsGeneral(uint8_t bTerminalLink, uint8_t bDelay, uint16_t wFormatTag);
// Type I format with a list of discrete rates (bSamFreqType = number of rates).
Bytes FormatTypeI(uint8_t bNrChannels, uint8_t bSubframeSize, uint8_t bBitResolution,
                  const std::vector<uint32_t>& tSamFreq);
// Type I format with a continuous range (bSamFreqType 0).
Bytes FormatTypeIContinuous(uint8_t bNrChannels, uint8_t bSubframeSize, uint8_t bBitResolution, uint32_t tLowerSamFreq,
                            uint32_t tUpperSamFreq);
// The class-specific isochronous endpoint descriptor (CS_ENDPOINT, EP_GENERAL).
Bytes IsoEndpoint(uint8_t bmAttributes, uint8_t bLockDelayUnits, uint16_t wLockDelay);

}  // namespace uac1

}  // namespace sim::usb
