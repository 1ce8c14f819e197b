#include "asio/asio_driver.h"

#include <cstdio>
#include <cstring>

#include "common/format_tables.h"
#include "common/trace.h"

const GUID CLSID_QyxAsioDriver = {0x8B530174, 0x8B34, 0x48B8, {0xAA, 0x68, 0xB3, 0x17, 0x0B, 0xDF, 0xC3, 0x4E}};

const char kAsioDriverName[] = "TAVO R9 ASIO Driver";

namespace {

const char kInitializedBefore[] = "ASIO driver was initialized before this time.\n";
const char kNoResources[] = "No sufficient system resource\n";
const char kNoDevice[] = "No device\n";
const char kUnsupportedBits[] = "Unsupported bits per sample.\n";

constexpr DWORD kDefaultBufferSizeIndex = 14;
constexpr DWORD kDefaultRate = 44100;
constexpr DWORD kLargestBufferIndex = 126;

void CloseAndClear(HANDLE& handle)
{
    if (handle != nullptr) {
        CloseHandle(handle);
        handle = nullptr;
    }
}

}  // namespace

CQyxAsioDriver::CQyxAsioDriver(IUnknown* outer, CQyxAsioDriver** instance)
    : CUnknown(outer),
      m_Instance(instance),
      m_State(kStateLoaded),
      m_ErrorMessage{},
      m_RateChangePending(0),
      m_DsdCapable(0),
      m_IoFormat{},
      m_LockRate(0),
      m_Notify(0),
      m_BufferSizeIndex(kDefaultBufferSizeIndex),
      m_CurrentRate(0),
      m_StoredRate(0),
      m_SelectedId{},
      m_RequestedRate(0),
      m_Inputs(0),
      m_Outputs(0),
      m_Bits(32),
      m_BytesPerSample(4),
      m_SampleType(ASIOSTInt32LSB),
      m_MinRate(0),
      m_MaxRate(0),
      m_BufferFrames(0),
      m_HostBufferSize(0),
      m_LatencyFrames(0),
      m_ChannelBytes(0),
      m_Callbacks(nullptr),
      m_SettingsLock(std::make_unique<CSettingsLock>()),
      m_StartStopLock{},
      m_StartStopLockCreated(false),
      m_InitEvent(nullptr),
      m_WindowThread(nullptr),
      m_Window(nullptr),
      m_ResumeTries(0),
      m_SettingsThread(nullptr),
      m_ListenerEvent(nullptr),
      m_ChangeEvent(nullptr),
      m_QuitEvent(nullptr),
      m_StopEvent(nullptr),
      m_StreamingThread(nullptr),
      m_InSlot{},
      m_OutSlot{},
      m_CurrentHalf(0),
      m_TimeInfoMode(0),
      m_TimeCodeEnabled(0),
      m_AsioTime{},
      m_SamplePosition(0),
      m_LastTimeStamp{},
      m_StopRequested(0),
      m_UsesOutputReady(0),
      m_OutputReadyCalled(0),
      m_Failed(0)
{
}

CQyxAsioDriver::~CQyxAsioDriver()
{
    if (m_State == kStateRunning || m_State == kStateSuspended) {
        stop();
    }
    if (m_State == kStatePrepared) {
        disposeBuffers();
    }
    StopWindowThread();
    CloseAndClear(m_InitEvent);
    CloseAndClear(m_StopEvent);
    // An object that never initialised belongs to a host that was refused: the shared settings
    // are the running host's, not its to touch.
    if (m_SettingsLock->IsOpen()) {
        NormaliseStoredRate();
    }
    StopSettingsThread();
    m_ChangeEvents.Close();
    m_SettingsLock.reset();
    if (m_Instance != nullptr) {
        *m_Instance = nullptr;
    }
    FreeBuffers();
    m_Channel.Close();
    if (m_StartStopLockCreated) {
        DeleteCriticalSection(&m_StartStopLock);
    }
}

HRESULT STDMETHODCALLTYPE CQyxAsioDriver::QueryInterface(REFIID iid, void** out)
{
    return OwnerQueryInterface(iid, out);
}

ULONG STDMETHODCALLTYPE CQyxAsioDriver::AddRef() { return OwnerAddRef(); }

ULONG STDMETHODCALLTYPE CQyxAsioDriver::Release() { return OwnerRelease(); }

