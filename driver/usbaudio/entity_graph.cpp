// The entity walk: one entity object per class-specific AC descriptor inside the header's
// wTotalLength, then linking by ID.
#include "driver/usbaudio/audio_terminal.h"
#include "driver/usbaudio/clock_entity.h"
#include "driver/usbaudio/feature_unit.h"
#include "driver/usbaudio/usb_audio_model.h"

using namespace usbaudio;

namespace {

enum class EntityKind {
    EndOfWalk,
    InputTerminal,
    OutputTerminal,
    FeatureUnit,
    ProcessingUnit,
    ClockSource,
    ClockSelector,
    Dummy
};

EntityKind KindOf(UCHAR subtype, bool audioClass20)
{
    switch (subtype) {
    case kAcInputTerminal: return EntityKind::InputTerminal;
    case kAcOutputTerminal: return EntityKind::OutputTerminal;
    case kAcFeatureUnit: return EntityKind::FeatureUnit;
    case kAcMixerUnit:
    case kAcSelectorUnit: return EntityKind::Dummy;
    default: break;
    }
    if (audioClass20) {
        switch (subtype) {
        case kAc2ClockSource: return EntityKind::ClockSource;
        case kAc2ClockSelector: return EntityKind::ClockSelector;
        case kAc2EffectUnit:
        case kAc2ProcessingUnit:
        case kAc2ExtensionUnit:
        case kAc2ClockMultiplier:
        case kAc2SampleRateConverter: return EntityKind::Dummy;
        default: return EntityKind::EndOfWalk;
        }
    }
    switch (subtype) {
    case kAc1ProcessingUnit: return EntityKind::ProcessingUnit;
    case kAc1ExtensionUnit: return EntityKind::Dummy;
    default: return EntityKind::EndOfWalk;
    }
}

// The bytes an entity's fields need: its descriptor up to the last fixed field the driver reads.
ULONG MinimumLength(EntityKind kind, const UCHAR* descriptor, bool audioClass20)
{
    constexpr ULONG kIdOnly = 4;
    switch (kind) {
    case EntityKind::InputTerminal: return audioClass20 ? 17 : 12;
    case EntityKind::OutputTerminal: return audioClass20 ? 12 : 9;
    case EntityKind::FeatureUnit: return audioClass20 ? 6 : 7;
    case EntityKind::ClockSource: return 8;
    case EntityKind::ClockSelector:
        // bNrInPins (byte 4) decides how long the rest is: the inputs, bmControls, iClockSelector.
        return DescriptorLength(descriptor) < 5 ? 5 : 7 + ULONG(DescriptorByte(descriptor, 4));
    default: return kIdOnly;
    }
}

}  // namespace

CUSBAudioEntity* CUSBAudioModel::CreateEntity(const UCHAR* descriptor, bool* endOfWalk, bool* malformed)
{
    const EntityKind kind = KindOf(DescriptorSubtype(descriptor), m_AudioClass20);
    *endOfWalk = kind == EntityKind::EndOfWalk;
    *malformed = !*endOfWalk && DescriptorLength(descriptor) < MinimumLength(kind, descriptor, m_AudioClass20);
    if (*endOfWalk || *malformed) {
        return nullptr;
    }
    switch (kind) {
    case EntityKind::InputTerminal: return new (m_PoolType, kDefaultPoolTag) CUSBAudioInputTerminal(descriptor, this);
    case EntityKind::OutputTerminal: return new (m_PoolType, kDefaultPoolTag) CUSBAudioOutputTerminal(descriptor, this);
    case EntityKind::FeatureUnit: return new (m_PoolType, kDefaultPoolTag) CUSBAudioFeatureUnit(descriptor, this);
    case EntityKind::ProcessingUnit: return new (m_PoolType, kDefaultPoolTag) CUSBAudioProcessingUnit(descriptor, this);
    case EntityKind::ClockSource: return new (m_PoolType, kDefaultPoolTag) CUSBAudioClockSource(descriptor, this);
    case EntityKind::ClockSelector: return new (m_PoolType, kDefaultPoolTag) CUSBAudioClockSelector(descriptor, this);
    default: return new (m_PoolType, kDefaultPoolTag) CUSBAudioDummyEntity(descriptor, this);
    }
}

NTSTATUS CUSBAudioModel::BuildEntities()
{
    const UCHAR* limit = m_AcHeader + m_AcTotalLength;
    for (const UCHAR* descriptor =
             FindDescriptor(m_Range, m_AcHeader + DescriptorLength(m_AcHeader), kCsInterface, limit);
         descriptor != nullptr;
         descriptor = FindDescriptor(m_Range, descriptor + DescriptorLength(descriptor), kCsInterface, limit)) {
        bool endOfWalk = false;
        bool malformed = false;
        CUSBAudioEntity* entity = CreateEntity(descriptor, &endOfWalk, &malformed);
        if (malformed) {
            return Fail(STATUS_NOT_SUPPORTED, "an Audio Control descriptor is too short for its fields");
        }
        // A failed allocation ends the walk like an unknown subtype; linking then decides.
        if (entity == nullptr) {
            break;
        }
        entity->Dump();
        if (m_LastEntity == nullptr) {
            m_FirstEntity = entity;
        } else {
            m_LastEntity->m_Next = entity;
        }
        m_LastEntity = entity;
    }
    return LinkEntities();
}

NTSTATUS CUSBAudioModel::LinkEntities()
{
    // Every entity is linked even after a failure, and only the last entity's result counts: a
    // processing unit in the middle of a 1.0 graph must not stop a device that works without it.
    NTSTATUS status = STATUS_SUCCESS;
    for (CUSBAudioEntity* entity = m_FirstEntity; entity != nullptr; entity = entity->m_Next) {
        status = entity->Link();
    }
    if (!NT_SUCCESS(status)) {
        return Fail(status, "the last Audio Control entity failed to link");
    }
    return STATUS_SUCCESS;
}
