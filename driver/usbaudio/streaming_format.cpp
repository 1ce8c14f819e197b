// Selecting a streaming format on the device: the alternate, the clock's rate, the pipes, and the
// packet figures the transfers are sized by.
#include "driver/trace.h"
#include "driver/usbaudio/alternate_format.h"
#include "driver/usbaudio/audio_requests.h"
#include "driver/usbaudio/clock_entity.h"
#include "driver/usbaudio/usb_audio_cl.h"

using namespace usbaudio;

namespace {

constexpr ULONG kFramesPerSecond = 1000;
constexpr ULONG kMicroframesPerSecond = 8000;
constexpr ULONG kMicroframesPerFrame = 8;
constexpr USHORT kPacketSizeMask = 0x07FF;
constexpr ULONG kExtraTransactionsShift = 11;

template <typename T>
void Put(T* output, T value)
{
    if (output != nullptr) {
        *output = value;
    }
}

bool Streams(ULONG channels, ULONG bits, ULONG rate) { return channels != 0 && bits != 0 && rate != 0; }

}  // namespace

void CUSBAudioCL::ClearFeedbackValues(StreamingInterface* record)
{
    if (record->FeedbackPipe == nullptr) {
        return;
    }
    KIRQL irql;
    KeAcquireSpinLock(&record->FeedbackLock, &irql);
    record->FeedbackValue = 0;
    record->NominalFeedbackValue = 0;
    KeReleaseSpinLock(&record->FeedbackLock, irql);
    record->LastFeedbackValue = 0;
}

// B bytes per sample frame; a packet every H bus intervals carries rate x H / (bus intervals per
// second) frames, which is Q whole frames and maybe a fraction. A rate that comes out even gets
// packets of Q frames that may shrink or grow by one to follow the device's clock; otherwise packets
// alternate between Q and Q + 1 frames.
CUSBAudioCL::PacketFigures CUSBAudioCL::ComputePacketFigures(const StreamingInterface* record, ULONG channels,
                                                             ULONG bits, ULONG rate) const
{
    PacketFigures figures = {};
    figures.Interval = 1;
    const AlternateSetting& alternate = record->Alternates[record->CurrentAlternate];
    if (!Streams(channels, bits, rate) || alternate.DataEndpoint == nullptr) {
        return figures;
    }
    // Only isochronous pipes had their interval corrected when they were looked up; a data endpoint
    // of another type (a device may declare anything) is held to the same limits, or its interval
    // would scale the packet figures past any meaning.
    const ULONG interval =
        ServableInterval(record->DataPipe != nullptr ? record->DataPipe->Interval : alternate.DataEndpoint->bInterval);
    figures.Interval = interval <= 1 ? 1 : ULONG(1) << (interval - 1);
    figures.BytesPerSampleFrame = channels * (bits / 8);
    const ULONGLONG framesTimesIntervals = ULONGLONG(rate) * figures.Interval;
    const ULONG perSecond = IsHighSpeed() ? kMicroframesPerSecond : kFramesPerSecond;
    const ULONG wholeFrames = ULONG(framesTimesIntervals / perSecond);
    figures.Nominal = wholeFrames * figures.BytesPerSampleFrame;
    figures.Maximum = figures.Nominal + figures.BytesPerSampleFrame;
    figures.Minimum =
        framesTimesIntervals % perSecond == 0 ? figures.Nominal - figures.BytesPerSampleFrame : figures.Nominal;
    figures.WholeFrames = figures.Nominal != figures.Minimum;

    const USHORT maxPacket = alternate.DataEndpoint->wMaxPacketSize;
    if (IsHighSpeed()) {
        const ULONG transactions = ULONG(maxPacket >> kExtraTransactionsShift & 0x3) + 1;
        const ULONG packetsPerFrame =
            figures.Interval >= kMicroframesPerFrame ? 1 : kMicroframesPerFrame / figures.Interval;
        figures.MaxBytesPerFrame = ULONG(maxPacket & kPacketSizeMask) * transactions * packetsPerFrame;
    } else {
        figures.MaxBytesPerFrame = maxPacket;
    }
    return figures;
}

