#include "sim/usb/descriptors/audio_descriptors.h"

#include <stdexcept>

namespace sim::usb {

namespace {

class Body {
public:
    Body& U8(uint8_t value)
    {
        bytes_.push_back(value);
        return *this;
    }
    Body& U16(uint16_t value) { return U8(static_cast<uint8_t>(value)).U8(static_cast<uint8_t>(value >> 8)); }
    Body& U24(uint32_t value) { return U16(static_cast<uint16_t>(value)).U8(static_cast<uint8_t>(value >> 16)); }
    Body& U32(uint32_t value) { return U16(static_cast<uint16_t>(value)).U16(static_cast<uint16_t>(value >> 16)); }
    Body& Array(const std::vector<uint8_t>& values)
    {
        Append(bytes_, values);
        return *this;
    }
    // A count byte followed by the entries it counts (bNrInPins + baSourceID and the like).
    Body& Counted(const std::vector<uint8_t>& values)
    {
        if (values.size() > 0xFF) {
            throw std::length_error("more than 255 entries");
        }
        return U8(static_cast<uint8_t>(values.size())).Array(values);
    }
    const Bytes& bytes() const { return bytes_; }

private:
    Bytes bytes_;
};

Bytes CsInterface(uint8_t subtype, const Body& body)
{
    return ClassSpecific(kCsInterface, subtype, body.bytes());
}

Bytes HeaderWithEntities(Bytes header, size_t totalLengthOffset, std::initializer_list<Bytes> entities)
{
    Bytes all = header;
    for (const Bytes& entity : entities) {
        Append(all, entity);
    }
    if (all.size() > 0xFFFF) {
        throw std::length_error("an Audio Control interface holds at most 65535 bytes");
    }
    PutWord(all, totalLengthOffset, static_cast<uint16_t>(all.size()));
    return all;
}

}  // namespace

namespace uac2 {

Bytes AudioControl(uint16_t bcdADC, uint8_t bCategory, uint8_t bmControls, std::initializer_list<Bytes> entities)
{
    Bytes header = CsInterface(kAcHeader, Body().U16(bcdADC).U8(bCategory).U16(0).U8(bmControls));
    return HeaderWithEntities(header, 6, entities);
}

Bytes InputTerminal(uint8_t bTerminalID, uint16_t wTerminalType, uint8_t bAssocTerminal, uint8_t bCSourceID,
                    uint8_t bNrChannels, uint32_t bmChannelConfig, uint8_t iChannelNames, uint16_t bmControls,
                    uint8_t iTerminal)
{
    return CsInterface(kAcInputTerminal, Body()
                                             .U8(bTerminalID)
                                             .U16(wTerminalType)
                                             .U8(bAssocTerminal)
                                             .U8(bCSourceID)
                                             .U8(bNrChannels)
                                             .U32(bmChannelConfig)
                                             .U8(iChannelNames)
                                             .U16(bmControls)
                                             .U8(iTerminal));
}

Bytes OutputTerminal(uint8_t bTerminalID, uint16_t wTerminalType, uint8_t bAssocTerminal, uint8_t bSourceID,
                     uint8_t bCSourceID, uint16_t bmControls, uint8_t iTerminal)
{
    return CsInterface(kAcOutputTerminal, Body()
                                              .U8(bTerminalID)
                                              .U16(wTerminalType)
                                              .U8(bAssocTerminal)
                                              .U8(bSourceID)
                                              .U8(bCSourceID)
                                              .U16(bmControls)
                                              .U8(iTerminal));
}

Bytes FeatureUnit(uint8_t bUnitID, uint8_t bSourceID, const std::vector<uint32_t>& bmaControls, uint8_t iFeature)
{
    Body body;
    body.U8(bUnitID).U8(bSourceID);
    for (uint32_t controls : bmaControls) {
        body.U32(controls);
    }
    return CsInterface(kAcFeatureUnit, body.U8(iFeature));
}

Bytes ClockSource(uint8_t bClockID, uint8_t bmAttributes, uint8_t bmControls, uint8_t bAssocTerminal,
                  uint8_t iClockSource)
{
    return CsInterface(kAc2ClockSource,
                       Body().U8(bClockID).U8(bmAttributes).U8(bmControls).U8(bAssocTerminal).U8(iClockSource));
}

Bytes ClockSelector(uint8_t bClockID, const std::vector<uint8_t>& baCSourceID, uint8_t bmControls,
                    uint8_t iClockSelector)
{
    return CsInterface(kAc2ClockSelector, Body().U8(bClockID).Counted(baCSourceID).U8(bmControls).U8(iClockSelector));
}

Bytes ClockMultiplier(uint8_t bClockID, uint8_t bCSourceID, uint8_t bmControls, uint8_t iClockMultiplier)
{
    return CsInterface(kAc2ClockMultiplier, Body().U8(bClockID).U8(bCSourceID).U8(bmControls).U8(iClockMultiplier));
}

Bytes MixerUnit(uint8_t bUnitID, const std::vector<uint8_t>& baSourceID, uint8_t bNrChannels, uint32_t bmChannelConfig,
                uint8_t iChannelNames, const Bytes& bmMixerControls, uint8_t bmControls, uint8_t iMixer)
{
    return CsInterface(kAcMixerUnit, Body()
                                         .U8(bUnitID)
                                         .Counted(baSourceID)
                                         .U8(bNrChannels)
                                         .U32(bmChannelConfig)
                                         .U8(iChannelNames)
                                         .Array(bmMixerControls)
                                         .U8(bmControls)
                                         .U8(iMixer));
}

Bytes SelectorUnit(uint8_t bUnitID, const std::vector<uint8_t>& baSourceID, uint8_t bmControls, uint8_t iSelector)
{
    return CsInterface(kAcSelectorUnit, Body().U8(bUnitID).Counted(baSourceID).U8(bmControls).U8(iSelector));
}

Bytes ProcessingUnit(uint8_t bUnitID, uint16_t wProcessType, const std::vector<uint8_t>& baSourceID,
                     uint8_t bNrChannels, uint32_t bmChannelConfig, uint8_t iChannelNames, uint16_t bmControls,
                     uint8_t iProcessing, const Bytes& processSpecific)
{
    return CsInterface(kAc2ProcessingUnit, Body()
                                               .U8(bUnitID)
                                               .U16(wProcessType)
                                               .Counted(baSourceID)
                                               .U8(bNrChannels)
                                               .U32(bmChannelConfig)
                                               .U8(iChannelNames)
                                               .U16(bmControls)
                                               .U8(iProcessing)
                                               .Array(processSpecific));
}

Bytes ExtensionUnit(uint8_t bUnitID, uint16_t wExtensionCode, const std::vector<uint8_t>& baSourceID,
                    uint8_t bNrChannels, uint32_t bmChannelConfig, uint8_t iChannelNames, uint8_t bmControls,
                    uint8_t iExtension)
{
    return CsInterface(kAc2ExtensionUnit, Body()
                                              .U8(bUnitID)
                                              .U16(wExtensionCode)
                                              .Counted(baSourceID)
                                              .U8(bNrChannels)
                                              .U32(bmChannelConfig)
                                              .U8(iChannelNames)
                                              .U8(bmControls)
                                              .U8(iExtension));
}

Bytes AsGeneral(uint8_t bTerminalLink, uint8_t bmControls, uint8_t bFormatType, uint32_t bmFormats, uint8_t bNrChannels,
                uint32_t bmChannelConfig, uint8_t iChannelNames)
{
    return CsInterface(kAsGeneral, Body()
                                       .U8(bTerminalLink)
                                       .U8(bmControls)
                                       .U8(bFormatType)
                                       .U32(bmFormats)
                                       .U8(bNrChannels)
                                       .U32(bmChannelConfig)
                                       .U8(iChannelNames));
}

Bytes FormatTypeI(uint8_t bSubslotSize, uint8_t bBitResolution)
{
    return CsInterface(kAsFormatType, Body().U8(kFormatTypeI).U8(bSubslotSize).U8(bBitResolution));
}

Bytes IsoEndpoint(uint8_t bmAttributes, uint8_t bmControls, uint8_t bLockDelayUnits, uint16_t wLockDelay)
{
    return ClassSpecific(kCsEndpoint, kEndpointGeneral,
                         Body().U8(bmAttributes).U8(bmControls).U8(bLockDelayUnits).U16(wLockDelay).bytes());
}

}  // namespace uac2

namespace uac1 {

Bytes AudioControl(uint16_t bcdADC, const std::vector<uint8_t>& baInterfaceNr, std::initializer_list<Bytes> entities)
{
    Bytes header = CsInterface(kAcHeader, Body().U16(bcdADC).U16(0).Counted(baInterfaceNr));
    return HeaderWithEntities(header, 5, entities);
}

Bytes InputTerminal(uint8_t bTerminalID, uint16_t wTerminalType, uint8_t bAssocTerminal, uint8_t bNrChannels,
                    uint16_t wChannelConfig, uint8_t iChannelNames, uint8_t iTerminal)
{
    return CsInterface(kAcInputTerminal, Body()
                                             .U8(bTerminalID)
                                             .U16(wTerminalType)
                                             .U8(bAssocTerminal)
                                             .U8(bNrChannels)
                                             .U16(wChannelConfig)
                                             .U8(iChannelNames)
                                             .U8(iTerminal));
}

Bytes OutputTerminal(uint8_t bTerminalID, uint16_t wTerminalType, uint8_t bAssocTerminal, uint8_t bSourceID,
                     uint8_t iTerminal)
{
    return CsInterface(kAcOutputTerminal,
                       Body().U8(bTerminalID).U16(wTerminalType).U8(bAssocTerminal).U8(bSourceID).U8(iTerminal));
}

Bytes FeatureUnit(uint8_t bUnitID, uint8_t bSourceID, uint8_t bControlSize, const std::vector<uint32_t>& bmaControls,
                  uint8_t iFeature)
{
    if (bControlSize > 4) {
        throw std::invalid_argument("bControlSize above 4 cannot be built from 32-bit control words");
    }
    Body body;
    body.U8(bUnitID).U8(bSourceID).U8(bControlSize);
    for (uint32_t controls : bmaControls) {
        for (uint8_t i = 0; i < bControlSize; ++i) {
            body.U8(static_cast<uint8_t>(controls >> (8 * i)));
        }
    }
    return CsInterface(kAcFeatureUnit, body.U8(iFeature));
}

Bytes MixerUnit(uint8_t bUnitID, const std::vector<uint8_t>& baSourceID, uint8_t bNrChannels, uint16_t wChannelConfig,
                uint8_t iChannelNames, const Bytes& bmControls, uint8_t iMixer)
{
    return CsInterface(kAcMixerUnit, Body()
                                         .U8(bUnitID)
                                         .Counted(baSourceID)
                                         .U8(bNrChannels)
                                         .U16(wChannelConfig)
                                         .U8(iChannelNames)
                                         .Array(bmControls)
                                         .U8(iMixer));
}

Bytes SelectorUnit(uint8_t bUnitID, const std::vector<uint8_t>& baSourceID, uint8_t iSelector)
{
    return CsInterface(kAcSelectorUnit, Body().U8(bUnitID).Counted(baSourceID).U8(iSelector));
}

Bytes ProcessingUnit(uint8_t bUnitID, uint16_t wProcessType, const std::vector<uint8_t>& baSourceID,
                     uint8_t bNrChannels, uint16_t wChannelConfig, uint8_t iChannelNames, const Bytes& bmControls,
                     uint8_t iProcessing, const Bytes& processSpecific)
{
    return CsInterface(kAc1ProcessingUnit, Body()
                                               .U8(bUnitID)
                                               .U16(wProcessType)
                                               .Counted(baSourceID)
                                               .U8(bNrChannels)
                                               .U16(wChannelConfig)
                                               .U8(iChannelNames)
                                               .Counted(bmControls)
                                               .U8(iProcessing)
                                               .Array(processSpecific));
}

Bytes ExtensionUnit(uint8_t bUnitID, uint16_t wExtensionCode, const std::vector<uint8_t>& baSourceID,
                    uint8_t bNrChannels, uint16_t wChannelConfig, uint8_t iChannelNames, const Bytes& bmControls,
                    uint8_t iExtension)
{
    return CsInterface(kAc1ExtensionUnit, Body()
                                              .U8(bUnitID)
                                              .U16(wExtensionCode)
                                              .Counted(baSourceID)
                                              .U8(bNrChannels)
                                              .U16(wChannelConfig)
                                              .U8(iChannelNames)
                                              .Counted(bmControls)
                                              .U8(iExtension));
}

Bytes AsGeneral(uint8_t bTerminalLink, uint8_t bDelay, uint16_t wFormatTag)
{
    return CsInterface(kAsGeneral, Body().U8(bTerminalLink).U8(bDelay).U16(wFormatTag));
}

Bytes FormatTypeI(uint8_t bNrChannels, uint8_t bSubframeSize, uint8_t bBitResolution,
                  const std::vector<uint32_t>& tSamFreq)
{
    if (tSamFreq.empty() || tSamFreq.size() > 0xFF) {
        throw std::invalid_argument("a discrete Type I format lists 1 to 255 rates");
    }
    Body body;
    body.U8(kFormatTypeI)
        .U8(bNrChannels)
        .U8(bSubframeSize)
        .U8(bBitResolution)
        .U8(static_cast<uint8_t>(tSamFreq.size()));
    for (uint32_t rate : tSamFreq) {
        body.U24(rate);
    }
    return CsInterface(kAsFormatType, body);
}

Bytes FormatTypeIContinuous(uint8_t bNrChannels, uint8_t bSubframeSize, uint8_t bBitResolution, uint32_t tLowerSamFreq,
                            uint32_t tUpperSamFreq)
{
    return CsInterface(kAsFormatType, Body()
                                          .U8(kFormatTypeI)
                                          .U8(bNrChannels)
                                          .U8(bSubframeSize)
                                          .U8(bBitResolution)
                                          .U8(0)
                                          .U24(tLowerSamFreq)
                                          .U24(tUpperSamFreq));
}

Bytes IsoEndpoint(uint8_t bmAttributes, uint8_t bLockDelayUnits, uint16_t wLockDelay)
{
    return ClassSpecific(kCsEndpoint, kEndpointGeneral,
                         Body().U8(bmAttributes).U8(bLockDelayUnits).U16(wLockDelay).bytes());
}

}  // namespace uac1

}  // namespace sim::usb
