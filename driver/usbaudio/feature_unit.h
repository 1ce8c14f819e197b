// The feature unit: per-channel controls (mute, volume, tone, ...) on the signal from one source.
#pragma once

#include "driver/usbaudio/audio_entity.h"

namespace usbaudio {

// Control indexes of a feature unit: the bit (1.0) or bit pair (2.0) of each control in bmaControls.
constexpr ULONG kMuteControl = 0;
constexpr ULONG kVolumeControl = 1;
// Access masks of the 2.0 bit pairs.
constexpr ULONG kControlRead = 1;
constexpr ULONG kControlWrite = 2;

}  // namespace usbaudio

class CUSBAudioFeatureUnit : public CUSBAudioEntity {
public:
    using CUSBAudioEntity::CUSBAudioEntity;
    NTSTATUS Link() override;
    NTSTATUS GetName(PCHAR buffer, ULONG size) const override;
    ULONG GetSourceId(ULONG pin) const override;

    // bmaControls entries, the master channel 0 included.
    ULONG GetChannelCount() const;
    bool HasFeatureControl(ULONG channel, ULONG control, ULONG access) const;
    bool HasFeatureControlOnAnyChannel(ULONG control) const;
    CUSBAudioEntity* GetSourceEntity() const { return m_Source; }

private:
    CUSBAudioEntity* m_Source = nullptr;
};