// IRQL: PASSIVE_LEVEL. What both forms share. Each step keeps what the earlier ones did when it
// fails: a clock already set to the new rate stays set.
NTSTATUS CUSBAudioCL::ApplyStreamingFormat(StreamingInterface* record, USHORT formatTag, ULONG channels, ULONG bits,
                                           ULONG rate, ULONG* channelsOut, ULONG* bitsOut, PacketFigures* figures)
{
    ULONG chosenChannels = 0;
    ULONG chosenBits = 0;
    ULONG alternate = 0;
    NTSTATUS status =
        FindAlternateSetting(record, formatTag, channels, bits, rate, &chosenChannels, &chosenBits, &alternate);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const bool streams = Streams(channels, bits, rate);
    if (IsAudioClass20() && streams) {
        CUSBAudioClockEntity* clock = GetClockEntity(record);
        status = clock != nullptr ? clock->SetSampleRate(rate) : STATUS_NOT_SUPPORTED;
        if (!NT_SUCCESS(status)) {
            R9_TRACE("CUSBAudioCL: interface %u clock refused %lu Hz (0x%08X)\n", unsigned(record->InterfaceNumber),
                     static_cast<unsigned long>(rate), unsigned(status));
            return status;
        }
    }
    if (alternate != record->CurrentAlternate) {
        status = SelectAlternate(record->InterfaceNumber, UCHAR(alternate));
        if (!NT_SUCCESS(status)) {
            return status;
        }
        record->CurrentAlternate = alternate;
    }
    status = RefreshPipes();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const AlternateSetting& selected = record->Alternates[alternate];
    if (!IsAudioClass20() && streams && selected.ClassEndpoint != nullptr && HasSamplingFrequencyControl(selected)) {
        UCHAR value[3] = {UCHAR(rate), UCHAR(rate >> 8), UCHAR(rate >> 16)};
        status = SendControlRequest(kSetToEndpoint, kSetCur, kEndpointSamplingFrequency,
                                    selected.DataEndpoint->bEndpointAddress, sizeof(value), value);
        if (!NT_SUCCESS(status)) {
            R9_TRACE("CUSBAudioCL: endpoint 0x%02X refused %lu Hz (0x%08X)\n",
                     unsigned(selected.DataEndpoint->bEndpointAddress), static_cast<unsigned long>(rate),
                     unsigned(status));
            return status;
        }
    }
    *figures = ComputePacketFigures(record, chosenChannels, chosenBits, rate);
    record->BytesPerSampleFrame = figures->BytesPerSampleFrame;
    record->NominalPacketBytes = figures->Nominal;
    record->MinimumPacketBytes = figures->Minimum;
    record->MaximumPacketBytes = figures->Maximum;
    record->WholeFrames = figures->WholeFrames ? 1 : 0;
    record->Rate = rate;
    *channelsOut = chosenChannels;
    *bitsOut = chosenBits;
    return STATUS_SUCCESS;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioCL::SelectStreamingFormat(ULONG direction, USHORT formatTag, ULONG channels, ULONG bits, ULONG rate,
                                            ULONG periodMs, ULONG* channelsOut, ULONG* bitsOut,
                                            ULONG* maxBytesPerPeriod)
{
    PAGED_CODE();
    StreamingInterface* record = GetStreamingInterface(direction);
    if (record == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const bool render = direction == kDirectionOut;
    if (render) {
        ClearFeedbackValues(record);
        if (Streams(channels, bits, rate)) {
            const PacketPatternRow* pattern = FindPacketPattern(rate);
            if (pattern == nullptr) {
                R9_TRACE("CUSBAudioCL: no render packet pattern for %lu Hz\n", static_cast<unsigned long>(rate));
                return STATUS_NOT_SUPPORTED;
            }
            m_RenderPacketPattern = pattern;
        }
    }
    ULONG chosenChannels = 0;
    ULONG chosenBits = 0;
    PacketFigures figures = {};
    const NTSTATUS status =
        ApplyStreamingFormat(record, formatTag, channels, bits, rate, &chosenChannels, &chosenBits, &figures);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (render) {
        m_PacketInterval = figures.Interval;
        m_PatternPosition = 0;
    }
    StreamingInterface* renderInterface = m_Model.GetRenderInterface();
    if (record->FeedbackPipe != nullptr && renderInterface != nullptr && renderInterface->FeedbackPipe != nullptr) {
        const ULONG nominal = GetNominalFeedback(direction);
        KIRQL irql;
        KeAcquireSpinLock(&renderInterface->FeedbackLock, &irql);
        renderInterface->NominalFeedbackValue = nominal;
        KeReleaseSpinLock(&renderInterface->FeedbackLock, irql);
    }
    Put(channelsOut, chosenChannels);
    Put(bitsOut, chosenBits);
    Put(maxBytesPerPeriod, figures.MaxBytesPerFrame * periodMs);
    return STATUS_SUCCESS;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS CUSBAudioCL::SelectStreamingFormat(ULONG direction, USHORT formatTag, ULONG channels, ULONG bits, ULONG rate,
                                            ULONG periodMs, ULONG* channelsOut, ULONG* bitsOut,
                                            ULONG* nominalBytesPerPeriod, LONG* framesBelow, LONG* framesAbove,
                                            ULONG* maxBytesPerPeriod)
{
    PAGED_CODE();
    StreamingInterface* record = GetStreamingInterface(direction);
    if (record == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (direction == kDirectionOut) {
        ClearFeedbackValues(record);
    }
    ULONG chosenChannels = 0;
    ULONG chosenBits = 0;
    PacketFigures figures = {};
    const NTSTATUS status =
        ApplyStreamingFormat(record, formatTag, channels, bits, rate, &chosenChannels, &chosenBits, &figures);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG packetsPerPeriod = periodMs;
    if (IsHighSpeed()) {
        packetsPerPeriod *= figures.Interval >= kMicroframesPerFrame ? 1 : kMicroframesPerFrame / figures.Interval;
    }
    const ULONG nominal = figures.Nominal * packetsPerPeriod;
    const ULONG minimum = figures.Minimum * packetsPerPeriod;
    const ULONG maximum = figures.Maximum * packetsPerPeriod;
    const ULONG bytesPerSampleFrame = figures.BytesPerSampleFrame;
    Put(channelsOut, chosenChannels);
    Put(bitsOut, chosenBits);
    Put(nominalBytesPerPeriod, nominal);
    Put(maxBytesPerPeriod, figures.MaxBytesPerFrame * periodMs);
    if (bytesPerSampleFrame == 0) {
        return framesBelow != nullptr || framesAbove != nullptr ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
    }
    Put(framesBelow, -LONG((nominal - minimum) / bytesPerSampleFrame));
    Put(framesAbove, LONG((maximum - nominal) / bytesPerSampleFrame));
    return STATUS_SUCCESS;
}

// IRQL: <= DISPATCH_LEVEL. The nominal rate as the device reports feedback: sample frames per bus
// interval on capture, per render packet on render.
ULONG CUSBAudioCL::GetNominalFeedback(ULONG direction) const
{
    const StreamingInterface* record = GetStreamingInterface(direction);
    if (record == nullptr) {
        return 0;
    }
    const ULONGLONG perFrame = ULONGLONG(record->Rate) * 65536 / kFramesPerSecond;
    if (!IsHighSpeed()) {
        return ULONG(perFrame);
    }
    if (direction == kDirectionIn) {
        return ULONG(perFrame / kMicroframesPerFrame);
    }
    const ULONG packetsPerFrame = m_PacketInterval >= kMicroframesPerFrame ? 1 : kMicroframesPerFrame / m_PacketInterval;
    return ULONG(perFrame / packetsPerFrame);
}
