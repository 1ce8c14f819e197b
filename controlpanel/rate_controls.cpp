// The sampling-rate combo box and the buffer-size trackbar of CAsioControlPanelDlg. Only the
// active device's values are stored in the settings; a device that is only shown can still be
// switched to another rate directly. The rate path holds the settings lock across the registry
// write, the kernel request and the message box, so that the ASIO driver's settings thread
// never acts on a half-applied rate; the buffer path writes without it.
#include "common/format_tables.h"
#include "common/trace.h"
#include "controlpanel/control_panel_dialog.h"
#include "controlpanel/resource_ids.h"

namespace {

constexpr UINT kHighestPosition = 126;
// Where a "buffer_size_index" that cannot be read puts the trackbar: the default the settings are
// created with (512 frames).
constexpr UINT kPositionWhenUnreadable = 14;

// The rate's multiple of 44100 or 48000 (a DSD rate counts as its 1/32); 0 when it has none.
DWORD RateMultiple(DWORD rate)
{
    const DWORD base = IsDsdRate(rate) ? rate / 32 : rate;
    if (base < 44100) {
        return 1;
    }
    return base % 44100 == 0 ? base / 44100 : base % 48000 == 0 ? base / 48000 : 0;
}

UINT LowestPosition(DWORD rate)
{
    const DWORD multiple = RateMultiple(rate);
    return multiple == 0 ? 0 : UINT(2 * multiple - 2);
}

}  // namespace

void CAsioControlPanelDlg::RefreshRateControls()
{
    CSettingsLockHolder lock(m_SettingsLock);
    if (!lock.Held()) {
        TraceEvent(W("RefreshRateControls: the settings lock failed (error %lu)"), GetLastError());
    }
    DWORD rate = 0, lowest = 0, highest = 0, dsd = 0;
    bool changeable = false;
    bool reapply = false;
    const CAudioDevice* device = ShownDevice();
    if (lock.Held() && device != nullptr) {
        DWORD stored = 0;
        if (m_Settings.ReadSetting(kSettingSamplingRate, &stored, sizeof stored) != kSettingsOk) {
            stored = 0;
        }
        const DWORD current = device->GetCurrentRate();
        if (current == 0) {
            rate = stored;
        } else if (!IsShownActive()) {
            rate = current;
            changeable = true;
        } else if (IsDsdRate(stored)) {
            rate = stored;
        } else {
            // The settings win over the device.
            changeable = true;
            reapply = current != stored;
            rate = reapply ? stored : current;
        }
        lowest = device->LowestRate();
        highest = device->HighestRate();
        dsd = device->DsdSupported();
    }
    FillRateCombo(rate, lowest, highest, dsd, changeable);
    if (reapply) {
        SetSampleRate(rate, false);
    }
}

void CAsioControlPanelDlg::FillRateCombo(DWORD rate, DWORD lowestRate, DWORD highestRate, DWORD dsdSupported,
                                         bool changeable)
{
    HWND combo = GetDlgItem(m_Window, kRateCombo);
    size_t first = ARRAYSIZE(kPcmRates);
    for (size_t row = 0; row < ARRAYSIZE(kPcmRates); ++row) {
        if (kPcmRates[row].rate == lowestRate) {
            first = row;
        }
    }
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    m_RateCount = 0;
    for (size_t row = first; row < ARRAYSIZE(kPcmRates) && kPcmRates[row].rate <= highestRate; ++row) {
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(kPcmRates[row].text));
        m_RateValues[m_RateCount++] = kPcmRates[row].rate;
    }
    if (dsdSupported != 0 && !changeable) {
        for (const RateText& dsd : kDsdRates) {
            SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(dsd.text));
            m_RateValues[m_RateCount++] = dsd.rate;
        }
    }
    if (m_RateCount > 0) {
        m_LastRate = rate;
        m_RateIndex = m_RateCount;
        for (int entry = 0; entry < m_RateCount; ++entry) {
            if (m_RateValues[entry] == rate) {
                m_RateIndex = entry;
            }
        }
        if (m_RateIndex < m_RateCount) {
            SendMessageW(combo, CB_SETCURSEL, WPARAM(m_RateIndex), 0);
        } else {
            SetSampleRate(m_RateValues[0], true);
        }
    }
    const BOOL enabled = m_RateCount >= 2 && changeable;
    EnableWindow(combo, enabled);
    EnableWindow(GetDlgItem(m_Window, kRateLabel), enabled);
}

void CAsioControlPanelDlg::WriteSamplingRate(DWORD rate)
{
    m_Settings.WriteSetting(kSettingSamplingRate, &rate, sizeof rate);
    NotifySettingsChanged();
}

void CAsioControlPanelDlg::SetSampleRate(DWORD rate, bool quiet)
{
    CSettingsLockHolder lock(m_SettingsLock);
    DWORD newRate = m_LastRate;
    const CAudioDevice* device = ShownDevice();
    if (!lock.Held()) {
        TraceEvent(W("SetSampleRate: the settings lock failed (error %lu)"), GetLastError());
    } else {
        if (IsShownActive()) {
            DWORD stored = 0;
            if (m_Settings.ReadSetting(kSettingSamplingRate, &stored, sizeof stored) != kSettingsOk || stored != rate) {
                WriteSamplingRate(rate);
                RefreshBufferFromRegistry();
            }
        }
        if (device == nullptr) {
            TraceEvent(W("SetSampleRate: no device is shown"));
        } else if (device->SetRate(rate) || quiet) {
            newRate = rate;
        } else {
            const DWORD current = device->GetCurrentRate();
            newRate = current != 0 ? current : m_LastRate;
            if (IsShownActive()) {
                WriteSamplingRate(newRate);
                RefreshBufferFromRegistry();
            }
            WCHAR message[256] = {};
            LoadStringW(m_Instance, kDeviceInUseMessage, message, ARRAYSIZE(message));
            MessageBoxW(m_Window, message, W("TAVO R9 Control Panel"), MB_OK | MB_ICONEXCLAMATION);
        }
    }
    m_LastRate = newRate;
    // Without the lock nothing was applied, and applying the first rate instead would fail the
    // same way, over and over: the combo box then only shows what it can.
    SelectRate(newRate, lock.Held());
}

