// Device start: the USB start sequence, the device settings from the hardware key and the device
// rate the device comes up at.
#include "driver/adapter/usb_audio_adapter.h"
#include "driver/driver_tuning.h"
#include "driver/registry/registry_access.h"
#include "driver/trace.h"

namespace {

// IRPs CUSBCL keeps ready for synchronous requests.
constexpr ULONG kIrpPoolSize = 16;

// PCI vendors whose OHCI controllers need the smaller render requests: AMD and ATI chipsets.
bool ControllerNeedsOldFashionedTransfer(const USB_CONTROLLER_INFO_0& controller)
{
    return controller.ControllerFlavor == OHCI_Generic &&
           (controller.PciVendorId == 0x1002 || controller.PciVendorId == 0x1022);
}

}  // namespace

NTSTATUS UsbAudioAdapter::Init(PDEVICE_OBJECT pdo, PDEVICE_OBJECT fdo)
{
    PAGED_CODE();
    m_Pdo = pdo;
    m_Fdo = fdo;
    RtlZeroMemory(m_Format, sizeof m_Format);
    RtlZeroMemory(m_FormatSet, sizeof m_FormatSet);
    m_PowerState = PowerDeviceD0;
    KeInitializeEvent(&m_RemovalEvent, NotificationEvent, FALSE);
    m_Rundown.Initialize();
    m_PreVista = RtlIsNtDdiVersionAvailable(NTDDI_VISTA) == FALSE;

    NTSTATUS status = m_UsbAudio.Init(pdo, kIrpPoolSize);
    if (NT_SUCCESS(status)) {
        status = m_UsbAudio.ConfigureDevice();
    }
    if (!NT_SUCCESS(status)) {
        R9_TRACE("UsbAudioAdapter::Init: the device did not start 0x%08X\n", unsigned(status));
        return status;
    }

    status = ReadTransferSettings();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ReadDsdSupport();
    ULONG dumpSelector = 0;
    if (NT_SUCCESS(ReadDeviceDword(m_Pdo, W("gDumpCapture"), &dumpSelector))) {
        g_DriverTuning.dumpSelector = LONG(dumpSelector);
    }
    m_Duplex = HasDirection(kDirectionOut) && HasDirection(kDirectionIn);

    ULONG rate = kDefaultSampleRate;
    status = DetermineSampleRate(&rate);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    m_PendingRate = 0;
    m_CurrentRate = rate;
    const NTSTATUS programmed = m_UsbAudio.SetSampleRate(rate);
    if (!NT_SUCCESS(programmed)) {
        R9_TRACE("UsbAudioAdapter::Init: the device refused %u Hz 0x%08X\n", unsigned(rate), unsigned(programmed));
    }

    KeInitializeMutex(&m_AsioMutex, 0);
    m_ReservedIn = 0;
    m_ReservedOut = 0;
    m_Exclusive = 0;
    m_Owner = 0;
    m_AsioRunning = 0;
    R9_TRACE("UsbAudioAdapter::Init: started at %u Hz, duplex %d, DSD %d, old-fashioned %d\n", unsigned(rate),
             int(m_Duplex), int(m_DsdNative), int(m_OldFashioned));
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioAdapter::ReadTransferSettings()
{
    ULONG value = 0;
    if (NT_SUCCESS(ReadDeviceDword(m_Pdo, W("ForceOldFashionedTransfer"), &value))) {
        m_OldFashioned = value != 0;
    } else {
        m_OldFashioned = ControllerNeedsOldFashionedTransfer(m_UsbAudio.GetControllerInfo());
    }
    g_DriverTuning.outPacketsPerRequest = m_OldFashioned ? kOldFashionedPacketsPerRequest : kPacketsPerRequest;
    g_DriverTuning.outRequestsInFlight = m_OldFashioned ? kOldFashionedRequestsInFlight : kRequestsInFlight;

    // A capture request longer than one URB may carry would be refused by every submission and
    // capture would never run; neither would a value that is not a number.
    ULONG type = REG_NONE;
    g_DriverTuning.inPacketsPerRequest = kDefaultInPacketsPerRequest;
    if (NT_SUCCESS(ReadDeviceDword(m_Pdo, W("IN URB Size"), &value, &type))) {
        const ULONG longest = m_UsbAudio.GetLongestCaptureRequest();
        if (type != REG_DWORD || value > longest) {
            R9_TRACE("UsbAudioAdapter::Init: \"IN URB Size\" %u (type %u) unusable, at most %u\n", unsigned(value),
                     unsigned(type), unsigned(longest));
        } else if (value != 0) {
            g_DriverTuning.inPacketsPerRequest = value;
        }
    }
    if (g_DriverTuning.inRequestsInFlight > kRequestsInFlight) {
        g_DriverTuning.inRequestsInFlight = kRequestsInFlight;
    }
    m_Engine.InitializeRequestSemaphores();
    return STATUS_SUCCESS;
}

// A device key without the value is probed: a device that takes the PCM mode request knows the
// vendor's mode switch, and with it native DSD.
void UsbAudioAdapter::ReadDsdSupport()
{
    ULONG value = 0;
    const NTSTATUS status = ReadDeviceDword(m_Pdo, W("DSDNativeModeSupported"), &value);
    if (NT_SUCCESS(status)) {
        m_DsdNative = value != 0;
    } else {
        m_DsdNative = NT_SUCCESS(m_UsbAudio.SetStreamingMode(0));
    }
}

NTSTATUS UsbAudioAdapter::DetermineSampleRate(ULONG* rate)
{
    NTSTATUS status;
    ULONG value = 0;
    if (m_PreVista) {
        // Before Vista there is no endpoint store: the driver keeps the rate itself.
        status = ReadDeviceDword(m_Pdo, W("SampleRate"), &value);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
            value = kDefaultSampleRate;
            status = WriteDeviceDword(m_Pdo, W("SampleRate"), value);
        }
        if (!NT_SUCCESS(status)) {
            R9_TRACE("UsbAudioAdapter::Init: \"SampleRate\" 0x%08X\n", unsigned(status));
            return status;
        }
        *rate = value;
        return STATUS_SUCCESS;
    }

    status = LocateEndpoints();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ReadDeviceDword(m_Pdo, W("Initialized"), &value);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        value = 0;
    } else if (!NT_SUCCESS(status)) {
        R9_TRACE("UsbAudioAdapter::Init: \"Initialized\" not read 0x%08X\n", unsigned(status));
        return status;
    }
    if (value != 0) {
        *rate = kDefaultSampleRate;
        RateFromEndpoints(rate);
        return STATUS_SUCCESS;
    }
    // The first start on this machine: the endpoints' formats are still Windows' defaults, not a
    // rate anyone chose.
    *rate = kDefaultSampleRate;
    status = WriteDeviceDword(m_Pdo, W("Initialized"), 1);
    if (!NT_SUCCESS(status)) {
        R9_TRACE("UsbAudioAdapter::Init: \"Initialized\" not written 0x%08X\n", unsigned(status));
    }
    return status;
}

