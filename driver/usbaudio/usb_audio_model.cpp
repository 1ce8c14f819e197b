// The model's outer steps: the Audio Control interface and its header, the terminal ties of the
// streaming interfaces and the shared-clock decision. Entities and streaming interfaces are built
// in entity_graph.cpp and streaming_interface.cpp.
#include "driver/usbaudio/usb_audio_model.h"

#include "driver/trace.h"
#include "driver/usbaudio/audio_quirks.h"
#include "driver/usbaudio/audio_terminal.h"

using namespace usbaudio;

namespace {

constexpr UCHAR kAudioClass = 0x01;
constexpr UCHAR kVendorSpecificClass = 0xFF;
constexpr UCHAR kAudioControlSubclass = 0x01;
constexpr USHORT kAudioClass20Release = 0x0200;
constexpr ULONG kHeaderReleaseOffset = 3;        // bcdADC
constexpr ULONG kHeaderTotalLengthOffset10 = 5;  // wTotalLength on 1.0
constexpr ULONG kHeaderTotalLengthOffset20 = 6;  // on 2.0 bCategory comes first
constexpr ULONG kTerminalLinkOffset = 3;

}  // namespace

bool IsTerminalEntity(const CUSBAudioEntity* entity) { return entity->IsTerminal(); }

bool IsUnitEntity(const CUSBAudioEntity* entity)
{
    if (entity->IsTerminal()) {
        return false;
    }
    const UCHAR subtype = entity->GetSubtype();
    const bool clock = subtype >= kAc2ClockSource && subtype <= kAc2ClockMultiplier;
    return !(entity->GetOwner()->IsAudioClass20() && clock);
}

CUSBAudioModel::~CUSBAudioModel() { Release(); }

void CUSBAudioModel::Release()
{
    while (m_FirstStreamingInterface != nullptr) {
        StreamingInterface* next = m_FirstStreamingInterface->Next;
        delete m_FirstStreamingInterface;
        m_FirstStreamingInterface = next;
    }
    while (m_FirstEntity != nullptr) {
        CUSBAudioEntity* next = m_FirstEntity->m_Next;
        delete m_FirstEntity;
        m_FirstEntity = next;
    }
    m_LastStreamingInterface = nullptr;
    m_LastEntity = nullptr;
    m_StreamingInterfaceCount = 0;
    m_RenderInterface = nullptr;
    m_CaptureInterface = nullptr;
    m_ClockShared = false;
    m_AcInterface = nullptr;
    m_AcHeader = nullptr;
    m_AcTotalLength = 0;
    m_AudioClass20 = false;
}

NTSTATUS CUSBAudioModel::Fail(NTSTATUS status, PCSTR reason)
{
    R9_TRACE("CUSBAudioModel: %s (0x%08X)\n", reason, unsigned(status));
    m_FailureReason = reason;
    return status;
}

UCHAR CUSBAudioModel::AudioInterfaceClass() const
{
    return (m_Quirks & kQuirkVendorClassInterfaces) != 0 ? kVendorSpecificClass : kAudioClass;
}

NTSTATUS CUSBAudioModel::ParseDescriptors(const USB_CONFIGURATION_DESCRIPTOR* configuration, ULONG length,
                                          const USB_DEVICE_DESCRIPTOR* device, bool highSpeed)
{
    Release();
    m_FailureReason = "";
    m_HighSpeed = highSpeed;
    m_Quirks = LookUpAudioQuirks(device);

    if (configuration == nullptr || length < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        configuration->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        configuration->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        return Fail(STATUS_NOT_SUPPORTED, "no configuration descriptor");
    }
    const ULONG total = configuration->wTotalLength < length ? configuration->wTotalLength : length;
    if (total < configuration->bLength) {
        return Fail(STATUS_NOT_SUPPORTED, "wTotalLength is shorter than the configuration descriptor");
    }
    const auto* bytes = reinterpret_cast<const UCHAR*>(configuration);
    m_Range = {bytes, bytes + total};

    NTSTATUS status = LocateAudioControl();
    if (NT_SUCCESS(status)) {
        status = BuildEntities();
    }
    if (NT_SUCCESS(status)) {
        status = EnumerateStreamingInterfaces();
    }
    if (NT_SUCCESS(status)) {
        status = TieTerminals();
    }
    if (NT_SUCCESS(status)) {
        DecideSharedClock();
    }
    return status;
}