// Shows the rate in the combo box; a rate it does not list makes the first entry the rate when
// `applyFirst` allows.
void CAsioControlPanelDlg::SelectRate(DWORD rate, bool applyFirst)
{
    m_RateIndex = m_RateCount;
    for (int entry = 0; entry < m_RateCount; ++entry) {
        if (m_RateValues[entry] == rate) {
            m_RateIndex = entry;
        }
    }
    if (m_RateIndex < m_RateCount) {
        SendDlgItemMessageW(m_Window, kRateCombo, CB_SETCURSEL, WPARAM(m_RateIndex), 0);
    } else if (m_RateCount > 0 && applyFirst) {
        SetSampleRate(m_RateValues[0], true);
    }
}

void CAsioControlPanelDlg::OnRateComboChange()
{
    HWND combo = GetDlgItem(m_Window, kRateCombo);
    const BOOL wasEnabled = IsWindowEnabled(combo);
    EnableWindow(combo, FALSE);
    const LRESULT entry = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    SetSampleRate(entry >= 0 && entry < m_RateCount ? m_RateValues[entry] : 0, false);
    // Input made while the rate changed is dropped. It goes to the control under the mouse or
    // with the focus, so the messages of all of this thread's windows (the dialog and its
    // controls) are removed, not only those addressed to the dialog itself.
    MSG dropped;
    while (PeekMessageW(&dropped, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE)) {
    }
    while (PeekMessageW(&dropped, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE)) {
    }
    EnableWindow(combo, wasEnabled);
    SetFocus(combo);
}

void CAsioControlPanelDlg::OnHorizontalScroll(WPARAM wParam)
{
    switch (LOWORD(wParam)) {
    case TB_LINEUP:
    case TB_LINEDOWN:
    case TB_PAGEUP:
    case TB_PAGEDOWN:
    case TB_TOP:
    case TB_BOTTOM:
        OnBufferPosition(UINT(SendDlgItemMessageW(m_Window, kBufferTrackbar, TBM_GETPOS, 0, 0)));
        break;
    case TB_THUMBPOSITION:
        OnBufferPosition(HIWORD(wParam));
        break;
    default:
        break;
    }
}

void CAsioControlPanelDlg::OnBufferPosition(UINT position)
{
    if (position > kHighestPosition) {
        position = kPositionWhenUnreadable;
    }
    if (position != m_BufferPosition) {
        DWORD value = position;
        if (m_Settings.WriteSetting(kSettingBufferSizeIndex, &value, sizeof value) != kSettingsOk) {
            TraceEvent(W("OnBufferPosition: buffer_size_index not written"));
        }
        NotifySettingsChanged();
        m_BufferPosition = position;
        const DWORD urbSize = position == kHighestPosition ? 8 : 1;
        for (size_t index = 0; index < m_DeviceList.Count(); ++index) {
            const CAudioDevice& device = m_DeviceList.Device(index);
            if (!device.SetInUrbSize(urbSize) || !device.GetInUrbSize()) {
                TraceEvent(W("OnBufferPosition: the capture request length of device %u failed"), unsigned(index));
            }
        }
    }
    UpdateBufferControls(true, position);
}

void CAsioControlPanelDlg::UpdateBufferControls(bool enabled, UINT position)
{
    HWND trackbar = GetDlgItem(m_Window, kBufferTrackbar);
    if (!enabled) {
        SetDlgItemTextW(m_Window, kBufferSizeReadout, W("----"));
        EnableWindow(trackbar, FALSE);
        SendMessageW(trackbar, TBM_SETPOS, TRUE, 0);
        return;
    }
    const DWORD multiple = RateMultiple(m_LastRate);
    const DWORD frames = multiple == 0 || position > kHighestPosition ? 0
                         : IsDsdRate(m_LastRate)                      ? (position + 2) * 1024
                                                                      : (position + 2) * 32;
    WCHAR readout[32];
    swprintf_s(readout, ARRAYSIZE(readout), W("%lu Samples"), static_cast<unsigned long>(frames));
    SetDlgItemTextW(m_Window, kBufferSizeReadout, readout);
    SendMessageW(trackbar, TBM_SETRANGE, FALSE, MAKELPARAM(LowestPosition(m_LastRate), kHighestPosition));
    SendMessageW(trackbar, TBM_SETPOS, TRUE, LPARAM(position));
    EnableWindow(trackbar, TRUE);
}

void CAsioControlPanelDlg::RefreshBufferFromRegistry()
{
    const UINT lowest = LowestPosition(m_LastRate);
    DWORD value = kPositionWhenUnreadable;
    if (m_Settings.ReadSetting(kSettingBufferSizeIndex, &value, sizeof value) != kSettingsOk) {
        value = kPositionWhenUnreadable;
    }
    if (value < lowest || value > kHighestPosition) {
        value = value < lowest ? lowest : kHighestPosition;
        m_Settings.WriteSetting(kSettingBufferSizeIndex, &value, sizeof value);
        NotifySettingsChanged();
    }
    m_BufferPosition = value;
    UpdateBufferControls(IsShownActive(), value);
}
