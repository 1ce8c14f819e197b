// What a window is besides its messages (user32): its text, parent and id, enabled and visible
// states, focus and the foreground window, the enumeration of top-level windows, window longs,
// rectangles and the invalid state that makes WM_PAINT.
#include <algorithm>

#include "sim/user/user_machine.h"
#include "sim/user/window_records.h"

using sim::user::Manager;
using sim::user::ThreadQueue;
using sim::user::WindowManager;
using sim::user::WindowRecord;

namespace {

// Dialog base units of "MS Shell Dlg" 8 point at 96 dots per inch (average character width and
// height in pixels): what MapDialogRect scales dialog units by.
constexpr LONG kBaseUnitX = 6;
constexpr LONG kBaseUnitY = 13;

POINT ScreenOrigin(HWND hwnd)
{
    POINT origin = {0, 0};
    WindowRecord window;
    while (hwnd != nullptr && sim::user::CopyWindow(hwnd, window)) {
        origin.x += window.rect.left;
        origin.y += window.rect.top;
        hwnd = window.parent;
    }
    return origin;
}

}  // namespace

BOOL SetWindowTextW(HWND hWnd, LPCWSTR lpString)
{
    return sim::user::ChangeWindow(hWnd, [&](WindowRecord& window) {
        window.text = lpString != nullptr ? lpString : u"";
        window.needsPaint = true;
    });
}

int GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount)
{
    WindowRecord window;
    if (lpString == nullptr || nMaxCount <= 0 || !sim::user::CopyWindow(hWnd, window)) {
        return 0;
    }
    const size_t count = std::min(window.text.size(), size_t(nMaxCount - 1));
    std::copy_n(window.text.data(), count, lpString);
    lpString[count] = 0;
    return int(count);
}

int GetWindowTextLengthW(HWND hWnd)
{
    WindowRecord window;
    return sim::user::CopyWindow(hWnd, window) ? int(window.text.size()) : 0;
}

HWND GetParent(HWND hWnd)
{
    WindowRecord window;
    return sim::user::CopyWindow(hWnd, window) ? window.parent : nullptr;
}

HWND GetDlgItem(HWND hDlg, int nIDDlgItem)
{
    WindowManager& manager = Manager();
    std::lock_guard<std::mutex> held(manager.lock);
    if (manager.FindLocked(hDlg) == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    for (const auto& [hwnd, window] : manager.windows) {
        if (window.parent == hDlg && window.id == nIDDlgItem) {
            return hwnd;
        }
    }
    SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
    return nullptr;
}

int GetDlgCtrlID(HWND hWnd)
{
    WindowRecord window;
    return sim::user::CopyWindow(hWnd, window) ? int(window.id) : 0;
}

BOOL SetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPCWSTR lpString)
{
    HWND item = GetDlgItem(hDlg, nIDDlgItem);
    return item != nullptr && SetWindowTextW(item, lpString);
}

UINT GetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPWSTR lpString, int cchMax)
{
    HWND item = GetDlgItem(hDlg, nIDDlgItem);
    if (item == nullptr) {
        if (lpString != nullptr && cchMax > 0) {
            lpString[0] = 0;
        }
        return 0;
    }
    return UINT(GetWindowTextW(item, lpString, cchMax));
}

LRESULT SendDlgItemMessageW(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    HWND item = GetDlgItem(hDlg, nIDDlgItem);
    return item != nullptr ? SendMessageW(item, Msg, wParam, lParam) : 0;
}

// Returns whether the window was disabled before; WM_ENABLE tells it of a change.
BOOL EnableWindow(HWND hWnd, BOOL bEnable)
{
    bool wasDisabled = false;
    bool changed = false;
    if (!sim::user::ChangeWindow(hWnd, [&](WindowRecord& window) {
            wasDisabled = (window.style & WS_DISABLED) != 0;
            changed = wasDisabled == (bEnable != FALSE);
            window.style = bEnable ? window.style & ~DWORD(WS_DISABLED) : window.style | WS_DISABLED;
            window.needsPaint = window.needsPaint || changed;
        })) {
        return FALSE;
    }
    if (changed) {
        SendMessageW(hWnd, WM_ENABLE, bEnable, 0);
    }
    return wasDisabled;
}

BOOL IsWindowEnabled(HWND hWnd)
{
    WindowRecord window;
    return sim::user::CopyWindow(hWnd, window) && (window.style & WS_DISABLED) == 0;
}

