// The entities of the Audio Control interface: one object per class-specific AC descriptor, linked to
// the entities it names by ID. This file holds the base class and the two unit classes that link to
// nothing; feature units, terminals and clocks have their own files.
#pragma once

#include "platform/kernel.h"
#include "platform/kernel_new.h"

class CUSBAudioModel;

namespace usbaudio {

// bDescriptorSubtype values of class-specific AC interface descriptors.
constexpr UCHAR kAcHeader = 0x01;
constexpr UCHAR kAcInputTerminal = 0x02;
constexpr UCHAR kAcOutputTerminal = 0x03;
constexpr UCHAR kAcMixerUnit = 0x04;
constexpr UCHAR kAcSelectorUnit = 0x05;
constexpr UCHAR kAcFeatureUnit = 0x06;
constexpr UCHAR kAc1ProcessingUnit = 0x07;
constexpr UCHAR kAc1ExtensionUnit = 0x08;
constexpr UCHAR kAc2EffectUnit = 0x07;
constexpr UCHAR kAc2ProcessingUnit = 0x08;
constexpr UCHAR kAc2ExtensionUnit = 0x09;
constexpr UCHAR kAc2ClockSource = 0x0A;
constexpr UCHAR kAc2ClockSelector = 0x0B;
constexpr UCHAR kAc2ClockMultiplier = 0x0C;
constexpr UCHAR kAc2SampleRateConverter = 0x0D;

// What GetSourceId answers for a pin that nothing feeds.
constexpr ULONG kNoEntity = 0xFFFFFFFF;
// Terminal type reported for an entity without a descriptor (USB undefined).
constexpr USHORT kUndefinedTerminalType = 0x0100;

// Writes "<prefix>(<id>)" terminated into buffer; STATUS_BUFFER_OVERFLOW when it had to be cut.
NTSTATUS FormatEntityName(PCHAR buffer, ULONG size, PCSTR prefix, ULONG id);

}  // namespace usbaudio

// IRQL: <= DISPATCH_LEVEL for every operation of the entity classes; they only read the
// configuration descriptor and the entity list, which do not change after device start.
class CUSBAudioEntity : public PoolAllocated {
public:
    CUSBAudioEntity(const UCHAR* descriptor, CUSBAudioModel* owner) : m_Descriptor(descriptor), m_Owner(owner) {}
    virtual ~CUSBAudioEntity() = default;
    CUSBAudioEntity(const CUSBAudioEntity&) = delete;
    CUSBAudioEntity& operator=(const CUSBAudioEntity&) = delete;

    // Resolves the IDs this entity names into entity references.
    virtual NTSTATUS Link() = 0;
    // Traces bLength, bDescriptorType, bDescriptorSubtype and the ID byte.
    virtual void Dump() const;
    // bUnitID, bTerminalID or bClockID: byte 3 of every entity descriptor.
    virtual ULONG GetId() const;
    virtual NTSTATUS GetName(PCHAR buffer, ULONG size) const = 0;
    // The ID of the entity feeding input pin `pin`, or usbaudio::kNoEntity.
    virtual ULONG GetSourceId(ULONG pin) const = 0;

    USHORT GetTerminalType() const;
    bool IsInputTerminal() const;
    bool IsTerminal() const;
    // A clock source or clock selector of an Audio Class 2.0 device; only these are
    // CUSBAudioClockEntity objects.
    bool IsClockEntity() const;
    UCHAR GetSubtype() const;
    const UCHAR* GetDescriptor() const { return m_Descriptor; }
    CUSBAudioModel* GetOwner() const { return m_Owner; }
    CUSBAudioEntity* GetNext() const { return m_Next; }

protected:
    // The entity with this ID in the owner's list; STATUS_NOT_SUPPORTED when there is none.
    NTSTATUS LinkTo(ULONG id, CUSBAudioEntity** link) const;

private:
    friend class CUSBAudioModel;

    CUSBAudioEntity* m_Next = nullptr;
    const UCHAR* m_Descriptor;
    CUSBAudioModel* m_Owner;
};

// Units the driver models without behaviour: mixer, selector, effect, processing (2.0), extension,
// clock multiplier and sample-rate converter.
class CUSBAudioDummyEntity : public CUSBAudioEntity {
public:
    using CUSBAudioEntity::CUSBAudioEntity;
    NTSTATUS Link() override;
    NTSTATUS GetName(PCHAR buffer, ULONG size) const override;
    ULONG GetSourceId(ULONG pin) const override;
};

// The Audio Class 1.0 processing unit. Its Link always fails: the driver has no model of the
// processing it does, and device start fails when one is the last entity.
class CUSBAudioProcessingUnit : public CUSBAudioEntity {
public:
    using CUSBAudioEntity::CUSBAudioEntity;
    NTSTATUS Link() override;
    NTSTATUS GetName(PCHAR buffer, ULONG size) const override;
    ULONG GetSourceId(ULONG pin) const override;
};