HRESULT STDMETHODCALLTYPE CQyxAsioDriver::NonDelegatingQueryInterface(REFIID iid, void** out)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    // Hosts ask for the driver's CLSID: that is the IASIO interface. Standing alone, the object's
    // IUnknown is IASIO's as well; only an aggregating object gets the non-delegating one.
    if (IsEqualGUID(iid, CLSID_QyxAsioDriver) || (IsEqualGUID(iid, IID_IUnknown) && !IsAggregated())) {
        *out = static_cast<IASIO*>(this);
        NonDelegatingAddRef();
        return S_OK;
    }
    return CUnknown::NonDelegatingQueryInterface(iid, out);
}

void CQyxAsioDriver::SetError(const char* text)
{
    std::snprintf(m_ErrorMessage, sizeof m_ErrorMessage, "%s", text);
    TraceEvent(W("CQyxAsioDriver: %hs"), text);
}

ASIOError CQyxAsioDriver::Traced(const WCHAR* method, ASIOError result) const
{
    if (result != ASE_OK && result != ASE_SUCCESS) {
        TraceEvent(W("CQyxAsioDriver::%ls: %ls in state %ls"), method, ErrorName(result), StateName(m_State));
    }
    return result;
}

ASIOBool CQyxAsioDriver::init(void* sysHandle)
{
    if (m_State != kStateLoaded) {
        SetError(kInitializedBefore);
        return ASIOFalse;
    }
    m_RequestedRate = 0;
    m_InitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (m_InitEvent == nullptr) {
        SetError(kNoResources);
        CleanUpFailedInit();
        return ASIOFalse;
    }
    if (!StartWindowThread()) {
        SetError(kNoResources);
        CleanUpFailedInit();
        return ASIOFalse;
    }
    WaitForSingleObject(m_InitEvent, INFINITE);
    if (m_Window == nullptr) {
        CleanUpFailedInit();  // the window thread wrote why
        return ASIOFalse;
    }
    m_SettingsLock = std::make_unique<CSettingsLock>();
    if (!m_SettingsLock->Create() || !m_ChangeEvents.Create()) {
        SetError(kNoResources);
        CleanUpFailedInit();
        return ASIOFalse;
    }
    LoadSettings();
    if (m_Devices.Count() == 0) {
        SetError(kNoDevice);
        CleanUpFailedInit();
        return ASIOFalse;
    }
    m_SampleType = SampleTypeFromBits();
    if (m_SampleType < 0) {
        SetError(kUnsupportedBits);
        CleanUpFailedInit();
        return ASIOFalse;
    }
    m_ChangeEvents.SetStreaming(false);
    if (m_StartStopLockCreated) {
        DeleteCriticalSection(&m_StartStopLock);
    }
    InitializeCriticalSection(&m_StartStopLock);
    m_StartStopLockCreated = true;
    if (!m_ChangeEvents.GetWatchHandles(&m_ListenerEvent, &m_ChangeEvent, &m_QuitEvent) || !StartSettingsThread()) {
        CleanUpFailedInit();
        return ASIOFalse;
    }
    m_StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (m_StopEvent == nullptr) {
        CleanUpFailedInit();
        return ASIOFalse;
    }
    m_State = kStateInitialized;
    m_IoFormat.FormatType = kASIOPCMFormat;
    if (const CAudioDevice* device = m_Devices.GetSelected()) {
        m_DsdCapable = device->DsdSupported();
    }
    return ASIOTrue;
}

void CQyxAsioDriver::CleanUpFailedInit()
{
    StopWindowThread();
    CloseAndClear(m_InitEvent);
    CloseAndClear(m_StopEvent);
    StopSettingsThread();
    m_ChangeEvents.Close();
    m_ListenerEvent = m_ChangeEvent = m_QuitEvent = nullptr;
    m_SettingsLock = std::make_unique<CSettingsLock>();
}

