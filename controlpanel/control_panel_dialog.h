// CAsioControlPanelDlg, the control panel's only window: the present R9 devices, the device the
// ASIO driver uses (drawn bold), and the buffer size and sampling rate of the device shown. It
// keeps the shared settings and the kernel driver up to date and follows what the ASIO driver
// and device arrival and removal change. The rate and buffer-size controls are in
// rate_controls.cpp.
#pragma once

#include "common/change_events.h"
#include "common/device_list.h"
#include "common/settings_store.h"
#include "controlpanel/asio_list_box.h"
#include "controlpanel/picture.h"
#include "controlpanel/registry_watcher.h"

class CAsioControlPanelDlg {
public:
    explicit CAsioControlPanelDlg(HINSTANCE instance);
    ~CAsioControlPanelDlg();
    CAsioControlPanelDlg(const CAsioControlPanelDlg&) = delete;
    CAsioControlPanelDlg& operator=(const CAsioControlPanelDlg&) = delete;

    // Runs the dialog until the user closes it; its result (0 when the settings lock could not be
    // had, -1 when the dialog could not be made).
    INT_PTR DoModal();

private:
    static constexpr int kMostRates = 5;

    static INT_PTR CALLBACK DialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Result(LRESULT result);
    BOOL OnInitDialog();
    void SetInformationText();
    void OnPaint();
    void OnCommand(WORD id, WORD code);
    void OnSettingsChanged();

    void RefreshDeviceList();
    void OnSelectDevice(int index);
    void SyncActiveFromRegistry();
    bool IsShownActive() const { return m_ShownIndex != -1 && m_ShownIndex == m_ActiveIndex; }
    const CAudioDevice* ShownDevice() const;
    void ReadSelected(WCHAR (&selected)[kPathCharacters]) const;
    void WriteSelected();
    int ListBoxCount() const;

    // rate_controls.cpp
    void RefreshRateControls();
    void FillRateCombo(DWORD rate, DWORD lowestRate, DWORD highestRate, DWORD dsdSupported, bool changeable);
    void SetSampleRate(DWORD rate, bool quiet);
    void SelectRate(DWORD rate, bool applyFirst);
    void OnRateComboChange();
    void OnHorizontalScroll(WPARAM wParam);
    void OnBufferPosition(UINT position);
    void UpdateBufferControls(bool enabled, UINT position);
    void RefreshBufferFromRegistry();
    void WriteSamplingRate(DWORD rate);

    HINSTANCE m_Instance;
    HWND m_Window;
    HICON m_Icon;
    CPicture m_Picture;
    CDeviceList m_DeviceList;
    int m_ShownIndex;
    int m_ActiveIndex;
    HANDLE m_StreamingEvent;
    CSettingsLock m_SettingsLock;
    CSettingsStore m_Settings;
    CRegistryNotify m_Watcher;
    HDEVNOTIFY m_DeviceNotification;
    CAsioListBox m_ListBox;

    DWORD m_RateValues[kMostRates];
    int m_RateCount;
    int m_RateIndex;
    DWORD m_LastRate;
    UINT m_BufferPosition;
};
