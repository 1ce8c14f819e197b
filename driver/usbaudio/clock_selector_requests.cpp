// Requests to a clock selector: its position, and the clock requests it answers through the clock
// entities on its inputs.
#include "driver/trace.h"
#include "driver/usbaudio/audio_requests.h"
#include "driver/usbaudio/clock_entity.h"
#include "driver/usbaudio/usb_audio_model.h"

using namespace usbaudio;

// The descriptors decide where a request goes: a selector may name other selectors or itself as
// inputs, in chains and loops of any length, with up to 255 inputs each. Every level of a walk is a
// frame on a kernel stack of a few pages, and every clock it reaches costs requests to the device,
// so a walk is bounded in both. Real devices put at most a selector or two before their sources.
class ClockWalk {
public:
    ClockWalk() = default;
    ClockWalk(const ClockWalk&) = delete;
    ClockWalk& operator=(const ClockWalk&) = delete;

    // A selector's step; false when it lies deeper than any real chain of selectors.
    bool Enter(const CUSBAudioClockSelector* selector)
    {
        if (m_Depth >= kMaximumDepth) {
            R9_TRACE("CUSBAudioClockSelector %lu: selectors nested deeper than %lu, or in a loop\n",
                     static_cast<unsigned long>(selector->GetId()), static_cast<unsigned long>(kMaximumDepth));
            return false;
        }
        ++m_Depth;
        return true;
    }
    void Leave() { --m_Depth; }
    // One more input's clock asked; false once the walk has asked as many as it may.
    bool Visit()
    {
        if (m_Visits >= kMaximumVisits) {
            R9_TRACE("ClockWalk: more than %lu clocks asked\n", static_cast<unsigned long>(kMaximumVisits));
            return false;
        }
        ++m_Visits;
        return true;
    }

private:
    static constexpr ULONG kMaximumDepth = 4;
    // Two selectors with all 255 inputs taken.
    static constexpr ULONG kMaximumVisits = 512;
    ULONG m_Depth = 0;
    ULONG m_Visits = 0;
};

namespace {

// A selector's part of a walk, from its first step to its last.
class WalkStep {
public:
    WalkStep(ClockWalk& walk, const CUSBAudioClockSelector* selector) : m_Walk(walk), m_Entered(walk.Enter(selector)) {}
    ~WalkStep()
    {
        if (m_Entered) {
            m_Walk.Leave();
        }
    }
    WalkStep(const WalkStep&) = delete;
    WalkStep& operator=(const WalkStep&) = delete;

    bool Allowed() const { return m_Entered; }

private:
    ClockWalk& m_Walk;
    bool m_Entered;
};

}  // namespace

CUSBAudioClockEntity* CUSBAudioClockSelector::InputClock(ULONG input) const
{
    if (input >= GetInputCount()) {
        return nullptr;
    }
    return CUSBAudioClockEntity::FromEntity(GetOwner()->FindEntity(GetSourceId(input)));
}

CUSBAudioClockSelector* CUSBAudioClockSelector::AsSelector(CUSBAudioClockEntity* clock)
{
    return clock->GetSubtype() == kAc2ClockSelector ? static_cast<CUSBAudioClockSelector*>(clock) : nullptr;
}

NTSTATUS CUSBAudioClockSelector::InputSampleRate(CUSBAudioClockEntity* clock, ULONG* rate, ClockWalk& walk)
{
    CUSBAudioClockSelector* selector = AsSelector(clock);
    return selector != nullptr ? selector->GetSampleRate(rate, walk) : clock->GetSampleRate(rate);
}

NTSTATUS CUSBAudioClockSelector::InputSampleRateRange(CUSBAudioClockEntity* clock, ULONG* low, ULONG* high,
                                                      ULONG lowerLimit, ULONG upperLimit, ClockWalk& walk)
{
    CUSBAudioClockSelector* selector = AsSelector(clock);
    return selector != nullptr ? selector->GetSampleRateRange(low, high, lowerLimit, upperLimit, walk)
                               : clock->GetSampleRateRange(low, high, lowerLimit, upperLimit);
}

NTSTATUS CUSBAudioClockSelector::InputSupportsSampleRate(CUSBAudioClockEntity* clock, ULONG rate, ClockWalk& walk)
{
    CUSBAudioClockSelector* selector = AsSelector(clock);
    return selector != nullptr ? selector->IsSampleRateSupported(rate, walk) : clock->IsSampleRateSupported(rate);
}

NTSTATUS CUSBAudioClockSelector::InputSetSampleRate(CUSBAudioClockEntity* clock, ULONG rate, ClockWalk& walk)
{
    CUSBAudioClockSelector* selector = AsSelector(clock);
    return selector != nullptr ? selector->SetSampleRate(rate, walk) : clock->SetSampleRate(rate);
}

