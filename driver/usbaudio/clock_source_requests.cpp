// Requests to a clock source: its sampling frequency (CUR and RANGE) and its validity.
#include "driver/trace.h"
#include "driver/usbaudio/audio_requests.h"
#include "driver/usbaudio/clock_entity.h"
#include "driver/usbaudio/descriptor_reader.h"
#include "driver/usbaudio/usb_audio_model.h"

using namespace usbaudio;

namespace {

constexpr ULONG kControlsOffset = 5;              // bmControls
constexpr UCHAR kValidityReadable = 0x04;         // bit 2: the validity control can be read
constexpr USHORT kRangeHeadBytes = 16;            // wNumSubRanges and the first subrange
constexpr ULONG kSubrangeBytes = 12;              // dMIN, dMAX, dRES
constexpr ULONG kMaximumControlTransfer = 0xFFFF;

struct Subrange {
    ULONG Minimum;
    ULONG Maximum;
    ULONG Resolution;
};

Subrange SubrangeAt(const UCHAR* range, ULONG index)
{
    const UCHAR* at = range + 2 + index * kSubrangeBytes;
    return {LittleEndianDword(at), LittleEndianDword(at + 4), LittleEndianDword(at + 8)};
}

// A reply shorter than its subrange count leaves the subranges it did not send all zero; they
// offer nothing (and a rate of 0 is no rate).
bool IsEmpty(const Subrange& subrange) { return subrange.Maximum == 0; }

// A subrange lists the rate when it is a single rate, or a stepped range whose steps hit it. A
// range with a zero step says nothing about the rates between its ends.
bool Lists(const Subrange& subrange, ULONG rate)
{
    if (rate == 0 || IsEmpty(subrange) || rate < subrange.Minimum || rate > subrange.Maximum) {
        return false;
    }
    return subrange.Minimum == subrange.Maximum ||
           (subrange.Resolution != 0 && (rate - subrange.Minimum) % subrange.Resolution == 0);
}

// The lowest and highest rate of the subrange within [lower, upper], on its steps when it has any
// (a range with a zero step is taken as continuous); false when none lies there.
bool OffersWithin(const Subrange& subrange, ULONG lower, ULONG upper, ULONG* low, ULONG* high)
{
    if (lower == 0) {
        lower = 1;
    }
    if (IsEmpty(subrange) || subrange.Minimum > subrange.Maximum || subrange.Maximum < lower ||
        subrange.Minimum > upper) {
        return false;
    }
    ULONG first = subrange.Minimum > lower ? subrange.Minimum : lower;
    ULONG last = subrange.Maximum < upper ? subrange.Maximum : upper;
    if (subrange.Minimum != subrange.Maximum && subrange.Resolution != 0) {
        const ULONG step = subrange.Resolution;
        const ULONGLONG up = (ULONGLONG(first - subrange.Minimum) + step - 1) / step * step + subrange.Minimum;
        last = (last - subrange.Minimum) / step * step + subrange.Minimum;
        if (up > last) {
            return false;
        }
        first = ULONG(up);
    }
    *low = first;
    *high = last;
    return true;
}

}  // namespace

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioClockSource::ReadRange(PUCHAR* range, ULONG* subranges)
{
    *range = nullptr;
    *subranges = 0;
    // The length of the answer is only known from its first field, so the head is read first.
    UCHAR head[kRangeHeadBytes] = {};
    NTSTATUS status = GetOwner()->SendEntityRequest(kGetFromInterface, kRequestRange, kSamplingFrequencySelector, 0,
                                                    GetId(), kRangeHeadBytes, head);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const ULONG count = ULONG(head[0]) | ULONG(head[1]) << 8;
    const ULONG bytes = 2 + kSubrangeBytes * count;
    if (bytes > kMaximumControlTransfer) {
        R9_TRACE("CUSBAudioClockSource: %lu subranges do not fit one control transfer\n",
                 static_cast<unsigned long>(count));
        return STATUS_NOT_SUPPORTED;
    }
    auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(GetOwner()->GetPoolType(), bytes, kDefaultPoolTag));
    if (buffer == nullptr) {
        R9_TRACE("CUSBAudioClockSource: no memory for %lu subranges\n", static_cast<unsigned long>(count));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(buffer, bytes);
    status = GetOwner()->SendEntityRequest(kGetFromInterface, kRequestRange, kSamplingFrequencySelector, 0, GetId(),
                                           USHORT(bytes), buffer);
    if (!NT_SUCCESS(status)) {
        FreeRange(buffer);
        return status;
    }
    // A device that now reports fewer subranges is believed; more would not fit the buffer.
    const ULONG again = ULONG(buffer[0]) | ULONG(buffer[1]) << 8;
    *range = buffer;
    *subranges = again < count ? again : count;
    return status;
}

