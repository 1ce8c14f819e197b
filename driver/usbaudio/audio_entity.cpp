#include "driver/usbaudio/audio_entity.h"

#include "driver/trace.h"
#include "driver/usbaudio/descriptor_reader.h"
#include "driver/usbaudio/usb_audio_model.h"

namespace usbaudio {

NTSTATUS FormatEntityName(PCHAR buffer, ULONG size, PCSTR prefix, ULONG id)
{
    if (buffer == nullptr || size == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    CHAR digits[10];
    ULONG digitCount = 0;
    do {
        digits[digitCount++] = CHAR('0' + id % 10);
        id /= 10;
    } while (id != 0);

    ULONG written = 0;
    bool cut = false;
    auto put = [&](CHAR c) {
        if (written + 1 < size) {
            buffer[written++] = c;
        } else {
            cut = true;
        }
    };
    for (PCSTR p = prefix; *p != '\0'; ++p) {
        put(*p);
    }
    put('(');
    while (digitCount > 0) {
        put(digits[--digitCount]);
    }
    put(')');
    buffer[written] = '\0';
    return cut ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

}  // namespace usbaudio

using namespace usbaudio;

void CUSBAudioEntity::Dump() const
{
    R9_TRACE("CUSBAudioEntity: bLength %u bDescriptorType 0x%02X bDescriptorSubtype %u ID %u\n",
             unsigned(DescriptorLength(m_Descriptor)), unsigned(DescriptorType(m_Descriptor)), unsigned(GetSubtype()),
             unsigned(GetId()));
}

ULONG CUSBAudioEntity::GetId() const { return DescriptorByte(m_Descriptor, 3); }

USHORT CUSBAudioEntity::GetTerminalType() const
{
    return m_Descriptor == nullptr ? kUndefinedTerminalType : DescriptorWord(m_Descriptor, 4);
}

UCHAR CUSBAudioEntity::GetSubtype() const { return m_Descriptor == nullptr ? 0 : DescriptorSubtype(m_Descriptor); }

bool CUSBAudioEntity::IsInputTerminal() const { return GetSubtype() == kAcInputTerminal; }

bool CUSBAudioEntity::IsTerminal() const
{
    const UCHAR subtype = GetSubtype();
    return subtype == kAcInputTerminal || subtype == kAcOutputTerminal;
}

bool CUSBAudioEntity::IsClockEntity() const
{
    const UCHAR subtype = GetSubtype();
    return m_Owner->IsAudioClass20() && (subtype == kAc2ClockSource || subtype == kAc2ClockSelector);
}

NTSTATUS CUSBAudioEntity::LinkTo(ULONG id, CUSBAudioEntity** link) const
{
    *link = m_Owner->FindEntity(id);
    return *link != nullptr ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

NTSTATUS CUSBAudioDummyEntity::Link() { return STATUS_SUCCESS; }

NTSTATUS CUSBAudioDummyEntity::GetName(PCHAR buffer, ULONG size) const
{
    return FormatEntityName(buffer, size, "Dummy", GetId());
}

ULONG CUSBAudioDummyEntity::GetSourceId(ULONG pin) const { return kNoEntity; }

NTSTATUS CUSBAudioProcessingUnit::Link() { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS CUSBAudioProcessingUnit::GetName(PCHAR buffer, ULONG size) const
{
    return FormatEntityName(buffer, size, "Processing", GetId());
}

ULONG CUSBAudioProcessingUnit::GetSourceId(ULONG pin) const { return kNoEntity; }
