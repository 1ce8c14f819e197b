// The adapter's power management (through PortCls) and its part in the device's removal.
#include "driver/adapter/usb_audio_adapter.h"
#include "driver/mutex_holder.h"
#include "driver/trace.h"

// IRQL: PASSIVE_LEVEL, from PortCls's power IRP handling.
void UsbAudioAdapter::PowerChangeState(POWER_STATE newState)
{
    PAGED_CODE();
    const DEVICE_POWER_STATE state = newState.DeviceState;
    if (state == m_PowerState) {
        return;
    }
    switch (state) {
    case PowerDeviceD0: {
        m_PowerState = PowerDeviceD0;
        // The device lost its interface settings and mode while it was off: put both directions
        // back on zero bandwidth so the next start selects from a known state, and tell a DSD
        // device again which mode it is in. A direction that runs (started again before this
        // request came, or never stopped) keeps its alternate and mode: taking them away would
        // cut its stream.
        MutexHolder configuration(&m_ConfigurationMutex);
        if (m_Engine.IsStreaming()) {
            R9_TRACE("UsbAudioAdapter: D0 while streaming, interfaces left as they are\n");
            break;
        }
        for (StreamDirection direction = kDirectionOut; direction < kDirectionCount; ++direction) {
            if (HasDirection(direction)) {
                const NTSTATUS status =
                    m_UsbAudio.SelectStreamingFormat(direction, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr);
                if (!NT_SUCCESS(status)) {
                    R9_TRACE("UsbAudioAdapter: zero bandwidth on %c after D0 0x%08X\n", DirectionLetter(direction),
                             unsigned(status));
                }
            }
        }
        if (m_DsdNative) {
            const NTSTATUS status = m_UsbAudio.RestoreStreamingMode();
            if (!NT_SUCCESS(status)) {
                R9_TRACE("UsbAudioAdapter: streaming mode not restored 0x%08X\n", unsigned(status));
            }
        }
        break;
    }
    case PowerDeviceD1:
    case PowerDeviceD2:
    case PowerDeviceD3:
        m_PowerState = state;
        break;
    default:
        R9_TRACE("UsbAudioAdapter: power state %d ignored\n", int(state));
        break;
    }
}

NTSTATUS UsbAudioAdapter::QueryPowerChangeState(POWER_STATE) { return STATUS_SUCCESS; }

NTSTATUS UsbAudioAdapter::QueryDeviceCapabilities(PDEVICE_CAPABILITIES capabilities)
{
    // A USB device can be pulled at any time; saying so keeps Windows from warning the user.
    capabilities->SurpriseRemovalOK = TRUE;
    return STATUS_SUCCESS;
}

// IRQL: PASSIVE_LEVEL, from the driver's Plug and Play hook.
void UsbAudioAdapter::OnDeviceRemoval()
{
    PAGED_CODE();
    KeSetEvent(&m_RemovalEvent, IO_NO_INCREMENT, FALSE);
    m_Rundown.Wait();
    {
        MutexHolder asio(&m_AsioMutex);
        m_Engine.Asio().Stop();
        m_Engine.Asio().Close();
    }
    for (StreamDirection direction = kDirectionOut; direction < kDirectionCount; ++direction) {
        while (m_Engine.RunCount(direction) != 0 && NT_SUCCESS(StopDirection(direction))) {
        }
    }
    R9_TRACE("UsbAudioAdapter: removal\n");
}