void CQyxAsioDriver::LoadSettings()
{
    CSettingsLockHolder held(*m_SettingsLock);
    WCHAR selected[128] = {};
    if (m_Settings.ReadSetting(kSettingSelected, selected, sizeof selected) == kSettingsOk) {
        selected[127] = 0;
        std::memcpy(m_SelectedId, selected, sizeof m_SelectedId);
    }
    m_Channel.Close();
    m_Devices.Enumerate();
    if (m_Devices.Count() == 0) {
        m_LockRate = 0;
        m_Notify = 0;
        m_BufferSizeIndex = kDefaultBufferSizeIndex;
        m_CurrentRate = m_StoredRate = kDefaultRate;
        m_Inputs = m_Outputs = 0;
        m_MinRate = m_MaxRate = 0;
        m_SelectedId[0] = 0;
        m_Bits = 32;
    } else {
        bool fellBack = false;
        if (m_Devices.FindByInstanceId(m_SelectedId)) {
            m_Devices.SelectByInstanceId(m_SelectedId);
        } else {
            m_Devices.Select(0);
            fellBack = true;
        }
        m_Settings.ReadSetting(kSettingLock, &m_LockRate, sizeof m_LockRate);
        m_Settings.ReadSetting(kSettingNotify, &m_Notify, sizeof m_Notify);
        m_Settings.ReadSetting(kSettingBufferSizeIndex, &m_BufferSizeIndex, sizeof m_BufferSizeIndex);
        m_Settings.ReadSetting(kSettingSamplingRate, &m_CurrentRate, sizeof m_CurrentRate);
        m_StoredRate = m_CurrentRate;
        UpdateBufferBytes();
        const CAudioDevice* device = m_Devices.GetSelected();
        if (device != nullptr) {
            if (m_Channel.Open(device->ControlPath())) {
                // The device's own rate wins; the setting keeps what the user chose.
                const DWORD rate = device->GetCurrentRate();
                if (rate != 0 && rate != m_CurrentRate) {
                    m_CurrentRate = rate;
                    UpdateBufferBytes();
                }
                if (!m_Channel.Claim()) {
                    TraceEvent(W("CQyxAsioDriver: the device is claimed by someone else (error %lu)"), GetLastError());
                }
            }
            if (fellBack) {
                wcsncpy_s(m_SelectedId, ARRAYSIZE(m_SelectedId), device->InstanceId(), _TRUNCATE);
                m_Settings.WriteSetting(kSettingSelected, m_SelectedId, DWORD(wcslen(m_SelectedId) * sizeof(WCHAR)));
            }
            ApplyChannelLayout(*device);
        } else {
            m_Inputs = m_Outputs = 0;
            m_MinRate = m_MaxRate = 0;
        }
    }
    m_BytesPerSample = WORD(m_Bits / 8);
    UpdateBufferBytes();
}

void CQyxAsioDriver::ApplyChannelLayout(const CAudioDevice& device)
{
    m_MinRate = device.LowestRate();
    m_MaxRate = device.HighestRate();
    for (const RateCaps& caps : device.Capabilities()) {
        if (caps.rate != m_CurrentRate) {
            continue;
        }
        m_Inputs = WORD(caps.captureChannels);
        m_Outputs = WORD(caps.renderChannels);
        if (m_Inputs == 0 && m_Outputs != 0) {
            m_Bits = SHORT(caps.renderBits);
        } else if (m_Outputs == 0 && m_Inputs != 0) {
            m_Bits = SHORT(caps.captureBits);
        } else if (m_Inputs != 0) {
            m_Bits = SHORT(caps.renderBits < caps.captureBits ? caps.renderBits : caps.captureBits);
        }
        return;
    }
    m_Inputs = m_Outputs = 0;
    m_Bits = 32;
}

LONG CQyxAsioDriver::SampleTypeFromBits() const
{
    switch (m_IoFormat.FormatType) {
    case kASIOPCMFormat:
        switch (m_Bits) {
        case 16:
            return ASIOSTInt16LSB;
        case 24:
            return ASIOSTInt24LSB;
        case 32:
            return ASIOSTInt32LSB;
        default:
            return -1;
        }
    case kASIODSDFormat:
        return m_Bits == 32 ? LONG(ASIOSTDSDInt8MSB1) : -1;
    default:
        return -1;
    }
}

// The rate the buffer sizes are counted at: a DSD rate carries 32 one-bit samples per frame.
LONG CQyxAsioDriver::EffectiveRate() const { return LONG(IsDsdFormat() ? m_CurrentRate / 32 : m_CurrentRate); }

LONG CQyxAsioDriver::BufferFramesFromIndex(DWORD index) const
{
    const LONG rate = EffectiveRate();
    if (index > kLargestBufferIndex) {
        return 0;
    }
    if (rate > 44099 && rate % 44100 != 0 && rate % 48000 != 0) {
        return 0;
    }
    return LONG(index + 2) * 32;
}