NTSTATUS CUSBAudioModel::LocateAudioControl()
{
    m_AcInterface = FindInterface(m_Range, kAnyValue, 0, AudioInterfaceClass(), kAudioControlSubclass);
    if (m_AcInterface == nullptr) {
        return Fail(STATUS_NOT_SUPPORTED, "no Audio Control interface");
    }
    const auto* acInterface = reinterpret_cast<const UCHAR*>(m_AcInterface);
    const UCHAR* header = NextDescriptor(m_Range, acInterface);
    if (header == nullptr || DescriptorType(header) != kCsInterface || DescriptorSubtype(header) != kAcHeader) {
        return Fail(STATUS_NOT_SUPPORTED, "the Audio Control interface is not followed by its class-specific header");
    }
    // Only a release of exactly 2.0 has the 2.0 layouts; anything else is read as 1.0.
    m_AudioClass20 = DescriptorWord(header, kHeaderReleaseOffset) == kAudioClass20Release;
    const ULONG totalLengthOffset = m_AudioClass20 ? kHeaderTotalLengthOffset20 : kHeaderTotalLengthOffset10;
    if (DescriptorLength(header) < totalLengthOffset + 2) {
        return Fail(STATUS_NOT_SUPPORTED, "the Audio Control header is too short for its wTotalLength");
    }
    const ULONG acTotalLength = DescriptorWord(header, totalLengthOffset);
    const UCHAR* acEnd = InterfaceExtentEnd(m_Range, acInterface);
    if (acTotalLength > SIZE_T(acEnd - header)) {
        return Fail(STATUS_NOT_SUPPORTED, "the Audio Control header's wTotalLength runs past the interface");
    }
    m_AcHeader = header;
    m_AcTotalLength = acTotalLength;
    return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioModel::TieTerminals()
{
    for (StreamingInterface* record = m_FirstStreamingInterface; record != nullptr; record = record->Next) {
        const UCHAR* asGeneral = record->Alternates[1].AsGeneral;
        if (asGeneral == nullptr) {
            return Fail(STATUS_NOT_SUPPORTED, "alternate 1 of a streaming interface has no AS general descriptor");
        }
        record->Terminal = FindEntity(DescriptorByte(asGeneral, kTerminalLinkOffset));
        if (record->Terminal == nullptr) {
            return Fail(STATUS_NOT_SUPPORTED, "a streaming interface's bTerminalLink names no entity");
        }
    }
    for (StreamingInterface* record = m_FirstStreamingInterface; record != nullptr; record = record->Next) {
        if (record->Direction == kDirectionIn && m_CaptureInterface == nullptr) {
            m_CaptureInterface = record;
        } else if (record->Direction == kDirectionOut && m_RenderInterface == nullptr) {
            m_RenderInterface = record;
        }
    }
    return STATUS_SUCCESS;
}

void CUSBAudioModel::DecideSharedClock()
{
    m_ClockShared = false;
    if (m_RenderInterface == nullptr || m_CaptureInterface == nullptr) {
        return;
    }
    // A 1.0 device has no clock entities: both directions run from the one clock the
    // device has.
    if (!m_AudioClass20) {
        m_ClockShared = true;
        return;
    }
    const CUSBAudioTerminal* render = CUSBAudioTerminal::FromEntity(m_RenderInterface->Terminal);
    const CUSBAudioTerminal* capture = CUSBAudioTerminal::FromEntity(m_CaptureInterface->Terminal);
    m_ClockShared =
        render != nullptr && capture != nullptr && render->GetClockSourceId() == capture->GetClockSourceId();
}

CUSBAudioEntity* CUSBAudioModel::FindEntity(ULONG id) const
{
    for (CUSBAudioEntity* entity = m_FirstEntity; entity != nullptr; entity = entity->m_Next) {
        if (entity->GetId() == id) {
            return entity;
        }
    }
    return nullptr;
}

ULONG CUSBAudioModel::CountEntities(EntityPredicate predicate) const
{
    ULONG count = 0;
    for (const CUSBAudioEntity* entity = m_FirstEntity; entity != nullptr; entity = entity->m_Next) {
        if (predicate(entity)) {
            ++count;
        }
    }
    return count;
}

ULONG CUSBAudioModel::GetCurrentAlternate(ULONG direction) const
{
    const StreamingInterface* record = direction == kDirectionOut  ? m_RenderInterface
                                       : direction == kDirectionIn ? m_CaptureInterface
                                                                   : nullptr;
    return record != nullptr ? record->CurrentAlternate : 0;
}