// Returns whether the window was visible before.
BOOL ShowWindow(HWND hWnd, int nCmdShow)
{
    bool wasVisible = false;
    const bool known = sim::user::ChangeWindow(hWnd, [&](WindowRecord& window) {
        wasVisible = (window.style & WS_VISIBLE) != 0;
        switch (nCmdShow) {
        case SW_HIDE:
            window.style &= ~DWORD(WS_VISIBLE);
            break;
        case SW_MINIMIZE:
        case SW_SHOWMINIMIZED:
            window.style |= WS_VISIBLE | WS_MINIMIZE;
            break;
        case SW_SHOWNORMAL:
        case SW_RESTORE:
            window.style = (window.style | WS_VISIBLE) & ~DWORD(WS_MINIMIZE);
            break;
        default:
            window.style |= WS_VISIBLE;
            break;
        }
        window.needsPaint = (window.style & WS_VISIBLE) != 0;
    });
    return known && wasVisible;
}

// Visible when the window and every ancestor have WS_VISIBLE.
BOOL IsWindowVisible(HWND hWnd)
{
    WindowRecord window;
    while (hWnd != nullptr) {
        if (!sim::user::CopyWindow(hWnd, window) || (window.style & WS_VISIBLE) == 0) {
            return FALSE;
        }
        hWnd = window.parent;
    }
    return TRUE;
}

BOOL IsIconic(HWND hWnd)
{
    WindowRecord window;
    return sim::user::CopyWindow(hWnd, window) && (window.style & WS_MINIMIZE) != 0;
}

// Focus belongs to the thread's input state: only a window of the calling thread can take it.
HWND SetFocus(HWND hWnd)
{
    HWND previous;
    {
        WindowManager& manager = Manager();
        std::lock_guard<std::mutex> held(manager.lock);
        const WindowRecord* window = manager.FindLocked(hWnd);
        if (hWnd != nullptr && (window == nullptr || window->thread != GetCurrentThreadId())) {
            SetLastError(window == nullptr ? ERROR_INVALID_WINDOW_HANDLE : ERROR_ACCESS_DENIED);
            return nullptr;
        }
        ThreadQueue& queue = manager.QueueLocked(GetCurrentThreadId());
        previous = queue.focus;
        queue.focus = hWnd;
    }
    if (previous != hWnd) {
        if (previous != nullptr && IsWindow(previous)) {
            SendMessageW(previous, WM_KILLFOCUS, WPARAM(hWnd), 0);
        }
        if (hWnd != nullptr) {
            SendMessageW(hWnd, WM_SETFOCUS, WPARAM(previous), 0);
        }
    }
    return previous;
}

HWND GetFocus()
{
    WindowManager& manager = Manager();
    std::lock_guard<std::mutex> held(manager.lock);
    return manager.QueueLocked(GetCurrentThreadId()).focus;
}

// Windows lets a process set the foreground window only when there is none, when it is the
// foreground process itself or was started by it, or when it received the last input event
// (the debugging and lock time-out exceptions are not modelled); otherwise nothing changes and
// the call returns FALSE.
BOOL SetForegroundWindow(HWND hWnd)
{
    const DWORD caller = GetCurrentProcessId();
    const DWORD callerParent = sim::user::CurrentProcess(__func__).parentId;
    WindowManager& manager = Manager();
    std::lock_guard<std::mutex> held(manager.lock);
    WindowRecord* window = manager.FindLocked(hWnd);
    while (window != nullptr && window->parent != nullptr) {
        hWnd = window->parent;
        window = manager.FindLocked(hWnd);
    }
    if (window == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    const WindowRecord* current = manager.FindLocked(manager.foreground);
    const bool allowed = current == nullptr || current->process == caller || current->process == callerParent ||
                         manager.lastInputProcess == caller;
    if (allowed) {
        manager.foreground = hWnd;
    }
    return allowed;
}

HWND GetForegroundWindow()
{
    WindowManager& manager = Manager();
    std::lock_guard<std::mutex> held(manager.lock);
    return manager.foreground;
}

// Top-level windows of every process, in creation order; the callback may end the walk.
BOOL EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam)
{
    if (lpEnumFunc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    for (HWND hwnd : sim::user::TopLevelWindows()) {
        if (IsWindow(hwnd) && !lpEnumFunc(hwnd, lParam)) {
            return FALSE;
        }
    }
    return TRUE;
}

HWND FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName)
{
    WindowManager& manager = Manager();
    std::lock_guard<std::mutex> held(manager.lock);
    for (const auto& [hwnd, window] : manager.windows) {
        if (window.parent == nullptr && (lpClassName == nullptr || window.className == sim::user::ClassKey(lpClassName)) &&
            (lpWindowName == nullptr || window.text == lpWindowName)) {
            return hwnd;
        }
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
}

DWORD GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId)
{
    WindowRecord window;
    if (!sim::user::CopyWindow(hWnd, window)) {
        return 0;
    }
    if (lpdwProcessId != nullptr) {
        *lpdwProcessId = window.process;
    }
    return window.thread;
}

