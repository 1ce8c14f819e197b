// The driver's model of a USB Audio Class 1.0 / 2.0 function, built from the configuration
// descriptor set alone: the Audio Control interface and header, the entity graph and the streaming
// interfaces with their alternates. It refers into the caller's descriptor bytes, which must stay
// valid and unchanged for the life of the model; it needs no USB traffic, so it can be built from
// bytes anywhere.
#pragma once

#include "driver/usbaudio/audio_entity.h"
#include "driver/usbaudio/descriptor_reader.h"
#include "driver/usbaudio/streaming_interface.h"

class CUSBCL;

typedef bool (*EntityPredicate)(const CUSBAudioEntity* entity);

// CountEntities predicates: input and output terminals; every other entity except the clock
// entities (subtypes 10 to 12) of a 2.0 device.
bool IsTerminalEntity(const CUSBAudioEntity* entity);
bool IsUnitEntity(const CUSBAudioEntity* entity);

class CUSBAudioModel {
public:
    // Entities and records come from `poolType` with the pool tag "USBA".
    explicit CUSBAudioModel(POOL_TYPE poolType = NonPagedPoolNx) : m_PoolType(poolType) {}
    ~CUSBAudioModel();
    CUSBAudioModel(const CUSBAudioModel&) = delete;
    CUSBAudioModel& operator=(const CUSBAudioModel&) = delete;

    // IRQL: PASSIVE_LEVEL. Builds the whole model; on failure what was built so far stays until
    // the model is destroyed or parsed again. `device` may be null (no quirks then); `length`
    // bounds every read together with the set's own wTotalLength.
    NTSTATUS ParseDescriptors(const USB_CONFIGURATION_DESCRIPTOR* configuration, ULONG length,
                              const USB_DEVICE_DESCRIPTOR* device, bool highSpeed);

    // Two steps of ParseDescriptors, which runs them; the first appends to the list of streaming
    // interfaces, so it runs once per parse.
    NTSTATUS EnumerateStreamingInterfaces();
    NTSTATUS ParseStreamingInterface(StreamingInterface* record);

    // IRQL: <= DISPATCH_LEVEL for everything below; the model does not change after parsing.
    CUSBAudioEntity* FindEntity(ULONG id) const;
    ULONG CountEntities(EntityPredicate predicate) const;
    bool IsAudioClass20() const { return m_AudioClass20; }
    // Current alternate of the render (0) or capture (1) interface; 0 when there is none.
    ULONG GetCurrentAlternate(ULONG direction) const;

    // IRQL: PASSIVE_LEVEL. The USB device the entities' control requests go to; a model built from
    // bytes alone has none, and its requests fail with STATUS_INVALID_DEVICE_STATE.
    void AttachDevice(CUSBCL* device) { m_Device = device; }
    // IRQL: PASSIVE_LEVEL. A class request to an Audio Control entity: wValue = control selector <<
    // 8 | channel, wIndex = entity ID << 8 | the AC interface number. Failures are traced.
    NTSTATUS SendEntityRequest(UCHAR requestType, UCHAR request, UCHAR controlSelector, UCHAR channel, ULONG entityId,
                               USHORT length, PVOID buffer) const;

    bool IsHighSpeed() const { return m_HighSpeed; }
    POOL_TYPE GetPoolType() const { return m_PoolType; }
    ULONG GetQuirks() const { return m_Quirks; }
    const USB_INTERFACE_DESCRIPTOR* GetAcInterface() const { return m_AcInterface; }
    const UCHAR* GetAcHeader() const { return m_AcHeader; }
    CUSBAudioEntity* GetFirstEntity() const { return m_FirstEntity; }
    StreamingInterface* GetFirstStreamingInterface() const { return m_FirstStreamingInterface; }
    LONG GetStreamingInterfaceCount() const { return m_StreamingInterfaceCount; }
    StreamingInterface* GetRenderInterface() const { return m_RenderInterface; }
    StreamingInterface* GetCaptureInterface() const { return m_CaptureInterface; }
    bool IsClockShared() const { return m_ClockShared; }
    // Why the last parse failed, in a few words; empty after a success.
    PCSTR GetFailureReason() const { return m_FailureReason; }
    const usbaudio::DescriptorRange& GetDescriptorRange() const { return m_Range; }

private:
    NTSTATUS Fail(NTSTATUS status, PCSTR reason);
    void Release();
    NTSTATUS LocateAudioControl();
    NTSTATUS BuildEntities();
    CUSBAudioEntity* CreateEntity(const UCHAR* descriptor, bool* endOfWalk, bool* malformed);
    NTSTATUS LinkEntities();
    NTSTATUS ParseAlternate(const StreamingInterface* record, ULONG alternate, AlternateSetting* setting);
    void ClassifyEndpoints20(AlternateSetting* setting, const UCHAR* extentEnd) const;
    void ClassifyEndpoints10(AlternateSetting* setting, const UCHAR* extentEnd) const;
    bool IsUsableEndpoint(const USB_ENDPOINT_DESCRIPTOR* endpoint) const;
    NTSTATUS TieTerminals();
    void DecideSharedClock();
    UCHAR AudioInterfaceClass() const;

    POOL_TYPE m_PoolType;
    CUSBCL* m_Device = nullptr;
    usbaudio::DescriptorRange m_Range = {};
    bool m_HighSpeed = false;
    ULONG m_Quirks = 0;
    bool m_AudioClass20 = false;
    const USB_INTERFACE_DESCRIPTOR* m_AcInterface = nullptr;
    const UCHAR* m_AcHeader = nullptr;
    ULONG m_AcTotalLength = 0;
    CUSBAudioEntity* m_FirstEntity = nullptr;
    CUSBAudioEntity* m_LastEntity = nullptr;
    StreamingInterface* m_FirstStreamingInterface = nullptr;
    StreamingInterface* m_LastStreamingInterface = nullptr;
    LONG m_StreamingInterfaceCount = 0;
    StreamingInterface* m_RenderInterface = nullptr;
    StreamingInterface* m_CaptureInterface = nullptr;
    bool m_ClockShared = false;
    PCSTR m_FailureReason = "";
};
