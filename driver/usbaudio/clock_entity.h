// Clock entities of Audio Class 2.0 devices: clock sources, and clock selectors that pick one of
// several clocks. Terminals name the clock they run from; the rate is set on that clock.
#pragma once

#include "driver/usbaudio/audio_entity.h"

class CUSBAudioClockEntity : public CUSBAudioEntity {
public:
    using CUSBAudioEntity::CUSBAudioEntity;

    // IRQL: PASSIVE_LEVEL for the five requests; each waits for the device. Failures come back as
    // the USB stack reported them.
    virtual NTSTATUS GetSampleRate(ULONG* rate) = 0;
    // The lowest and highest rate the clock's range offers within [lowerLimit, upperLimit] (a
    // continuous subrange is cut to the limits, a stepped one to its steps inside them); both 0
    // when it offers none there.
    virtual NTSTATUS GetSampleRateRange(ULONG* low, ULONG* high, ULONG lowerLimit, ULONG upperLimit) = 0;
    // STATUS_SUCCESS when the clock can run at `rate`, STATUS_NOT_SUPPORTED when it cannot.
    virtual NTSTATUS IsSampleRateSupported(ULONG rate) = 0;
    virtual NTSTATUS SetSampleRate(ULONG rate) = 0;
    // Whether the clock runs stably at its rate (a clock locking to a new rate is not yet valid).
    virtual bool IsValid() = 0;

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

    NTSTATUS GetSampleRate(ULONG* rate) override;
    NTSTATUS GetSampleRateRange(ULONG* low, ULONG* high, ULONG lowerLimit, ULONG upperLimit) override;
    NTSTATUS IsSampleRateSupported(ULONG rate) override;
    NTSTATUS SetSampleRate(ULONG rate) override;
    bool IsValid() override;

private:
    // The sampling-frequency RANGE: wNumSubRanges, then (dMIN, dMAX, dRES) per subrange. On
    // success the caller frees *range (tag "USBA").
    NTSTATUS ReadRange(PUCHAR* range, ULONG* subranges);
    void FreeRange(PUCHAR range) const;
};

// One request's way through clock selectors to the clock sources on their inputs (defined with
// the selector's requests).
class ClockWalk;

class CUSBAudioClockSelector : public CUSBAudioClockEntity {
public:
    using CUSBAudioClockEntity::CUSBAudioClockEntity;
    NTSTATUS Link() override;
    NTSTATUS GetName(PCHAR buffer, ULONG size) const override;
    // baCSourceID[pin] for pin < bNrInPins.
    ULONG GetSourceId(ULONG pin) const override;

    NTSTATUS GetSampleRate(ULONG* rate) override;
    NTSTATUS GetSampleRateRange(ULONG* low, ULONG* high, ULONG lowerLimit, ULONG upperLimit) override;
    NTSTATUS IsSampleRateSupported(ULONG rate) override;
    NTSTATUS SetSampleRate(ULONG rate) override;
    bool IsValid() override;

    // IRQL: PASSIVE_LEVEL. The selected input, 0-based: the device names it 1-based, and a value
    // outside 1 .. bNrInPins comes back as it is (minus one) for the caller to refuse.
    NTSTATUS GetSelectorPosition(ULONG* input);
    // position is 1-based, as the device takes it.
    NTSTATUS SelectInput(ULONG position);

    ULONG GetInputCount() const;

private:
    // The clock entity on input `input` (0-based), or null when there is none.
    CUSBAudioClockEntity* InputClock(ULONG input) const;

    // The requests as one step of a walk that may have come through other selectors.
    NTSTATUS GetSampleRate(ULONG* rate, ClockWalk& walk);
    NTSTATUS GetSampleRateRange(ULONG* low, ULONG* high, ULONG lowerLimit, ULONG upperLimit, ClockWalk& walk);
    NTSTATUS IsSampleRateSupported(ULONG rate, ClockWalk& walk);
    NTSTATUS SetSampleRate(ULONG rate, ClockWalk& walk);
    bool IsValid(ClockWalk& walk);
    // The same request on an input's clock: a selector carries on the walk, a source ends it.
    static NTSTATUS InputSampleRate(CUSBAudioClockEntity* clock, ULONG* rate, ClockWalk& walk);
    static NTSTATUS InputSampleRateRange(CUSBAudioClockEntity* clock, ULONG* low, ULONG* high, ULONG lowerLimit,
                                         ULONG upperLimit, ClockWalk& walk);
    static NTSTATUS InputSupportsSampleRate(CUSBAudioClockEntity* clock, ULONG rate, ClockWalk& walk);
    static NTSTATUS InputSetSampleRate(CUSBAudioClockEntity* clock, ULONG rate, ClockWalk& walk);
    static bool InputIsValid(CUSBAudioClockEntity* clock, ClockWalk& walk);
    static CUSBAudioClockSelector* AsSelector(CUSBAudioClockEntity* clock);
};