void CUSBAudioClockSource::FreeRange(PUCHAR range) const
{
    if (range != nullptr) {
        ExFreePoolWithTag(range, kDefaultPoolTag);
    }
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioClockSource::GetSampleRate(ULONG* rate)
{
    PAGED_CODE();
    if (rate == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR current[4] = {};
    const NTSTATUS status = GetOwner()->SendEntityRequest(kGetFromInterface, kRequestCur, kSamplingFrequencySelector,
                                                          0, GetId(), sizeof(current), current);
    if (NT_SUCCESS(status)) {
        *rate = LittleEndianDword(current);
    }
    return status;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioClockSource::GetSampleRateRange(ULONG* low, ULONG* high, ULONG lowerLimit, ULONG upperLimit)
{
    PAGED_CODE();
    if (low == nullptr || high == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *low = 0;
    *high = 0;
    PUCHAR range = nullptr;
    ULONG count = 0;
    const NTSTATUS status = ReadRange(&range, &count);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Only rates within the limits count: a caller narrowing a window to what the clock offers
    // must never get a wider one back.
    for (ULONG i = 0; i < count; ++i) {
        ULONG first = 0;
        ULONG last = 0;
        if (!OffersWithin(SubrangeAt(range, i), lowerLimit, upperLimit, &first, &last)) {
            continue;
        }
        if (*low == 0 || first < *low) {
            *low = first;
        }
        if (last > *high) {
            *high = last;
        }
    }
    FreeRange(range);
    return status;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioClockSource::IsSampleRateSupported(ULONG rate)
{
    PAGED_CODE();
    PUCHAR range = nullptr;
    ULONG count = 0;
    NTSTATUS status = ReadRange(&range, &count);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = STATUS_NOT_SUPPORTED;
    for (ULONG i = 0; i < count; ++i) {
        if (Lists(SubrangeAt(range, i), rate)) {
            status = STATUS_SUCCESS;
            break;
        }
    }
    FreeRange(range);
    return status;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioClockSource::SetSampleRate(ULONG rate)
{
    PAGED_CODE();
    UCHAR value[4];
    PutLittleEndianDword(value, rate);
    return GetOwner()->SendEntityRequest(kSetToInterface, kRequestCur, kSamplingFrequencySelector, 0, GetId(),
                                         sizeof(value), value);
}

// IRQL: PASSIVE_LEVEL.
bool CUSBAudioClockSource::IsValid()
{
    PAGED_CODE();
    // A clock that cannot report its validity is taken to be valid: there is nothing to wait for.
    if ((DescriptorByte(GetDescriptor(), kControlsOffset) & kValidityReadable) == 0) {
        return true;
    }
    UCHAR valid = 0;
    const NTSTATUS status = GetOwner()->SendEntityRequest(kGetFromInterface, kRequestCur, kClockValiditySelector, 0,
                                                          GetId(), sizeof(valid), &valid);
    return NT_SUCCESS(status) && valid != 0;
}