bool CUSBAudioClockSelector::InputIsValid(CUSBAudioClockEntity* clock, ClockWalk& walk)
{
    CUSBAudioClockSelector* selector = AsSelector(clock);
    return selector != nullptr ? selector->IsValid(walk) : clock->IsValid();
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioClockSelector::GetSelectorPosition(ULONG* input)
{
    PAGED_CODE();
    if (input == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG inputs = GetInputCount();
    if (inputs == 0) {
        R9_TRACE("CUSBAudioClockSelector %lu: no inputs\n", static_cast<unsigned long>(GetId()));
        return STATUS_UNSUCCESSFUL;
    }
    // With one input there is nothing to select, and devices need not answer the request.
    if (inputs == 1) {
        *input = 0;
        return STATUS_SUCCESS;
    }
    UCHAR position = 0;
    const NTSTATUS status = GetOwner()->SendEntityRequest(kGetFromInterface, kRequestCur, kClockSelectorSelector, 0,
                                                          GetId(), sizeof(position), &position);
    if (NT_SUCCESS(status)) {
        *input = ULONG(position) - 1;
    }
    return status;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioClockSelector::SelectInput(ULONG position)
{
    PAGED_CODE();
    UCHAR value = UCHAR(position);
    return GetOwner()->SendEntityRequest(kSetToInterface, kRequestCur, kClockSelectorSelector, 0, GetId(),
                                         sizeof(value), &value);
}

// IRQL: PASSIVE_LEVEL for the requests below; each starts a walk of its own.
NTSTATUS CUSBAudioClockSelector::GetSampleRate(ULONG* rate)
{
    PAGED_CODE();
    ClockWalk walk;
    return GetSampleRate(rate, walk);
}

NTSTATUS CUSBAudioClockSelector::GetSampleRateRange(ULONG* low, ULONG* high, ULONG lowerLimit, ULONG upperLimit)
{
    PAGED_CODE();
    ClockWalk walk;
    return GetSampleRateRange(low, high, lowerLimit, upperLimit, walk);
}

NTSTATUS CUSBAudioClockSelector::IsSampleRateSupported(ULONG rate)
{
    PAGED_CODE();
    ClockWalk walk;
    return IsSampleRateSupported(rate, walk);
}

NTSTATUS CUSBAudioClockSelector::SetSampleRate(ULONG rate)
{
    PAGED_CODE();
    ClockWalk walk;
    return SetSampleRate(rate, walk);
}

bool CUSBAudioClockSelector::IsValid()
{
    PAGED_CODE();
    ClockWalk walk;
    return IsValid(walk);
}

NTSTATUS CUSBAudioClockSelector::GetSampleRate(ULONG* rate, ClockWalk& walk)
{
    WalkStep step(walk, this);
    if (!step.Allowed() || !walk.Visit()) {
        return STATUS_NOT_SUPPORTED;
    }
    ULONG input = 0;
    const NTSTATUS status = GetSelectorPosition(&input);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    CUSBAudioClockEntity* clock = InputClock(input);
    return clock != nullptr ? InputSampleRate(clock, rate, walk) : STATUS_NOT_SUPPORTED;
}

NTSTATUS CUSBAudioClockSelector::GetSampleRateRange(ULONG* low, ULONG* high, ULONG lowerLimit, ULONG upperLimit,
                                                    ClockWalk& walk)
{
    if (low == nullptr || high == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *low = 0;
    *high = 0;
    WalkStep step(walk, this);
    if (!step.Allowed()) {
        return STATUS_NOT_SUPPORTED;
    }
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    for (ULONG input = 0; input < GetInputCount(); ++input) {
        CUSBAudioClockEntity* clock = InputClock(input);
        if (clock == nullptr || !walk.Visit()) {
            return STATUS_NOT_SUPPORTED;
        }
        ULONG inputLow = 0;
        ULONG inputHigh = 0;
        status = InputSampleRateRange(clock, &inputLow, &inputHigh, lowerLimit, upperLimit, walk);
        if (inputLow != 0 && (*low == 0 || inputLow < *low)) {
            *low = inputLow;
        }
        if (inputHigh > *high) {
            *high = inputHigh;
        }
    }
    return status;
}

NTSTATUS CUSBAudioClockSelector::IsSampleRateSupported(ULONG rate, ClockWalk& walk)
{
    WalkStep step(walk, this);
    if (!step.Allowed()) {
        return STATUS_NOT_SUPPORTED;
    }
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    for (ULONG input = 0; input < GetInputCount(); ++input) {
        CUSBAudioClockEntity* clock = InputClock(input);
        if (clock == nullptr || !walk.Visit()) {
            return STATUS_NOT_SUPPORTED;
        }
        status = InputSupportsSampleRate(clock, rate, walk);
        if (NT_SUCCESS(status)) {
            return status;
        }
    }
    return status;
}

// The first input whose clock takes the rate is selected; a selector whose inputs all refuse leaves
// the clocks as the last attempt left them.
NTSTATUS CUSBAudioClockSelector::SetSampleRate(ULONG rate, ClockWalk& walk)
{
    WalkStep step(walk, this);
    if (!step.Allowed()) {
        return STATUS_NOT_SUPPORTED;
    }
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    for (ULONG input = 0; input < GetInputCount(); ++input) {
        CUSBAudioClockEntity* clock = InputClock(input);
        if (clock == nullptr || !walk.Visit()) {
            return STATUS_NOT_SUPPORTED;
        }
        status = InputSupportsSampleRate(clock, rate, walk);
        if (NT_SUCCESS(status)) {
            status = InputSetSampleRate(clock, rate, walk);
        }
        if (NT_SUCCESS(status)) {
            status = SelectInput(input + 1);
        }
        if (NT_SUCCESS(status)) {
            return status;
        }
    }
    return status;
}

bool CUSBAudioClockSelector::IsValid(ClockWalk& walk)
{
    WalkStep step(walk, this);
    if (!step.Allowed() || !walk.Visit()) {
        return false;
    }
    ULONG input = 0;
    if (!NT_SUCCESS(GetSelectorPosition(&input))) {
        return false;
    }
    CUSBAudioClockEntity* clock = InputClock(input);
    return clock != nullptr && InputIsValid(clock, walk);
}
