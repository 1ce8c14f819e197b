// Streaming interfaces: which interfaces stream audio, their direction, and per alternate setting
// the data and feedback endpoints and the class-specific descriptors.
#include "driver/usbaudio/streaming_interface.h"

#include "driver/usbaudio/alternate_format.h"
#include "driver/usbaudio/audio_quirks.h"
#include "driver/usbaudio/usb_audio_model.h"

using namespace usbaudio;

namespace {

constexpr UCHAR kAudioStreamingSubclass = 0x02;
constexpr ULONG kLastAlternate = 0xFF;
constexpr UCHAR kUsageFeedbackBit = 0x10;  // bmAttributes bit 4: feedback or reserved usage
constexpr UCHAR kUsageMask = 0x30;
constexpr UCHAR kUsageFeedback = 0x10;
constexpr UCHAR kSynchronisationMask = 0x0C;
constexpr ULONG kSynchAddressOffset = 8;
constexpr UCHAR kHighSpeedFirstUnusableInterval = 5;
constexpr UCHAR kFullSpeedFirstUnusableInterval = 16;

// Lengths up to the last fixed field of each class-specific descriptor the model records; a
// shorter one is left out, as if the device had not sent it.
ULONG AsGeneralLength(bool audioClass20) { return audioClass20 ? 16 : 7; }
ULONG ClassEndpointLength(bool audioClass20) { return audioClass20 ? 8 : 7; }

bool IsWellFormedFormatType(const UCHAR* descriptor, bool audioClass20)
{
    const ULONG length = DescriptorLength(descriptor);
    if (length < 4) {
        return false;
    }
    if (DescriptorByte(descriptor, 3) != kFormatTypeI) {
        return true;
    }
    if (audioClass20) {
        return length >= 6;
    }
    if (length < 8) {
        return false;
    }
    // 1.0 Type I: bSamFreqType 0 is a continuous range of two three-byte rates, n > 0 lists n.
    const ULONG rateCount = DescriptorByte(descriptor, 7);
    return length >= 8 + 3 * (rateCount == 0 ? 2 : rateCount);
}

const UCHAR* Recorded(const UCHAR* descriptor, ULONG minimumLength)
{
    return descriptor != nullptr && DescriptorLength(descriptor) >= minimumLength ? descriptor : nullptr;
}

const UCHAR* After(const void* descriptor)
{
    const auto* bytes = static_cast<const UCHAR*>(descriptor);
    return bytes + DescriptorLength(bytes);
}

}  // namespace

StreamingInterface::~StreamingInterface()
{
    if (Alternates != nullptr) {
        ExFreePoolWithTag(Alternates, kDefaultPoolTag);
    }
    if (DataRanges != nullptr) {
        ExFreePoolWithTag(DataRanges, kDefaultPoolTag);
    }
}

