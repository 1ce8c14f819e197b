// CUSBAudioCL: the driver's view of the device as a USB Audio Class function. CUSBCL below it owns
// the USB plumbing and the descriptors read at start; the Audio Class model built from them lives
// here and refers into CUSBCL's configuration descriptor, so it is destroyed first (a member goes
// before its class's base).
//
// On top of the model it selects streaming formats (alternate, clock rate, pipes and the packet
// figures the transfers are sized by) and sends the Audio Class control requests.
#pragma once

#include "driver/usb/usb_device.h"
#include "driver/usbaudio/filter_tables.h"
#include "driver/usbaudio/packet_pattern.h"
#include "driver/usbaudio/usb_audio_model.h"

class CUSBAudioClockEntity;
class CUSBAudioFeatureUnit;

class CUSBAudioCL : public CUSBCL {
public:
    // IRQL: PASSIVE_LEVEL.
    explicit CUSBAudioCL(POOL_TYPE poolType);
    ~CUSBAudioCL() override = default;

    // IRQL: DISPATCH_LEVEL. A completed capture transfer fails when a packet falls outside the
    // capture figures; every other transfer keeps its status.
    NTSTATUS CheckTransfer(NTSTATUS status, PURB urb, TransferContext* transferContext) override;

    // IRQL: PASSIVE_LEVEL. Called once by device start: the USB start sequence, then the model of
    // the descriptors it read. Failures come back unchanged.
    virtual NTSTATUS Init(PDEVICE_OBJECT lowerDevice, ULONG irpCount);
    // IRQL: PASSIVE_LEVEL. Once after Init: selects the configuration, puts every streaming
    // interface on its zero-bandwidth alternate 0 and looks up the pipes.
    virtual NTSTATUS ConfigureDevice();
    virtual NTSTATUS EnumerateStreamingInterfaces() { return m_Model.EnumerateStreamingInterfaces(); }
    virtual NTSTATUS ParseStreamingInterface(StreamingInterface* record)
    {
        return m_Model.ParseStreamingInterface(record);
    }

    // ---- Streaming format selection. IRQL: PASSIVE_LEVEL. Direction 0 is render, 1 capture. ----
    // The data and feedback pipes of every streaming interface's current alternate.
    NTSTATUS RefreshPipes();
    // Chooses the alternate for a format without selecting it. Zero channels, bits or rate choose
    // alternate 0. Every output may be absent.
    NTSTATUS FindAlternateSetting(StreamingInterface* record, USHORT formatTag, ULONG channels, ULONG bits, ULONG rate,
                                  ULONG* channelsOut, ULONG* bitsOut, ULONG* alternate);
    NTSTATUS CheckStreamFormat(ULONG direction, USHORT formatTag, ULONG channels, ULONG bits, ULONG rate,
                               ULONG* channelsOut = nullptr, ULONG* bitsOut = nullptr);
    // For render paced by the feedback endpoint or by its packet pattern (and for capture beside
    // it). A render rate without a packet pattern is refused before anything reaches the device.
    NTSTATUS SelectStreamingFormat(ULONG direction, USHORT formatTag, ULONG channels, ULONG bits, ULONG rate,
                                   ULONG periodMs, ULONG* channelsOut, ULONG* bitsOut, ULONG* maxBytesPerPeriod);
    // For render paced by the capture stream: the period's nominal bytes and how many sample
    // frames a period may fall short of it (framesBelow, zero or negative) or exceed it.
    NTSTATUS SelectStreamingFormat(ULONG direction, USHORT formatTag, ULONG channels, ULONG bits, ULONG rate,
                                   ULONG periodMs, ULONG* channelsOut, ULONG* bitsOut, ULONG* nominalBytesPerPeriod,
                                   LONG* framesBelow, LONG* framesAbove, ULONG* maxBytesPerPeriod);
    // Asks the capture interface's clock, or the render one's when there is no capture.
    NTSTATUS IsSampleRateSupported(ULONG rate);
    // The channels and container bits of the widest PCM alternate that can run at `rate`.
    NTSTATUS GetStreamFormat(ULONG direction, USHORT formatTag, ULONG rate, ULONG* channels, ULONG* bits);
    NTSTATUS GetFormatCapabilities(ULONG direction, ULONG* maxChannels, ULONG* minBits, ULONG* maxBits,
                                   ULONG* minRate, ULONG* maxRate);
    bool IsClockStable(ULONG direction);
    // IRQL: <= DISPATCH_LEVEL. 16.16 sample frames per packet at the direction's selected rate.
    ULONG GetNominalFeedback(ULONG direction) const;

