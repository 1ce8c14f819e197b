// CUSBAudioCL: the driver's view of the device as a USB Audio Class function. CUSBCL below it owns
// the USB plumbing and the descriptors read at start; the Audio Class model built from them lives
// here and refers into CUSBCL's configuration descriptor, so it is destroyed first (a member goes
// before its class's base).
#pragma once

#include "driver/usb/usb_device.h"
#include "driver/usbaudio/usb_audio_model.h"

class CUSBAudioCL : public CUSBCL {
public:
    // IRQL: PASSIVE_LEVEL.
    explicit CUSBAudioCL(POOL_TYPE poolType) : CUSBCL(poolType), m_Model(poolType) {}
    ~CUSBAudioCL() override = default;

    // IRQL: PASSIVE_LEVEL. Called once by device start: the USB start sequence, then the model of
    // the descriptors it read. Failures come back unchanged.
    virtual NTSTATUS Init(PDEVICE_OBJECT lowerDevice, ULONG irpCount);
    virtual NTSTATUS EnumerateStreamingInterfaces() { return m_Model.EnumerateStreamingInterfaces(); }
    virtual NTSTATUS ParseStreamingInterface(StreamingInterface* record)
    {
        return m_Model.ParseStreamingInterface(record);
    }

    // IRQL: <= DISPATCH_LEVEL.
    CUSBAudioEntity* FindEntity(ULONG id) const { return m_Model.FindEntity(id); }
    ULONG CountEntities(EntityPredicate predicate) const { return m_Model.CountEntities(predicate); }
    bool IsAudioClass20() const { return m_Model.IsAudioClass20(); }
    ULONG GetCurrentAlternate(ULONG direction) const { return m_Model.GetCurrentAlternate(direction); }
    CUSBAudioModel& GetModel() { return m_Model; }
    const CUSBAudioModel& GetModel() const { return m_Model; }

private:
    CUSBAudioModel m_Model;
};
