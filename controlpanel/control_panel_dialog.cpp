// The dialog's window, its device list and device choice, the information text and the picture.
// Everything here runs on the user-interface thread; the watcher's threads and device events
// reach it only as posted WM_APP messages.
#include "controlpanel/control_panel_dialog.h"

#include <algorithm>
#include <string>

#include "common/trace.h"
#include "controlpanel/processor_count.h"
#include "controlpanel/resource_ids.h"
#include "controlpanel/version.h"

// The version text as wide text (the macro is expanded before W pastes its prefix).
#define R9_WIDE_TEXT(text) W(text)

namespace {

const WCHAR kWindowTitle[] = W("TAVO R9 Control Panel");
constexpr WPARAM kSettingsChanged = 0;
constexpr WPARAM kDevicesChanged = 1;
constexpr UINT kHighestBufferPosition = 126;
// KSCATEGORY_AUDIO, the interface class of the R9's wave filter.
constexpr GUID kAudioInterfaceClass = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

// The month, day and year this file was compiled, from __DATE__ ("Dec 10 2026").
void BuildDate(int& month, int& day, int& year)
{
    static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const char* date = __DATE__;
    month = 1;
    for (int index = 0; index < 12; ++index) {
        if (std::equal(date, date + 3, kMonths + index * 3)) {
            month = index + 1;
        }
    }
    day = (date[4] == ' ' ? 0 : date[4] - '0') * 10 + (date[5] - '0');
    year = std::stoi(std::string(date + 7, 4));
}

// "&" is doubled so that the list shows it rather than underlining the next letter.
std::basic_string<WCHAR> WithLiteralAmpersands(const WCHAR* text)
{
    std::basic_string<WCHAR> shown;
    for (; *text != 0; ++text) {
        shown += *text;
        if (*text == W('&')) {
            shown += W('&');
        }
    }
    return shown;
}

}  // namespace

CAsioControlPanelDlg::CAsioControlPanelDlg(HINSTANCE instance)
    : m_Instance(instance),
      m_Window(nullptr),
      m_Icon(LoadIconW(instance, MAKEINTRESOURCEW(kApplicationIcon))),
      m_ShownIndex(-1),
      m_ActiveIndex(-1),
      m_StreamingEvent(nullptr),
      m_Watcher(HKEY_CURRENT_USER, kSettingsKeyPath),
      m_DeviceNotification(nullptr),
      m_ListBox(&m_ActiveIndex),
      m_RateValues{},
      m_RateCount(0),
      m_RateIndex(-1),
      m_LastRate(0),
      m_BufferPosition(0)
{
    if (!m_Picture.Create()) {
        TraceEvent(W("CAsioControlPanelDlg: the picture cannot be made (error %lu)"), GetLastError());
    }
    m_Watcher.SetThreadCount(CountLogicalProcessors());
}

CAsioControlPanelDlg::~CAsioControlPanelDlg()
{
    m_Watcher.Stop();
    if (m_StreamingEvent != nullptr) {
        CloseHandle(m_StreamingEvent);
    }
}

INT_PTR CAsioControlPanelDlg::DoModal()
{
    return DialogBoxParamW(m_Instance, MAKEINTRESOURCEW(kDialogTemplate), nullptr, DialogProcedure,
                           reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CAsioControlPanelDlg::DialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(window, GWLP_USERDATA, lParam);
        reinterpret_cast<CAsioControlPanelDlg*>(lParam)->m_Window = window;
    }
    // Messages before WM_INITDIALOG (the list box measuring its items) get the default handling.
    auto* dialog = reinterpret_cast<CAsioControlPanelDlg*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    return dialog != nullptr ? dialog->OnMessage(message, wParam, lParam) : FALSE;
}

INT_PTR CAsioControlPanelDlg::Result(LRESULT result)
{
    SetWindowLongPtrW(m_Window, DWLP_MSGRESULT, result);
    return TRUE;
}

INT_PTR CAsioControlPanelDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_PAINT:
        OnPaint();
        return TRUE;
    case WM_QUERYDRAGICON:
        return reinterpret_cast<INT_PTR>(m_Icon);
    case WM_DRAWITEM:
        if (wParam == WPARAM(kDeviceListBox)) {
            m_ListBox.DrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
            return TRUE;
        }
        return FALSE;
    case WM_HSCROLL:
        if (reinterpret_cast<HWND>(lParam) == GetDlgItem(m_Window, kBufferTrackbar)) {
            OnHorizontalScroll(wParam);
        }
        return FALSE;
    case WM_COMMAND:
        OnCommand(LOWORD(wParam), HIWORD(wParam));
        return TRUE;
    case WM_APP:
        if (wParam == kSettingsChanged) {
            OnSettingsChanged();
        } else if (wParam == kDevicesChanged) {
            RefreshDeviceList();
        }
        return Result(0);
    case WM_DEVICECHANGE:
        // Device events are handled later, off the system's notification.
        if (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) {
            PostMessageW(m_Window, WM_APP, kDevicesChanged, 0);
        }
        return Result(TRUE);
    case WM_DESTROY:
        if (m_DeviceNotification != nullptr) {
            UnregisterDeviceNotification(m_DeviceNotification);
            m_DeviceNotification = nullptr;
        }
        m_SettingsLock.Close();
        return TRUE;
    default:
        return FALSE;
    }
}