LONG_PTR GetWindowLongPtrW(HWND hWnd, int nIndex)
{
    WindowRecord window;
    if (!sim::user::CopyWindow(hWnd, window)) {
        return 0;
    }
    switch (nIndex) {
    case GWL_STYLE:
        return LONG_PTR(window.style);
    case GWL_EXSTYLE:
        return LONG_PTR(window.exStyle);
    case GWLP_ID:
        return window.id;
    case GWLP_USERDATA:
        return window.userData;
    case DWLP_MSGRESULT:
        return window.messageResult;
    default:
        SetLastError(ERROR_INVALID_INDEX);
        return 0;
    }
}

LONG_PTR SetWindowLongPtrW(HWND hWnd, int nIndex, LONG_PTR dwNewLong)
{
    LONG_PTR previous = 0;
    bool valid = true;
    sim::user::ChangeWindow(hWnd, [&](WindowRecord& window) {
        switch (nIndex) {
        case GWL_STYLE:
            previous = LONG_PTR(window.style);
            window.style = DWORD(dwNewLong);
            break;
        case GWLP_USERDATA:
            previous = window.userData;
            window.userData = dwNewLong;
            break;
        case DWLP_MSGRESULT:
            previous = window.messageResult;
            window.messageResult = dwNewLong;
            break;
        default:
            valid = false;
            break;
        }
    });
    if (!valid) {
        SetLastError(ERROR_INVALID_INDEX);
    }
    return previous;
}

// Windows here have no frame: the client area is the whole window.
BOOL GetClientRect(HWND hWnd, LPRECT lpRect)
{
    WindowRecord window;
    if (lpRect == nullptr || !sim::user::CopyWindow(hWnd, window)) {
        return FALSE;
    }
    *lpRect = {0, 0, window.rect.right - window.rect.left, window.rect.bottom - window.rect.top};
    return TRUE;
}

BOOL GetWindowRect(HWND hWnd, LPRECT lpRect)
{
    RECT client;
    if (lpRect == nullptr || !GetClientRect(hWnd, &client)) {
        return FALSE;
    }
    const POINT origin = ScreenOrigin(hWnd);
    *lpRect = {origin.x, origin.y, origin.x + client.right, origin.y + client.bottom};
    return TRUE;
}

BOOL ScreenToClient(HWND hWnd, POINT* lpPoint)
{
    if (lpPoint == nullptr || !IsWindow(hWnd)) {
        return FALSE;
    }
    const POINT origin = ScreenOrigin(hWnd);
    lpPoint->x -= origin.x;
    lpPoint->y -= origin.y;
    return TRUE;
}

BOOL MapDialogRect(HWND hDlg, LPRECT lpRect)
{
    if (lpRect == nullptr || !IsWindow(hDlg)) {
        return FALSE;
    }
    lpRect->left = lpRect->left * kBaseUnitX / 4;
    lpRect->right = lpRect->right * kBaseUnitX / 4;
    lpRect->top = lpRect->top * kBaseUnitY / 8;
    lpRect->bottom = lpRect->bottom * kBaseUnitY / 8;
    return TRUE;
}

BOOL InvalidateRect(HWND hWnd, const RECT* lpRect, BOOL bErase)
{
    return sim::user::ChangeWindow(hWnd, [](WindowRecord& window) { window.needsPaint = true; });
}

// Sends WM_PAINT at once when the window has something to paint.
BOOL UpdateWindow(HWND hWnd)
{
    WindowRecord window;
    if (!sim::user::CopyWindow(hWnd, window)) {
        return FALSE;
    }
    if (window.needsPaint && (window.style & WS_VISIBLE) != 0) {
        SendMessageW(hWnd, WM_PAINT, 0, 0);
    }
    return TRUE;
}

BOOL RedrawWindow(HWND hWnd, const RECT* lprcUpdate, PVOID hrgnUpdate, UINT flags)
{
    if ((flags & RDW_INVALIDATE) != 0 && !InvalidateRect(hWnd, lprcUpdate, (flags & RDW_ERASE) != 0)) {
        return FALSE;
    }
    if ((flags & RDW_ALLCHILDREN) != 0) {
        for (HWND child : sim::user::ChildrenOf(hWnd)) {
            RedrawWindow(child, nullptr, nullptr, flags);
        }
    }
    return (flags & RDW_UPDATENOW) == 0 || UpdateWindow(hWnd);
}

int GetSystemMetrics(int nIndex) { return nIndex == SM_CXICON || nIndex == SM_CYICON ? 32 : 0; }
