// Reservations, capabilities and client formats: what the wave streams and the ASIO stream may
// use of the device, checked against the one device rate.
#include "driver/adapter/usb_audio_adapter.h"
#include "driver/mutex_holder.h"
#include "driver/trace.h"
#include "driver/usbaudio/audio_entity.h"
#include "driver/usbaudio/filter_records.h"

namespace {

constexpr USHORT kUsbStreamingTerminal = 0x0101;

}  // namespace

NTSTATUS UsbAudioAdapter::ReserveDirections(BOOLEAN wantIn, BOOLEAN wantOut, BOOLEAN exclusive)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_ReservationLock, &irql);
    NTSTATUS status = STATUS_SUCCESS;
    if (m_Exclusive != 0 || (exclusive && (m_ReservedIn != 0 || m_ReservedOut != 0))) {
        status = STATUS_DEVICE_BUSY;
    } else {
        m_ReservedIn += wantIn ? 1 : 0;
        m_ReservedOut += wantOut ? 1 : 0;
        m_Exclusive = exclusive ? 1 : 0;
    }
    KeReleaseSpinLock(&m_ReservationLock, irql);
    return status;
}

NTSTATUS UsbAudioAdapter::ReleaseDirections(BOOLEAN in, BOOLEAN out)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_ReservationLock, &irql);
    if (in) {
        if (m_ReservedIn == 0) {
            R9_TRACE("UsbAudioAdapter: capture released without a reservation\n");
        } else {
            --m_ReservedIn;
        }
    }
    if (out) {
        if (m_ReservedOut == 0) {
            R9_TRACE("UsbAudioAdapter: render released without a reservation\n");
        } else {
            --m_ReservedOut;
        }
    }
    if (m_Exclusive != 0) {
        m_Exclusive = 0;
        if (m_ReservedIn != 0 || m_ReservedOut != 0) {
            R9_TRACE("UsbAudioAdapter: exclusive use ended with %u/%u reservations left\n", unsigned(m_ReservedIn),
                     unsigned(m_ReservedOut));
        }
    }
    KeReleaseSpinLock(&m_ReservationLock, irql);
    return STATUS_SUCCESS;
}

// The miniport registers itself once per filter; the pointer is not counted, the miniport
// outlives its registration (it is unregistered through this pointer before it goes).
NTSTATUS UsbAudioAdapter::SetEngineCallback(IEngineCallback* callback)
{
    if (callback != nullptr) {
        ExchangeEngineCallback(callback);
    }
    return STATUS_SUCCESS;
}