BOOL CAsioControlPanelDlg::OnInitDialog()
{
    SendMessageW(m_Window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_Icon));
    SendMessageW(m_Window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_Icon));
    SetWindowTextW(m_Window, kWindowTitle);
    m_StreamingEvent = CreateEventW(nullptr, TRUE, FALSE, kStreamingEventName);
    if (!m_SettingsLock.Create()) {
        TraceEvent(W("CAsioControlPanelDlg: no settings lock (error %lu)"), GetLastError());
        EndDialog(m_Window, 0);
        return TRUE;
    }
    SetInformationText();
    SendDlgItemMessageW(m_Window, kBufferTrackbar, TBM_SETRANGE, TRUE, MAKELPARAM(0, kHighestBufferPosition));
    RefreshDeviceList();
    m_Watcher.SetTarget(m_Window);
    const DWORD watching = m_Watcher.Start();
    if (watching != 0) {
        TraceEvent(W("CAsioControlPanelDlg: the registry watcher did not start (error %lu)"), watching);
    }
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kAudioInterfaceClass;
    m_DeviceNotification = RegisterDeviceNotificationW(m_Window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (m_DeviceNotification == nullptr) {
        TraceEvent(W("CAsioControlPanelDlg: no device notifications (error %lu)"), GetLastError());
    }
    return TRUE;
}

void CAsioControlPanelDlg::SetInformationText()
{
    int month = 0, day = 0, year = 0;
    BuildDate(month, day, year);
    WCHAR text[512];
    swprintf_s(text, ARRAYSIZE(text),
               W("TAVO R9 Control Panel\r\nVersion %s  built %02d/%02d/%04d\r\n")
                   W("Device, sampling rate and ASIO buffer size\r\n")
                   W("ASIO Technology by Steinberg Media Technologies GmbH\r\n"),
               R9_WIDE_TEXT(R9_CONTROL_PANEL_VERSION_TEXT), month, day, year);
    SetDlgItemTextW(m_Window, kInformationText, text);
}

void CAsioControlPanelDlg::OnPaint()
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(m_Window, &paint);
    if (IsIconic(m_Window)) {
        SendMessageW(m_Window, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
        RECT client;
        GetClientRect(m_Window, &client);
        DrawIcon(dc, (client.right - GetSystemMetrics(SM_CXICON) + 1) / 2,
                 (client.bottom - GetSystemMetrics(SM_CYICON) + 1) / 2, m_Icon);
    } else {
        RECT frame;
        GetWindowRect(GetDlgItem(m_Window, kPictureFrame), &frame);
        POINT topLeft = {frame.left, frame.top};
        POINT bottomRight = {frame.right, frame.bottom};
        ScreenToClient(m_Window, &topLeft);
        ScreenToClient(m_Window, &bottomRight);
        m_Picture.Draw(dc, RECT{topLeft.x, topLeft.y, bottomRight.x, bottomRight.y});
    }
    EndPaint(m_Window, &paint);
}

void CAsioControlPanelDlg::OnCommand(WORD id, WORD code)
{
    if (id == kDeviceListBox && code == LBN_SELCHANGE) {
        OnSelectDevice(int(SendDlgItemMessageW(m_Window, kDeviceListBox, LB_GETCURSEL, 0, 0)));
    } else if (id == kRateCombo && code == CBN_SELCHANGE) {
        OnRateComboChange();
    } else if (id == IDOK || id == IDCANCEL) {
        EndDialog(m_Window, id);
    }
}

void CAsioControlPanelDlg::OnSettingsChanged()
{
    if (IsShownActive()) {
        RefreshRateControls();
        RefreshBufferFromRegistry();
    }
    SyncActiveFromRegistry();
}

int CAsioControlPanelDlg::ListBoxCount() const
{
    return int(SendDlgItemMessageW(m_Window, kDeviceListBox, LB_GETCOUNT, 0, 0));
}

const CAudioDevice* CAsioControlPanelDlg::ShownDevice() const
{
    return m_ShownIndex >= 0 && size_t(m_ShownIndex) < m_DeviceList.Count() ? &m_DeviceList.Device(size_t(m_ShownIndex))
                                                                           : nullptr;
}

