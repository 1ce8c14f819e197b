// CQyxAsioDriver, the object an ASIO host receives for "TAVO R9 ASIO Driver": IASIO on top of the
// kernel driver's private interface of the R9 the control panel's settings name. One host in the
// system at a time (the host lock), one fixed buffer size (the control panel's), and the states
// LOADED -> INITIALIZED -> PREPARED -> RUNNING (and SUSPENDED while the system sleeps).
//
// The object's methods live in several files, one job each: asio_driver.cpp (life, init, the
// settings and the layout), asio_queries.cpp (channels, buffer sizes, latencies), asio_rate.cpp
// (rates, clocks, future), asio_threads.cpp (window and settings threads), asio_buffers.cpp
// (createBuffers, disposeBuffers), asio_streaming.cpp (start, stop and the buffer switch).
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "asio/asio_interface.h"
#include "asio/com_base.h"
#include "asio/device_channel.h"
#include "common/change_events.h"
#include "common/device_list.h"
#include "common/settings_store.h"

// {8B530174-8B34-48B8-AA68-B3170BDFC34E}; also the interface ID hosts ask QueryInterface for.
extern const GUID CLSID_QyxAsioDriver;

extern const char kAsioDriverName[];

enum AsioDriverState : LONG {
    kStateLoaded = 0,
    kStateInitialized = 1,
    kStatePrepared = 2,
    kStateRunning = 3,
    kStateSuspended = 4,
};

class CQyxAsioDriver : public IASIO, public CUnknown {
public:
    // `instance` is the process's record of its driver object, cleared when this one goes.
    explicit CQyxAsioDriver(IUnknown* outer, CQyxAsioDriver** instance = nullptr);
    ~CQyxAsioDriver() override;

    // IUnknown, forwarded to the owner.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** out) override;

    ASIOBool init(void* sysHandle) override;
    void getDriverName(char* name) override;
    LONG getDriverVersion() override;
    void getErrorMessage(char* string) override;
    ASIOError start() override;
    ASIOError stop() override;
    ASIOError getChannels(LONG* numInputChannels, LONG* numOutputChannels) override;
    ASIOError getLatencies(LONG* inputLatency, LONG* outputLatency) override;
    ASIOError getBufferSize(LONG* minSize, LONG* maxSize, LONG* preferredSize, LONG* granularity) override;
    ASIOError canSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getSampleRate(ASIOSampleRate* sampleRate) override;
    ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getClockSources(ASIOClockSource* clocks, LONG* numSources) override;
    ASIOError setClockSource(LONG reference) override;
    ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override;
    ASIOError getChannelInfo(ASIOChannelInfo* info) override;
    ASIOError createBuffers(ASIOBufferInfo* bufferInfos, LONG numChannels, LONG bufferSize,
                            ASIOCallbacks* callbacks) override;
    ASIOError disposeBuffers() override;
    ASIOError controlPanel() override;
    ASIOError future(LONG selector, void* opt) override;
    ASIOError outputReady() override;

    // The hidden window's messages: power broadcasts and the power timers (asio_power.cpp).
    LRESULT OnWindowMessage(UINT message, WPARAM wParam);

    // Names for trace events.
    static const WCHAR* StateName(LONG state);
    static const WCHAR* ErrorName(ASIOError error);

private:
    // asio_driver.cpp
    void SetError(const char* text);
    // Returns `result`, with a trace event when it is a failure.
    ASIOError Traced(const WCHAR* method, ASIOError result) const;
    void CleanUpFailedInit();
    void LoadSettings();
    void ApplyChannelLayout(const CAudioDevice& device);
    LONG SampleTypeFromBits() const;
    LONG EffectiveRate() const;
    LONG BufferFramesFromIndex(DWORD index) const;
    LONG GetMinBufferFrames() const;
    LONG GetMaxBufferFrames() const;
    void UpdateBufferBytes();
    LONG SendResetRequest(bool ratePending);
    bool AwaitDevicePowerOn(DWORD milliseconds);
    void NormaliseStoredRate();
    bool IsDsdFormat() const { return m_IoFormat.FormatType == kASIODSDFormat; }