NTSTATUS CUSBAudioModel::EnumerateStreamingInterfaces()
{
    if (m_AcInterface == nullptr) {
        return Fail(STATUS_NOT_SUPPORTED, "no Audio Control interface");
    }
    // The streaming interfaces follow the control interface without a gap; the first number that
    // is not one (a MIDI or HID interface, or none) ends the function.
    for (ULONG number = ULONG(m_AcInterface->bInterfaceNumber) + 1; number <= 0xFF; ++number) {
        if (FindInterface(m_Range, number, 0, AudioInterfaceClass(), kAudioStreamingSubclass) == nullptr) {
            break;
        }
        StreamingInterface* record = new (m_PoolType, kDefaultPoolTag) StreamingInterface();
        if (record == nullptr) {
            return Fail(STATUS_INSUFFICIENT_RESOURCES, "cannot allocate a streaming-interface record");
        }
        record->InterfaceNumber = UCHAR(number);
        KeInitializeSpinLock(&record->FeedbackLock);
        const NTSTATUS status = ParseStreamingInterface(record);
        if (!NT_SUCCESS(status)) {
            delete record;
            return status;
        }
        if (m_LastStreamingInterface == nullptr) {
            m_FirstStreamingInterface = record;
        } else {
            m_LastStreamingInterface->Next = record;
        }
        m_LastStreamingInterface = record;
        ++m_StreamingInterfaceCount;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioModel::ParseStreamingInterface(StreamingInterface* record)
{
    const UCHAR interfaceClass = AudioInterfaceClass();
    const USB_INTERFACE_DESCRIPTOR* first =
        FindInterface(m_Range, record->InterfaceNumber, 1, interfaceClass, kAudioStreamingSubclass);
    if (first == nullptr || first->bNumEndpoints == 0) {
        return Fail(STATUS_NOT_SUPPORTED, "a streaming interface has no alternate 1 with an endpoint");
    }
    const UCHAR* firstEnd = InterfaceExtentEnd(m_Range, reinterpret_cast<const UCHAR*>(first));
    const USB_ENDPOINT_DESCRIPTOR* endpoint =
        AsEndpoint(FindDescriptor(m_Range, After(first), USB_ENDPOINT_DESCRIPTOR_TYPE, firstEnd));
    if (endpoint == nullptr) {
        return Fail(STATUS_NOT_SUPPORTED, "alternate 1 of a streaming interface has no endpoint descriptor");
    }
    record->Direction = USB_ENDPOINT_DIRECTION_IN(endpoint->bEndpointAddress) ? kDirectionIn : kDirectionOut;

    // Alternates are taken to be numbered without gaps: the count ends at the first one missing.
    ULONG count = 2;
    while (count <= kLastAlternate && FindInterface(m_Range, record->InterfaceNumber, LONG(count), interfaceClass,
                                                    kAudioStreamingSubclass) != nullptr) {
        ++count;
    }
    const SIZE_T bytes = SIZE_T(count) * sizeof(AlternateSetting);
    record->Alternates = static_cast<AlternateSetting*>(ExAllocatePoolWithTag(m_PoolType, bytes, kDefaultPoolTag));
    if (record->Alternates == nullptr) {
        return Fail(STATUS_INSUFFICIENT_RESOURCES, "cannot allocate the alternate settings");
    }
    RtlZeroMemory(record->Alternates, bytes);
    record->AlternateCount = count;

    for (ULONG alternate = 0; alternate < count; ++alternate) {
        const NTSTATUS status = ParseAlternate(record, alternate, &record->Alternates[alternate]);
        if (!NT_SUCCESS(status)) {
            ExFreePoolWithTag(record->Alternates, kDefaultPoolTag);
            record->Alternates = nullptr;
            record->AlternateCount = 0;
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioModel::ParseAlternate(const StreamingInterface* record, ULONG alternate, AlternateSetting* setting)
{
    const USB_INTERFACE_DESCRIPTOR* descriptor = FindInterface(m_Range, record->InterfaceNumber, LONG(alternate),
                                                               AudioInterfaceClass(), kAudioStreamingSubclass);
    if (descriptor == nullptr) {
        return Fail(STATUS_NOT_SUPPORTED, "an alternate setting of a streaming interface is missing");
    }
    setting->Interface = descriptor;
    if (descriptor->bNumEndpoints == 0) {
        return STATUS_SUCCESS;
    }
    const UCHAR* extentEnd = InterfaceExtentEnd(m_Range, reinterpret_cast<const UCHAR*>(descriptor));
    if (m_AudioClass20) {
        ClassifyEndpoints20(setting, extentEnd);
    } else {
        ClassifyEndpoints10(setting, extentEnd);
    }
    setting->AsGeneral = Recorded(FindClassDescriptor(m_Range, After(descriptor), kCsInterface, kAsGeneral, extentEnd),
                                  AsGeneralLength(m_AudioClass20));
    const UCHAR* format = FindClassDescriptor(m_Range, After(descriptor), kCsInterface, kAsFormatType, extentEnd);
    setting->FormatType = format != nullptr && IsWellFormedFormatType(format, m_AudioClass20) ? format : nullptr;
    if (setting->DataEndpoint != nullptr) {
        setting->ClassEndpoint = Recorded(
            FindClassDescriptor(m_Range, After(setting->DataEndpoint), kCsEndpoint, kEndpointGeneral, extentEnd),
            ClassEndpointLength(m_AudioClass20));
    }
    return STATUS_SUCCESS;
}

bool CUSBAudioModel::IsUsableEndpoint(const USB_ENDPOINT_DESCRIPTOR* endpoint) const
{
    if ((endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK) != USB_ENDPOINT_TYPE_ISOCHRONOUS) {
        return true;
    }
    // Intervals longer than the driver's packet scheduling can serve: 2^(5-1) microframes, or 16 ms.
    const UCHAR firstUnusable = m_HighSpeed ? kHighSpeedFirstUnusableInterval : kFullSpeedFirstUnusableInterval;
    return endpoint->bInterval < firstUnusable;
}

// Endpoints are looked for only inside the alternate: a device that counts more endpoints than it
// describes must not lend this alternate the next one's.
void CUSBAudioModel::ClassifyEndpoints20(AlternateSetting* setting, const UCHAR* extentEnd) const
{
    const UCHAR* from = After(setting->Interface);
    for (ULONG i = 0; i < setting->Interface->bNumEndpoints; ++i) {
        const UCHAR* found = FindDescriptor(m_Range, from, USB_ENDPOINT_DESCRIPTOR_TYPE, extentEnd);
        if (found == nullptr) {
            break;
        }
        from = After(found);
        const USB_ENDPOINT_DESCRIPTOR* endpoint = AsEndpoint(found);
        if (endpoint == nullptr || !IsUsableEndpoint(endpoint)) {
            continue;
        }
        if ((endpoint->bmAttributes & kUsageFeedbackBit) == 0) {
            if (setting->DataEndpoint == nullptr) {
                setting->DataEndpoint = endpoint;
            }
        } else if ((endpoint->bmAttributes & kUsageMask) == kUsageFeedback && setting->FeedbackEndpoint == nullptr) {
            setting->FeedbackEndpoint = endpoint;
        }
    }
}

void CUSBAudioModel::ClassifyEndpoints10(AlternateSetting* setting, const UCHAR* extentEnd) const
{
    const UCHAR* from = After(setting->Interface);
    const USB_ENDPOINT_DESCRIPTOR* first =
        AsEndpoint(FindDescriptor(m_Range, from, USB_ENDPOINT_DESCRIPTOR_TYPE, extentEnd));
    if (first != nullptr && (first->bmAttributes & kUsageFeedbackBit) == 0) {
        setting->DataEndpoint = first;
    }
    const auto* data = reinterpret_cast<const UCHAR*>(setting->DataEndpoint);
    for (ULONG i = 0; i < setting->Interface->bNumEndpoints; ++i) {
        const UCHAR* found = FindDescriptor(m_Range, from, USB_ENDPOINT_DESCRIPTOR_TYPE, extentEnd);
        if (found == nullptr) {
            break;
        }
        from = After(found);
        const USB_ENDPOINT_DESCRIPTOR* endpoint = AsEndpoint(found);
        if (endpoint == nullptr || !IsUsableEndpoint(endpoint) ||
            (endpoint->bmAttributes & kSynchronisationMask) != 0 || data == nullptr ||
            setting->FeedbackEndpoint != nullptr) {
            continue;
        }
        // Only a 9-byte data endpoint has bSynchAddress to name its synch endpoint.
        if (DescriptorLength(data) >= kAudioEndpointLength &&
            DescriptorByte(data, kSynchAddressOffset) == endpoint->bEndpointAddress) {
            setting->FeedbackEndpoint = endpoint;
        }
    }
}