// A failed read counts as an empty text.
void CAsioControlPanelDlg::ReadSelected(WCHAR (&selected)[kPathCharacters]) const
{
    std::fill(std::begin(selected), std::end(selected), WCHAR(0));
    if (m_Settings.ReadSetting(kSettingSelected, selected, sizeof selected - sizeof(WCHAR)) != kSettingsOk) {
        selected[0] = 0;
    }
}

// Stores the selected device's instance ID (no terminator); an empty ID is not written.
void CAsioControlPanelDlg::WriteSelected()
{
    const CAudioDevice* device = m_DeviceList.GetSelected();
    if (device == nullptr) {
        return;
    }
    WCHAR instanceId[kPathCharacters] = {};
    wcsncpy_s(instanceId, ARRAYSIZE(instanceId), device->InstanceId(), _TRUNCATE);
    const size_t length = wcslen(instanceId);
    if (length != 0) {
        m_Settings.WriteSetting(kSettingSelected, instanceId, DWORD(length * sizeof(WCHAR)));
    }
}

void CAsioControlPanelDlg::RefreshDeviceList()
{
    if (!m_SettingsLock.Acquire()) {
        TraceEvent(W("CAsioControlPanelDlg: the settings lock failed (error %lu)"), GetLastError());
        return;
    }
    m_DeviceList.Enumerate();
    m_SettingsLock.Release();
    SendDlgItemMessageW(m_Window, kDeviceListBox, LB_RESETCONTENT, 0, 0);
    for (size_t index = 0; index < m_DeviceList.Count(); ++index) {
        const std::basic_string<WCHAR> shown = WithLiteralAmpersands(m_DeviceList.Device(index).Description());
        SendDlgItemMessageW(m_Window, kDeviceListBox, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(shown.c_str()));
    }
    WCHAR selected[kPathCharacters];
    ReadSelected(selected);
    m_DeviceList.SelectByInstanceId(selected);
    m_ActiveIndex = m_DeviceList.SelectedIndex();
    m_ShownIndex = -1;
    OnSelectDevice(m_ActiveIndex == -1 ? 0 : m_ActiveIndex);
}

void CAsioControlPanelDlg::OnSelectDevice(int index)
{
    HWND listBox = GetDlgItem(m_Window, kDeviceListBox);
    if (index < 0 || index >= ListBoxCount()) {
        m_ShownIndex = -1;
        SendMessageW(listBox, LB_SETCURSEL, WPARAM(-1), 0);
        SetDlgItemTextW(m_Window, kSettingGroup, W("Setting"));
        m_ActiveIndex = -1;
    } else {
        CSettingsLockHolder lock(m_SettingsLock);
        if (SendMessageW(listBox, LB_GETCURSEL, 0, 0) != index) {
            SendMessageW(listBox, LB_SETCURSEL, WPARAM(index), 0);
        }
        m_ShownIndex = index;
        const LRESULT length = SendMessageW(listBox, LB_GETTEXTLEN, WPARAM(index), 0);
        std::basic_string<WCHAR> caption(size_t(std::max<LRESULT>(length, 0)) + 1, 0);
        SendMessageW(listBox, LB_GETTEXT, WPARAM(index), reinterpret_cast<LPARAM>(&caption[0]));
        SetDlgItemTextW(m_Window, kSettingGroup, caption.c_str());
        // While a host streams, another device is only shown: the one in use stays in use.
        if (!IsHostStreaming(m_StreamingEvent) && (m_ActiveIndex == -1 || m_ActiveIndex != m_ShownIndex)) {
            m_DeviceList.Select(m_ShownIndex);
            WriteSelected();
            NotifySettingsChanged();
            m_ActiveIndex = m_ShownIndex;
        }
    }
    InvalidateRect(listBox, nullptr, TRUE);
    RefreshRateControls();
    RefreshBufferFromRegistry();
}

void CAsioControlPanelDlg::SyncActiveFromRegistry()
{
    if (ListBoxCount() <= 0) {
        return;
    }
    WCHAR selected[kPathCharacters];
    ReadSelected(selected);
    const int oldActive = m_ActiveIndex;
    int newActive;
    if (m_DeviceList.FindByInstanceId(selected)) {
        m_DeviceList.SelectByInstanceId(selected);
        newActive = m_DeviceList.SelectedIndex();
    } else {
        m_DeviceList.Select(m_ShownIndex);
        WriteSelected();
        NotifySettingsChanged();
        newActive = m_ShownIndex;
    }
    m_ActiveIndex = newActive;
    if (m_ActiveIndex != oldActive) {
        InvalidateRect(GetDlgItem(m_Window, kDeviceListBox), nullptr, TRUE);
    }
}
