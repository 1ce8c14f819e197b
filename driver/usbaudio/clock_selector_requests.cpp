// Requests to a clock selector: its position, and the clock requests it answers through the clock
// entities on its inputs.
#include "driver/trace.h"
#include "driver/usbaudio/audio_requests.h"
#include "driver/usbaudio/clock_entity.h"
#include "driver/usbaudio/usb_audio_model.h"

using namespace usbaudio;

// Counts a call on a selector for as long as it runs. A chain of selectors is walked once per call,
// so more nested calls than any real device needs mean that the selectors form a loop.
class SelectorNesting {
public:
    explicit SelectorNesting(CUSBAudioClockSelector* selector) : m_Selector(selector)
    {
        m_Allowed = InterlockedIncrement(&m_Selector->m_ActiveCalls) <= kMaximumNesting;
        if (!m_Allowed) {
            R9_TRACE("CUSBAudioClockSelector %lu: its inputs lead back to it\n",
                     static_cast<unsigned long>(m_Selector->GetId()));
        }
    }
    ~SelectorNesting() { InterlockedDecrement(&m_Selector->m_ActiveCalls); }
    SelectorNesting(const SelectorNesting&) = delete;
    SelectorNesting& operator=(const SelectorNesting&) = delete;

    bool Allowed() const { return m_Allowed; }

private:
    static constexpr LONG kMaximumNesting = 8;
    CUSBAudioClockSelector* m_Selector;
    bool m_Allowed;
};

CUSBAudioClockEntity* CUSBAudioClockSelector::InputClock(ULONG input) const
{
    if (input >= GetInputCount()) {
        return nullptr;
    }
    return CUSBAudioClockEntity::FromEntity(GetOwner()->FindEntity(GetSourceId(input)));
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

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioClockSelector::GetSampleRate(ULONG* rate)
{
    PAGED_CODE();
    SelectorNesting nesting(this);
    if (!nesting.Allowed()) {
        return STATUS_NOT_SUPPORTED;
    }
    ULONG input = 0;
    const NTSTATUS status = GetSelectorPosition(&input);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    CUSBAudioClockEntity* clock = InputClock(input);
    return clock != nullptr ? clock->GetSampleRate(rate) : STATUS_NOT_SUPPORTED;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioClockSelector::GetSampleRateRange(ULONG* low, ULONG* high, ULONG lowerLimit, ULONG upperLimit)
{
    PAGED_CODE();
    if (low == nullptr || high == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *low = 0;
    *high = 0;
    SelectorNesting nesting(this);
    if (!nesting.Allowed()) {
        return STATUS_NOT_SUPPORTED;
    }
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    for (ULONG input = 0; input < GetInputCount(); ++input) {
        CUSBAudioClockEntity* clock = InputClock(input);
        if (clock == nullptr) {
            return STATUS_NOT_SUPPORTED;
        }
        ULONG inputLow = 0;
        ULONG inputHigh = 0;
        status = clock->GetSampleRateRange(&inputLow, &inputHigh, lowerLimit, upperLimit);
        if (inputLow != 0 && (*low == 0 || inputLow < *low)) {
            *low = inputLow;
        }
        if (inputHigh > *high) {
            *high = inputHigh;
        }
    }
    return status;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioClockSelector::IsSampleRateSupported(ULONG rate)
{
    PAGED_CODE();
    SelectorNesting nesting(this);
    if (!nesting.Allowed()) {
        return STATUS_NOT_SUPPORTED;
    }
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    for (ULONG input = 0; input < GetInputCount(); ++input) {
        CUSBAudioClockEntity* clock = InputClock(input);
        if (clock == nullptr) {
            return STATUS_NOT_SUPPORTED;
        }
        status = clock->IsSampleRateSupported(rate);
        if (NT_SUCCESS(status)) {
            return status;
        }
    }
    return status;
}

// IRQL: PASSIVE_LEVEL. The first input whose clock takes the rate is selected; a selector whose
// inputs all refuse leaves the clocks as the last attempt left them.
NTSTATUS CUSBAudioClockSelector::SetSampleRate(ULONG rate)
{
    PAGED_CODE();
    SelectorNesting nesting(this);
    if (!nesting.Allowed()) {
        return STATUS_NOT_SUPPORTED;
    }
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    for (ULONG input = 0; input < GetInputCount(); ++input) {
        CUSBAudioClockEntity* clock = InputClock(input);
        if (clock == nullptr) {
            return STATUS_NOT_SUPPORTED;
        }
        status = clock->IsSampleRateSupported(rate);
        if (NT_SUCCESS(status)) {
            status = clock->SetSampleRate(rate);
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

// IRQL: PASSIVE_LEVEL.
bool CUSBAudioClockSelector::IsValid()
{
    PAGED_CODE();
    SelectorNesting nesting(this);
    if (!nesting.Allowed()) {
        return false;
    }
    ULONG input = 0;
    if (!NT_SUCCESS(GetSelectorPosition(&input))) {
        return false;
    }
    CUSBAudioClockEntity* clock = InputClock(input);
    return clock != nullptr && clock->IsValid();
}