    // asio_rate.cpp
    bool IsRateSupported(double rate) const;
    bool ApplySampleRate(DWORD rate);
    ASIOError SetIoFormat(const ASIOIoFormat* format);

    // asio_threads.cpp
    bool StartWindowThread();
    void StopWindowThread();
    static DWORD WINAPI WindowThread(LPVOID parameter);
    DWORD RunWindowThread();
    bool StartSettingsThread();
    void StopSettingsThread();
    static DWORD WINAPI SettingsThread(LPVOID parameter);
    DWORD RunSettingsThread();
    void OnSettingsChanged();

    // asio_power.cpp
    void KillPowerTimers();
    void OnSuspend();
    void OnResume();
    void OnKeepAliveTick();

    // asio_buffers.cpp
    void FreeBuffers();
    bool AllocateSlots(TransferSlot (&slots)[2], DWORD channels, DWORD frames, BYTE fill);
    ASIOError AddHostChannel(ASIOBufferInfo& info, BYTE fill);

    // asio_streaming.cpp
    ASIOError StartStreaming(bool resetPosition);
    void StopStreaming();
    static DWORD WINAPI StreamingThread(LPVOID parameter);
    DWORD RunStreamingThread();
    DWORD InputLoop();
    DWORD OutputLoop();
    int WaitForSlot(TransferSlot& slot);
    bool RunBufferSwitch(bool skipOutput);
    void UnpackInputs(int half);
    void PackOutputs(int half);
    void WriteOutputHalf();
    void GetTimeStamp(ASIOTimeStamp& stamp) const;

    // State.
    CQyxAsioDriver** m_Instance;
    std::atomic<LONG> m_State;
    char m_ErrorMessage[128];
    DWORD m_RateChangePending;

    // Device.
    CDeviceList m_Devices;
    CDeviceChannel m_Channel;
    DWORD m_DsdCapable;
    ASIOIoFormat m_IoFormat;

    // Settings.
    BYTE m_LockRate;
    BYTE m_Notify;
    DWORD m_BufferSizeIndex;
    DWORD m_CurrentRate;
    DWORD m_StoredRate;
    WCHAR m_SelectedId[128];
    double m_RequestedRate;
    CSettingsStore m_Settings;

    // Layout.
    WORD m_Inputs;
    WORD m_Outputs;
    SHORT m_Bits;
    WORD m_BytesPerSample;
    LONG m_SampleType;
    DWORD m_MinRate;
    DWORD m_MaxRate;

    // Buffers.
    DWORD m_BufferFrames;
    DWORD m_HostBufferSize;
    LONG m_LatencyFrames;
    LONG m_ChannelBytes;
    ASIOCallbacks* m_Callbacks;

    // Locks, threads and events.
    // Made open by init; until then (and after a failed init) acquiring it fails harmlessly.
    std::unique_ptr<CSettingsLock> m_SettingsLock;
    CChangeEvents m_ChangeEvents;
    CRITICAL_SECTION m_StartStopLock;
    bool m_StartStopLockCreated;
    HANDLE m_InitEvent;
    HANDLE m_WindowThread;
    HWND m_Window;
    LONG m_ResumeTries;  // resume attempts that found the device still off
    HANDLE m_SettingsThread;
    HANDLE m_ListenerEvent;
    HANDLE m_ChangeEvent;
    HANDLE m_QuitEvent;

    // Streaming.
    HANDLE m_StopEvent;
    HANDLE m_StreamingThread;
    std::vector<LONG> m_InputActive;
    std::vector<LONG> m_OutputActive;
    std::vector<LONG> m_ActiveInputs;
    std::vector<LONG> m_ActiveOutputs;
    std::vector<BYTE*> m_InputHalves[2];
    std::vector<BYTE*> m_OutputHalves[2];
    TransferSlot m_InSlot[2];
    TransferSlot m_OutSlot[2];
    LONG m_CurrentHalf;
    DWORD m_TimeInfoMode;
    DWORD m_TimeCodeEnabled;
    ASIOTime m_AsioTime;
    double m_SamplePosition;
    ASIOTimeStamp m_LastTimeStamp;
    std::atomic<DWORD> m_StopRequested;
    DWORD m_UsesOutputReady;
    DWORD m_OutputReadyCalled;
    DWORD m_Failed;
};