// A pin's direction is that of the USB streaming terminal on its chain: a streaming pin is that
// terminal, a bridge pin reaches it further down the capture chain. The render chain ends at its
// bridge pins without one, so they count as render.
NTSTATUS UsbAudioAdapter::PinDirection(ULONG pinId, StreamDirection* direction) const
{
    const FilterPinRecord* pin = usbaudio::FilterPin(m_Filter, pinId);
    if (pin == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *direction = kDirectionOut;
    const UsbAudioFilterTables& tables = m_UsbAudio.GetFilterTables();
    for (PLIST_ENTRY link = const_cast<PLIST_ENTRY>(&pin->Chain.Link);
         link != &tables.CaptureChain && link != &tables.RenderChain; link = link->Flink) {
        CUSBAudioEntity* entity = FilterChainEntry::FromLink(link)->Entity;
        if (entity != nullptr && entity->IsTerminal() && entity->GetTerminalType() == kUsbStreamingTerminal) {
            *direction = entity->IsInputTerminal() ? kDirectionOut : kDirectionIn;
            break;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::GetPinCapabilities(ULONG pinId, PULONG maxChannels, PULONG minBits, PULONG maxBits,
                                             PULONG minRate, PULONG maxRate)
{
    StreamDirection direction;
    const NTSTATUS status = PinDirection(pinId, &direction);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return GetDirectionCapabilities(direction, maxChannels, minBits, maxBits, minRate, maxRate);
}

NTSTATUS UsbAudioAdapter::GetDirectionCapabilities(StreamDirection direction, PULONG maxChannels, PULONG minBits,
                                                   PULONG maxBits, PULONG minRate, PULONG maxRate)
{
    if (IsRemoving()) {
        return STATUS_DELETE_PENDING;
    }
    if (direction >= kDirectionCount) {
        return STATUS_INVALID_PARAMETER;
    }
    const NTSTATUS status =
        m_UsbAudio.GetFormatCapabilities(direction, maxChannels, minBits, maxBits, minRate, maxRate);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Only the device rate can be used while it is set; and the sample packing converts 8-bit
    // clients to whatever container the device takes.
    if (m_CurrentRate != 0 && minRate != nullptr) {
        *minRate = m_CurrentRate;
    }
    if (minBits != nullptr && *minBits > 8) {
        *minBits = 8;
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::SetDirectionFormat(StreamDirection direction, USHORT formatTag, ULONG channels, ULONG bits,
                                             ULONG rate)
{
    if (IsRemoving()) {
        return STATUS_DELETE_PENDING;
    }
    if (direction >= kDirectionCount) {
        return STATUS_INVALID_PARAMETER;
    }
    m_Engine.PurgeRegions(direction);
    MutexHolder configuration(&m_ConfigurationMutex);
    DirectionFormat& format = m_Format[direction];
    if (channels != format.channels || bits != format.bitsPerSample || rate != format.sampleRate) {
        if (m_CurrentRate != 0 && rate != m_CurrentRate) {
            return STATUS_NO_MATCH;
        }
        const StreamDirection other = direction == kDirectionOut ? kDirectionIn : kDirectionOut;
        if (m_UsbAudio.GetModel().IsClockShared() && m_FormatSet[other] && m_Format[other].sampleRate != rate) {
            return STATUS_NO_MATCH;
        }
        const NTSTATUS status = m_UsbAudio.CheckStreamFormat(direction, formatTag, channels, bits, rate);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        format.formatTag = formatTag;
        format.channels = channels;
        format.bitsPerSample = bits;
        format.sampleRate = rate;
        format.blockAlign = channels * (bits / 8);
    }
    m_FormatSet[direction] = true;
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::ReplaceDirectionFormat(StreamDirection direction, USHORT formatTag, ULONG channels,
                                                 ULONG bits, ULONG rate)
{
    ClearDirectionFormat(direction);
    return SetDirectionFormat(direction, formatTag, channels, bits, rate);
}

// When render follows capture the two directions run one format's rate and channel layout, so
// the formats go only when neither direction uses them any more. A cleared render format keeps
// its bits; a cleared capture format loses them too.
void UsbAudioAdapter::ClearDirectionFormat(StreamDirection direction)
{
    if (direction >= kDirectionCount) {
        return;
    }
    MutexHolder configuration(&m_ConfigurationMutex);
    m_FormatSet[direction] = false;
    if (RenderFollowsCapture()) {
        if (m_FormatSet[kDirectionOut] || m_FormatSet[kDirectionIn]) {
            return;
        }
        ClearFormatFields(kDirectionOut);
        ClearFormatFields(kDirectionIn);
        return;
    }
    ClearFormatFields(direction);
}

void UsbAudioAdapter::ClearFormatFields(StreamDirection direction)
{
    DirectionFormat& format = m_Format[direction];
    format.formatTag = 0;
    format.channels = 0;
    format.sampleRate = 0;
    if (direction == kDirectionIn) {
        format.bitsPerSample = 0;
    }
}

bool UsbAudioAdapter::RenderFollowsCapture() const { return m_UsbAudio.RendersFromCaptureClock(); }

NTSTATUS UsbAudioAdapter::GetPinFormatRange(ULONG pinId, PULONG channels, PULONG minBits, PULONG maxBits,
                                            PULONG minRate, PULONG maxRate)
{
    StreamDirection direction;
    if (channels == nullptr || minBits == nullptr || maxBits == nullptr || minRate == nullptr || maxRate == nullptr ||
        !NT_SUCCESS(PinDirection(pinId, &direction))) {
        return STATUS_INVALID_PARAMETER;
    }
    MutexHolder configuration(&m_ConfigurationMutex);
    if (m_CurrentRate != 0 && (*minRate != m_CurrentRate || *maxRate != m_CurrentRate)) {
        return STATUS_NO_MATCH;
    }
    const NTSTATUS status = m_UsbAudio.MatchDataRange(direction, channels, minBits, maxBits, minRate, maxRate);
    return NT_SUCCESS(status) ? status : STATUS_NO_MATCH;
}

NTSTATUS UsbAudioAdapter::GetSignalProcessingModes(ULONG pinId, GUID* mode, PULONG count)
{
    if (count == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const FilterPinRecord* pin = usbaudio::FilterPin(m_Filter, pinId);
    if (pin == nullptr) {
        *count = 0;
        return STATUS_INVALID_PARAMETER;
    }
    if (pin->Descriptor.KsPinDescriptor.Communication == KSPIN_COMMUNICATION_BRIDGE) {
        *count = 0;
        return STATUS_NOT_SUPPORTED;
    }
    if (mode != nullptr && *count == 0) {
        *count = 1;
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (mode != nullptr) {
        *mode = AUDIO_SIGNALPROCESSINGMODE_RAW;
    }
    *count = 1;
    return STATUS_SUCCESS;
}

// What a request of the direction carries, in the client's bytes: the wave stream sizes its
// buffer by it.
ULONG UsbAudioAdapter::GetTransferBufferBytes(StreamDirection direction)
{
    if (direction >= kDirectionCount || m_UsbAudio.GetCurrentAlternate(direction) == 0) {
        return 0;
    }
    const StreamingInterface* record = m_UsbAudio.GetStreamingInterface(direction);
    if (record == nullptr || record->BytesPerSampleFrame == 0) {
        return 0;
    }
    return m_Engine.TransferBufferBytes(direction) / record->BytesPerSampleFrame * m_Format[direction].blockAlign;
}