    // ---- Isochronous transfers. IRQL: <= DISPATCH_LEVEL. The stream engine issues render
    // submissions one at a time; a transfer that needs more than 64 packets is refused before
    // anything is allocated. ----
    // `buffer` may be null when `mdl` describes the audio; periodMs sizes shared-clock transfers.
    NTSTATUS SubmitRenderTransfer(PVOID buffer, PMDL mdl, ULONG length, ULONG periodMs, TransferCallback callback,
                                  PVOID callbackContext);
    NTSTATUS SubmitRenderTransfer(PVOID buffer, PMDL mdl, ULONG length, ULONG periodMs, TransferCallback callback,
                                  PVOID callbackContext, ULONG startFrame);
    // Goes out at the next possible frame; startFrame is only recorded in the URB.
    NTSTATUS SubmitCaptureTransfer(PVOID buffer, ULONG length, TransferCallback callback, PVOID callbackContext,
                                   ULONG startFrame);
    // Reads the render feedback endpoint; the callback's byte count is the averaged 16.16 value.
    NTSTATUS RecvFeedback(PVOID buffer, ULONG length, TransferCallback callback, PVOID callbackContext);
    // Bytes periodMs milliseconds of render packets carry at a 16.16 feedback value.
    ULONG GetRenderBytes(ULONG periodMs, ULONG feedbackValue) const;
    // Room for 4 ms of feedback packets; 0 without a feedback pipe.
    ULONG GetFeedbackBufferSize() const;
    ULONG PacketsToBusIntervals(ULONG direction, ULONG packets) const;
    // The most milliseconds one capture request may span: its packets must fit one URB at the
    // densest packet rate any capture alternate has. 0 without a capture interface.
    ULONG GetLongestCaptureRequest() const;
    // Render is paced by capture: one clock for both directions, or an implicit-feedback capture
    // endpoint.
    bool RendersFromCaptureClock() const;

    // ---- Control requests. IRQL: PASSIVE_LEVEL. Channel 0 is the master channel. ----
    NTSTATUS GetMute(CUSBAudioFeatureUnit* unit, ULONG channel, UCHAR* mute);
    NTSTATUS SetMute(CUSBAudioFeatureUnit* unit, ULONG channel, UCHAR mute);
    // Volume in 1/256 dB.
    NTSTATUS GetVolume(CUSBAudioFeatureUnit* unit, ULONG channel, SHORT* level);
    NTSTATUS SetVolume(CUSBAudioFeatureUnit* unit, ULONG channel, SHORT level);
    NTSTATUS GetVolumeRange(CUSBAudioFeatureUnit* unit, ULONG channel, SHORT* minimum, SHORT* maximum,
                            SHORT* resolution);
    // Programs the clocks of both directions; the rate is remembered whatever the device says.
    NTSTATUS SetSampleRate(ULONG rate);
    // PCM (0) or native DSD (1) on every streaming interface, in list order.
    NTSTATUS SetStreamingMode(USHORT mode);
    // Sends every interface's recorded mode again: a device that lost power forgot it.
    NTSTATUS RestoreStreamingMode();
    USHORT GetStreamingMode() const;

    // ---- The audio stack's filter description. IRQL: PASSIVE_LEVEL. ----
    // Replaces the interface's data ranges: one per alternate setting the audio stack can use. A
    // failure leaves the interface without ranges.
    NTSTATUS BuildDataRanges(StreamingInterface* record);
    // Fills a PCFILTER_DESCRIPTOR from the entity graph; on failure nothing of it is left.
    NTSTATUS BuildFilter(PCFILTER_DESCRIPTOR* filter);
    // Frees the pin, node and connection tables of a filter BuildFilter filled.
    void FreeFilter(PCFILTER_DESCRIPTOR* filter);
    // The first data range of the direction with these channels (2 also fits wider ranges) that
    // holds the bit and rate bounds; the rate bounds come back narrowed to rates the device offers.
    NTSTATUS MatchDataRange(ULONG direction, ULONG* channels, ULONG* minBits, ULONG* maxBits, ULONG* minRate,
                            ULONG* maxRate);
    // The handlers the filter's automation tables name: the filter's component ID, and volume and
    // mute of the feature-unit nodes. Set before BuildFilter.
    void SetFilterPropertyHandlers(PCPFNPROPERTY_HANDLER componentId, PCPFNPROPERTY_HANDLER nodeProperty);
    // The records the filter points to, and the chains its pins and nodes are linked into.
    const UsbAudioFilterTables& GetFilterTables() const { return m_FilterTables; }

    // ---- The model. IRQL: <= DISPATCH_LEVEL. ----
    CUSBAudioEntity* FindEntity(ULONG id) const { return m_Model.FindEntity(id); }
    ULONG CountEntities(EntityPredicate predicate) const { return m_Model.CountEntities(predicate); }
    bool IsAudioClass20() const { return m_Model.IsAudioClass20(); }
    ULONG GetCurrentAlternate(ULONG direction) const { return m_Model.GetCurrentAlternate(direction); }
    CUSBAudioModel& GetModel() { return m_Model; }
    const CUSBAudioModel& GetModel() const { return m_Model; }
    // The render (0) or capture (1) streaming interface, or null.
    StreamingInterface* GetStreamingInterface(ULONG direction) const;
    // The clock entity a streaming interface's terminal runs from (2.0), or null.
    static CUSBAudioClockEntity* GetClockEntity(const StreamingInterface* record);