// The endpoints appear only after the wave filter was first registered, so on the very first
// start there are none (STATUS_INVALID_DEVICE_REQUEST), which is not an error. Any other failure
// means the device's identity could not be established; re-enumerating the device is the one
// recovery, and this start ends.
NTSTATUS UsbAudioAdapter::LocateEndpoints()
{
    m_EndpointsFound = false;
    NTSTATUS status = GetDeviceInstancePath(m_Pdo, &m_InstancePath);
    if (NT_SUCCESS(status)) {
        status = FindEndpoints(&m_RenderEndpoint, &m_CaptureEndpoint, &m_InstancePath);
    }
    if (NT_SUCCESS(status)) {
        m_EndpointsFound = true;
        return status;
    }
    if (status == STATUS_INVALID_DEVICE_REQUEST) {
        R9_TRACE("UsbAudioAdapter::Init: no audio endpoints yet\n");
        return STATUS_SUCCESS;
    }
    R9_TRACE("UsbAudioAdapter::Init: endpoints not determined 0x%08X, cycling the port\n", unsigned(status));
    m_UsbAudio.CyclePort();
    return status;
}

// The rate the user last left the device at, as the audio service saved it with the endpoint's
// format: render first, capture for a capture-only device.
NTSTATUS UsbAudioAdapter::RateFromEndpoints(ULONG* rate)
{
    if (!m_EndpointsFound) {
        return STATUS_DEVICE_NOT_READY;
    }
    WAVEFORMATEXTENSIBLE format;
    NTSTATUS status = STATUS_NOT_FOUND;
    if (m_RenderEndpoint.Length != 0) {
        status = GetEndpointFormat(kEndpointRender, &m_RenderEndpoint, &format);
    }
    if (!NT_SUCCESS(status) && m_CaptureEndpoint.Length != 0) {
        status = GetEndpointFormat(kEndpointCapture, &m_CaptureEndpoint, &format);
    }
    // A saved format without a rate is damaged; the device would be left with no rate at all.
    if (NT_SUCCESS(status) && format.Format.nSamplesPerSec == 0) {
        status = STATUS_INVALID_PARAMETER;
    }
    if (NT_SUCCESS(status)) {
        *rate = format.Format.nSamplesPerSec;
    } else {
        R9_TRACE("UsbAudioAdapter::Init: no saved endpoint format 0x%08X\n", unsigned(status));
    }
    return status;
}