LONG CQyxAsioDriver::GetMaxBufferFrames() const { return BufferFramesFromIndex(kLargestBufferIndex); }

LONG CQyxAsioDriver::GetMinBufferFrames() const
{
    const LONG rate = EffectiveRate();
    if (rate > 44099) {
        const LONG multiple = rate % 44100 == 0 ? rate / 44100 : rate / 48000;
        return BufferFramesFromIndex(DWORD(2 * multiple - 2));
    }
    return BufferFramesFromIndex(0);
}

void CQyxAsioDriver::UpdateBufferBytes()
{
    const bool oneBit = m_SampleType == ASIOSTDSDInt8LSB1 || m_SampleType == ASIOSTDSDInt8MSB1;
    m_LatencyFrames = LONG(oneBit ? m_BufferFrames * 8 : m_BufferFrames);
    m_ChannelBytes = LONG(m_BufferFrames * m_BytesPerSample);
}

LONG CQyxAsioDriver::SendResetRequest(bool ratePending)
{
    CSettingsLockHolder held(*m_SettingsLock);
    if (m_Callbacks == nullptr || m_Callbacks->asioMessage == nullptr) {
        return 0;
    }
    m_RateChangePending = ratePending ? 1 : 0;
    return m_Callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
}

bool CQyxAsioDriver::AwaitDevicePowerOn(DWORD milliseconds)
{
    const ULONGLONG start = GetTickCount64();
    while (GetTickCount64() - start < milliseconds) {
        BOOL on = FALSE;
        if (!m_Channel.GetPowerState(&on)) {
            return false;
        }
        if (on) {
            return true;
        }
        Sleep(100);
    }
    return false;
}

// The control panel offers 44.1 and 88.2 kHz only: what a host stored beyond those goes back to a
// rate it can show, and a DSD rate to the PCM rate the device ran it at.
void CQyxAsioDriver::NormaliseStoredRate()
{
    CSettingsLockHolder held(*m_SettingsLock);
    DWORD stored = 0;
    if (m_Settings.ReadSetting(kSettingSamplingRate, &stored, sizeof stored) == kSettingsOk) {
        DWORD normalised = kDefaultRate;
        if (IsDsdRate(stored)) {
            normalised = stored / 32;
        } else if (stored == 44100 || stored == 88200) {
            normalised = stored;
        }
        if (normalised != stored) {
            m_Settings.WriteSetting(kSettingSamplingRate, &normalised, sizeof normalised);
            m_CurrentRate = m_StoredRate = normalised;
        }
    }
    m_ChangeEvents.SetStreaming(false);
}

void CQyxAsioDriver::getDriverName(char* name)
{
    if (name != nullptr) {
        std::memcpy(name, kAsioDriverName, sizeof kAsioDriverName);
    }
}

LONG CQyxAsioDriver::getDriverVersion() { return 1; }

void CQyxAsioDriver::getErrorMessage(char* string)
{
    if (string != nullptr) {
        // Hosts give 124 bytes.
        const size_t length = strnlen(m_ErrorMessage, 123);
        std::memcpy(string, m_ErrorMessage, length);
        string[length] = 0;
    }
}

const WCHAR* CQyxAsioDriver::StateName(LONG state)
{
    switch (state) {
    case kStateLoaded:
        return W("LOADED");
    case kStateInitialized:
        return W("INITIALIZED");
    case kStatePrepared:
        return W("PREPARED");
    case kStateRunning:
        return W("RUNNING");
    default:
        return W("Unknown");
    }
}

const WCHAR* CQyxAsioDriver::ErrorName(ASIOError error)
{
    switch (error) {
    case ASE_OK:
        return W("ASE_OK");
    case ASE_SUCCESS:
        return W("ASE_SUCCESS");
    case ASE_NotPresent:
        return W("ASE_NotPresent");
    case ASE_HWMalfunction:
        return W("ASE_HWMalfunction");
    case ASE_InvalidParameter:
        return W("ASE_InvalidParameter");
    case ASE_InvalidMode:
        return W("ASE_InvalidMode");
    case ASE_SPNotAdvancing:
        return W("ASE_SPNotAdvancing");
    case ASE_NoClock:
        return W("ASE_NoClock");
    case ASE_NoMemory:
        return W("ASE_NoMemory");
    default:
        return W("Unknown");
    }
}