    // The rate last given to SetSampleRate; 0 before the first.
    ULONG GetCurrentRate() const { return m_CurrentRate; }
    // Render packets are this many bus intervals apart (the data endpoint's interval).
    ULONG GetPacketInterval() const { return m_PacketInterval; }
    ULONG GetPatternPosition() const { return m_PatternPosition; }
    void SetPatternPosition(ULONG position) { m_PatternPosition = position; }
    // The render rate's packet pattern, chosen by the last render format selection.
    const usbaudio::PacketPatternRow* GetRenderPacketPattern() const { return m_RenderPacketPattern; }

private:
    // What a format selection leaves for the transfers: bytes per sample frame, per packet
    // (nominal, minimum, maximum), the packet interval H in bus intervals and the most bytes one
    // 1-ms frame may carry.
    struct PacketFigures {
        ULONG BytesPerSampleFrame;
        ULONG Nominal;
        ULONG Minimum;
        ULONG Maximum;
        bool WholeFrames;
        ULONG Interval;
        ULONG MaxBytesPerFrame;
    };

    // How one render transfer is cut into packets.
    enum class RenderPath { SharedClock, ExplicitFeedback, Pattern };
    struct RenderPlan {
        RenderPath Path;
        ULONG Packets;
        ULONG MaximumPackets;  // shared clock: packets of each size
        ULONG NominalPackets;
        ULONG MinimumPackets;
        bool Rounded;  // explicit feedback: packets were added to fill a frame
        bool LengthPrefixed;
    };

    NTSTATUS SubmitRender(PVOID buffer, PMDL mdl, ULONG length, ULONG periodMs, TransferCallback callback,
                          PVOID callbackContext, ULONG transferFlags, ULONG startFrame);
    ULONG PacketSubSteps() const;
    NTSTATUS PlanRender(const StreamingInterface* render, ULONG length, ULONG periodMs, ULONG feedback,
                        RenderPlan* plan) const;
    void LayOutSharedClock(const StreamingInterface* render, const RenderPlan& plan, ULONG length,
                           struct _URB_ISOCH_TRANSFER* transfer) const;
    void LayOutFeedback(StreamingInterface* render, const RenderPlan& plan, ULONG length, ULONG feedback,
                        struct _URB_ISOCH_TRANSFER* transfer) const;
    void LayOutPattern(const StreamingInterface* render, ULONG length, struct _URB_ISOCH_TRANSFER* transfer);
    NTSTATUS LayOutLengthPrefixed(const StreamingInterface* render, PVOID buffer, PMDL mdl, ULONG length,
                                  PUCHAR prefixed, struct _URB_ISOCH_TRANSFER* transfer);
    static IO_COMPLETION_ROUTINE FeedbackComplete;
    static ULONG AverageFeedback(StreamingInterface* render, PURB urb);

    PUSBD_INTERFACE_LIST_ENTRY CreateAudioInterfaceList(LONG* count);
    NTSTATUS RefreshInterfacePipes(StreamingInterface* record);
    PUSBD_PIPE_INFORMATION LookUpPipe(const USB_ENDPOINT_DESCRIPTOR* endpoint, NTSTATUS* status);
    // The isochronous interval exponent the packet arithmetic can serve at this bus speed.
    UCHAR ServableInterval(UCHAR interval) const;
    void CheckPipeInterval(PUSBD_PIPE_INFORMATION pipe) const;
    bool QualifiesAudioClass20(const AlternateSetting& alternate, USHORT formatTag) const;
    bool QualifiesAudioClass10(StreamingInterface* record, ULONG alternate, USHORT formatTag, ULONG rate);
    bool EndpointRunsAt(StreamingInterface* record, ULONG alternate, ULONG rate);
    NTSTATUS ApplyStreamingFormat(StreamingInterface* record, USHORT formatTag, ULONG channels, ULONG bits, ULONG rate,
                                  ULONG* channelsOut, ULONG* bitsOut, PacketFigures* figures);
    PacketFigures ComputePacketFigures(const StreamingInterface* record, ULONG channels, ULONG bits, ULONG rate) const;
    void ClearFeedbackValues(StreamingInterface* record);
    NTSTATUS SendStreamingMode(StreamingInterface* record, USHORT mode);

    CUSBAudioModel m_Model;
    ULONG m_CurrentRate = 0;
    ULONG m_PacketInterval = 1;
    ULONG m_PatternPosition = 0;
    const usbaudio::PacketPatternRow* m_RenderPacketPattern = nullptr;
    UsbAudioFilterTables m_FilterTables;
};
