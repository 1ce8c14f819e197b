// Clock entities of Audio Class 2.0 devices: clock sources, and clock selectors that pick one of
// several clocks. Terminals name the clock they run from; the rate is set on that clock.
#pragma once

#include "driver/usbaudio/audio_entity.h"

class CUSBAudioClockEntity : public CUSBAudioEntity {
public:
    using CUSBAudioEntity::CUSBAudioEntity;

    // The clock entity behind an entity reference, or null when the entity is no clock source or
    // selector (a clock multiplier, for one, is modelled as a dummy unit).
    static CUSBAudioClockEntity* FromEntity(CUSBAudioEntity* entity);

protected:
    // Clock entities exist only on Audio Class 2.0 devices.
    NTSTATUS LinkClockEntity() const;
};

class CUSBAudioClockSource : public CUSBAudioClockEntity {
public:
    using CUSBAudioClockEntity::CUSBAudioClockEntity;
    NTSTATUS Link() override;
    NTSTATUS GetName(PCHAR buffer, ULONG size) const override;
    ULONG GetSourceId(ULONG pin) const override;
};

class CUSBAudioClockSelector : public CUSBAudioClockEntity {
public:
    using CUSBAudioClockEntity::CUSBAudioClockEntity;
    NTSTATUS Link() override;
    NTSTATUS GetName(PCHAR buffer, ULONG size) const override;
    // baCSourceID[pin] for pin < bNrInPins.
    ULONG GetSourceId(ULONG pin) const override;

    ULONG GetInputCount() const;
};
