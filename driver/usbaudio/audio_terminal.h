// Input and output terminals: where the signal enters or leaves the function (a USB stream, a jack,
// a speaker). On Audio Class 2.0 every terminal also names the clock entity it runs from.
#pragma once

#include "driver/usbaudio/audio_entity.h"

class CUSBAudioClockEntity;

namespace usbaudio {

// The terminal control that reports whether something is plugged into the jack.
constexpr ULONG kConnectorControl = 1;

}  // namespace usbaudio

class CUSBAudioTerminal : public CUSBAudioEntity {
public:
    using CUSBAudioEntity::CUSBAudioEntity;

    // bCSourceID on 2.0, usbaudio::kNoEntity on 1.0.
    virtual ULONG GetClockSourceId() const = 0;
    // The 16-bit bmControls on 2.0, 0 on 1.0.
    virtual USHORT GetControls() const = 0;
    virtual bool HasControl(ULONG index) const = 0;
    // IRQL: PASSIVE_LEVEL. 1 when something is plugged into the terminal's connector, 0 when not,
    // usbaudio::kConnectorUnknown when the terminal has no connector control or the request fails.
    virtual ULONG IsConnected() const = 0;

    // What Link found for bCSourceID (any entity; none on 1.0).
    CUSBAudioEntity* GetClockLink() const { return m_Clock; }
    // The same when it is a clock source or selector, the only entities that answer clock requests.
    CUSBAudioClockEntity* GetClockEntity() const;

    // The terminal behind an entity reference, or null when the entity is no terminal.
    static CUSBAudioTerminal* FromEntity(CUSBAudioEntity* entity);

protected:
    NTSTATUS LinkClock(ULONG clockIdOffset);
    // Control `index` is present when its 2-bit field reads 01 or 11.
    bool ControlPresent(ULONG index, ULONG highestIndex) const;
    ULONG ReadConnector() const;

private:
    CUSBAudioEntity* m_Clock = nullptr;
};

class CUSBAudioInputTerminal : public CUSBAudioTerminal {
public:
    using CUSBAudioTerminal::CUSBAudioTerminal;
    NTSTATUS Link() override;
    NTSTATUS GetName(PCHAR buffer, ULONG size) const override;
    ULONG GetSourceId(ULONG pin) const override;
    ULONG GetClockSourceId() const override;
    USHORT GetControls() const override;
    bool HasControl(ULONG index) const override;
    ULONG IsConnected() const override { return ReadConnector(); }
};

class CUSBAudioOutputTerminal : public CUSBAudioTerminal {
public:
    using CUSBAudioTerminal::CUSBAudioTerminal;
    NTSTATUS Link() override;
    NTSTATUS GetName(PCHAR buffer, ULONG size) const override;
    ULONG GetSourceId(ULONG pin) const override;
    ULONG GetClockSourceId() const override;
    USHORT GetControls() const override;
    bool HasControl(ULONG index) const override;
    ULONG IsConnected() const override { return ReadConnector(); }

    CUSBAudioEntity* GetSourceEntity() const { return m_Source; }

private:
    CUSBAudioEntity* m_Source = nullptr;
};
