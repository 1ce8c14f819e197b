// Windows and window classes (user32) on the simulated machine: the window manager's records,
// classes per process and the system's, creation with WM_NCCREATE and WM_CREATE, destruction
// with WM_DESTROY before the children and WM_NCDESTROY after them, and the default window
// procedure. Message queues are in window_messages.cpp.
#include "sim/user/window_manager.h"

#include <algorithm>
#include <utility>

#include "sim/kernel/scheduler.h"
#include "sim/text/case_mapping.h"
#include "sim/user/user_machine.h"
#include "sim/user/window_inspection.h"
#include "sim/user/window_records.h"

namespace sim::user {

namespace {

const HCURSOR kArrowCursor = reinterpret_cast<HCURSOR>(ULONG_PTR(0x10003));

}  // namespace

WindowManager::WindowManager() { RegisterControlClasses(*this); }

ThreadQueue& WindowManager::QueueLocked(DWORD thread)
{
    std::unique_ptr<ThreadQueue>& queue = queues[thread];
    if (queue == nullptr) {
        queue = std::make_unique<ThreadQueue>();
    }
    return *queue;
}

WindowRecord* WindowManager::FindLocked(HWND hwnd)
{
    auto found = windows.find(hwnd);
    return found == windows.end() ? nullptr : &found->second;
}

WindowManager& Manager() { return Machine::Current().Component<WindowManager>(); }

std::u16string ClassKey(LPCWSTR name)
{
    std::u16string key(name);
    for (char16_t& c : key) {
        if (c >= u'a' && c <= u'z') {
            c = char16_t(c - u'a' + u'A');
        }
    }
    return key;
}

bool CopyWindow(HWND hwnd, WindowRecord& copy)
{
    return ChangeWindow(hwnd, [&](WindowRecord& window) { copy = window; });
}

bool ChangeWindow(HWND hwnd, const std::function<void(WindowRecord&)>& change)
{
    WindowManager& manager = Manager();
    std::lock_guard<std::mutex> held(manager.lock);
    WindowRecord* window = manager.FindLocked(hwnd);
    if (window == nullptr) {
        ::SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    change(*window);
    return true;
}

std::vector<HWND> ChildrenOf(HWND parent)
{
    WindowManager& manager = Manager();
    std::lock_guard<std::mutex> held(manager.lock);
    std::vector<HWND> children;
    for (const auto& [hwnd, window] : manager.windows) {
        if (window.parent == parent) {
            children.push_back(hwnd);
        }
    }
    return children;
}

void RegisterSystemClass(DWORD process, const char16_t* name, WNDPROC procedure)
{
    WindowManager& manager = Manager();
    std::lock_guard<std::mutex> held(manager.lock);
    manager.classes[std::make_pair(process, ClassKey(name))] = {procedure, nullptr};
}
std::vector<HWND> TopLevelWindows() { return ChildrenOf(nullptr); }

void NoteUserInput(HWND window)
{
    WindowManager& manager = Manager();
    std::lock_guard<std::mutex> held(manager.lock);
    if (const WindowRecord* record = manager.FindLocked(window)) {
        manager.lastInputProcess = record->process;
    }
}

// A click activates the top-level window under the mouse whatever process owns it.
void ActivateAsUser(HWND window)
{
    WindowManager& manager = Manager();
    std::lock_guard<std::mutex> held(manager.lock);
    const WindowRecord* record = manager.FindLocked(window);
    while (record != nullptr && record->parent != nullptr) {
        window = record->parent;
        record = manager.FindLocked(window);
    }
    if (record != nullptr) {
        manager.lastInputProcess = record->process;
        manager.foreground = window;
    }
}

size_t SendToAllWindows(UINT message, WPARAM wParam, LPARAM lParam)
{
    size_t delivered = 0;
    for (HWND hwnd : TopLevelWindows()) {
        if (IsWindow(hwnd)) {
            SendMessageW(hwnd, message, wParam, lParam);
            ++delivered;
        }
    }
    return delivered;
}

}  // namespace sim::user

using sim::user::Manager;
using sim::user::RemoveIf;
using sim::user::ThreadQueue;
using sim::user::WindowManager;
using sim::user::WindowRecord;

// The system's case tables: here those of ASCII and Latin-1; other characters stay as they are.
LPWSTR CharLowerW(LPWSTR lpsz)
{
    // A value below 0x10000 is one character passed by value, as the high word of a pointer
    // never is zero.
    if (reinterpret_cast<ULONG_PTR>(lpsz) < 0x10000) {
        return reinterpret_cast<LPWSTR>(ULONG_PTR(sim::text::Latin1Lower(WCHAR(reinterpret_cast<ULONG_PTR>(lpsz)))));
    }
    for (WCHAR* character = lpsz; *character != 0; ++character) {
        *character = sim::text::Latin1Lower(*character);
    }
    return lpsz;
}

HCURSOR LoadCursorW(HINSTANCE hInstance, LPCWSTR lpCursorName)
{
    if (hInstance == nullptr && lpCursorName == IDC_ARROW) {
        return sim::user::kArrowCursor;
    }
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
}

ATOM RegisterClassW(const WNDCLASSW* lpWndClass)
{
    if (lpWndClass == nullptr || lpWndClass->lpfnWndProc == nullptr || lpWndClass->lpszClassName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const DWORD process = GetCurrentProcessId();
    WindowManager& manager = Manager();
    std::lock_guard<std::mutex> held(manager.lock);
    auto key = std::make_pair(process, sim::user::ClassKey(lpWndClass->lpszClassName));
    if (manager.classes.count(key) != 0) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    manager.classes[key] = {lpWndClass->lpfnWndProc, lpWndClass->hInstance};
    return manager.nextAtom++;
}

BOOL UnregisterClassW(LPCWSTR lpClassName, HINSTANCE hInstance)
{
    const DWORD process = GetCurrentProcessId();
    WindowManager& manager = Manager();
    std::lock_guard<std::mutex> held(manager.lock);
    const std::u16string name = sim::user::ClassKey(lpClassName);
    auto found = manager.classes.find(std::make_pair(process, name));
    if (found == manager.classes.end() || found->second.instance != hInstance) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    for (const auto& [hwnd, window] : manager.windows) {
        if (window.process == process && window.className == name) {
            SetLastError(ERROR_CLASS_HAS_WINDOWS);
            return FALSE;
        }
    }
    manager.classes.erase(found);
    return TRUE;
}

HWND CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle, int X, int Y,
                     int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam)
{
    const bool child = (dwStyle & WS_CHILD) != 0;
    if ((child && hWndParent == nullptr) || (!child && hMenu != nullptr)) {
        // A child needs its parent, and menus on top-level windows are not modelled.
        SetLastError(child ? ERROR_TLW_WITH_WSCHILD : ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    const DWORD process = GetCurrentProcessId();
    const std::u16string name = sim::user::ClassKey(lpClassName);
    HWND hwnd;
    WNDPROC procedure;
    {
        WindowManager& manager = Manager();
        std::lock_guard<std::mutex> held(manager.lock);
        if (hWndParent != nullptr && manager.FindLocked(hWndParent) == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        // An application's own class is found by its name and the module that registered it;
        // then the system's global classes (those of the common controls once the process has
        // initialised them).
        auto found = manager.classes.find(std::make_pair(process, name));
        if (found == manager.classes.end() || found->second.instance != hInstance) {
            found = manager.classes.find(std::make_pair(sim::user::CommonControlsOf(process), name));
        }
        if (found == manager.classes.end()) {
            found = manager.classes.find(std::make_pair(sim::user::kSystemClasses, name));
        }
        if (found == manager.classes.end()) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        procedure = found->second.procedure;
        hwnd = reinterpret_cast<HWND>(manager.nextWindow);
        manager.nextWindow += 2;
        WindowRecord record;
        record.procedure = procedure;
        record.thread = GetCurrentThreadId();
        record.process = process;
        record.className = name;
        record.parent = child ? hWndParent : nullptr;
        record.id = child ? LONG_PTR(hMenu) : 0;
        record.style = dwStyle;
        record.exStyle = dwExStyle;
        record.text = lpWindowName != nullptr ? lpWindowName : u"";
        record.rect = {X, Y, X + nWidth, Y + nHeight};
        record.needsPaint = true;
        manager.windows[hwnd] = record;
    }
    CREATESTRUCTW create = {};
    create.lpCreateParams = lpParam;
    create.hInstance = hInstance;
    create.hwndParent = hWndParent;
    create.hMenu = hMenu;
    create.cx = nWidth;
    create.cy = nHeight;
    create.x = X;
    create.y = Y;
    create.style = LONG(dwStyle);
    create.lpszName = lpWindowName;
    create.lpszClass = lpClassName;
    create.dwExStyle = dwExStyle;
    const LPARAM createParameter = reinterpret_cast<LPARAM>(&create);
    if (procedure(hwnd, WM_NCCREATE, 0, createParameter) == 0 || procedure(hwnd, WM_CREATE, 0, createParameter) == -1) {
        procedure(hwnd, WM_NCDESTROY, 0, 0);
        WindowManager& manager = Manager();
        std::lock_guard<std::mutex> held(manager.lock);
        manager.windows.erase(hwnd);
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return hwnd;
}

BOOL IsWindow(HWND hWnd)
{
    WindowManager& manager = Manager();
    std::lock_guard<std::mutex> held(manager.lock);
    return manager.FindLocked(hWnd) != nullptr;
}

// WM_DESTROY goes to the window before its children, WM_NCDESTROY after them, as Windows sends
// them; the window's timers and posted messages go with it.
BOOL DestroyWindow(HWND hWnd)
{
    WNDPROC procedure;
    {
        WindowManager& manager = Manager();
        std::lock_guard<std::mutex> held(manager.lock);
        const auto* window = manager.FindLocked(hWnd);
        if (window == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        // Only the owning thread may destroy a window.
        if (window->thread != GetCurrentThreadId()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        procedure = window->procedure;
    }
    procedure(hWnd, WM_DESTROY, 0, 0);
    for (HWND child : sim::user::ChildrenOf(hWnd)) {
        DestroyWindow(child);
    }
    procedure(hWnd, WM_NCDESTROY, 0, 0);
    WindowManager& manager = Manager();
    std::lock_guard<std::mutex> held(manager.lock);
    manager.windows.erase(hWnd);
    if (manager.foreground == hWnd) {
        manager.foreground = nullptr;
    }
    ThreadQueue& queue = manager.QueueLocked(GetCurrentThreadId());
    if (queue.focus == hWnd) {
        queue.focus = nullptr;
    }
    RemoveIf(queue.timers, [hWnd](const auto& timer) { return timer.hwnd == hWnd; });
    RemoveIf(queue.posted, [hWnd](const MSG& message) { return message.hwnd == hWnd; });
    return TRUE;
}

LRESULT DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    switch (Msg) {
    case WM_NCCREATE:
        return TRUE;
    case WM_SETTEXT:
        return SetWindowTextW(hWnd, reinterpret_cast<LPCWSTR>(lParam));
    case WM_PAINT: {
        PAINTSTRUCT paint;
        BeginPaint(hWnd, &paint);
        EndPaint(hWnd, &paint);
        return 0;
    }
    case WM_CLOSE:
        DestroyWindow(hWnd);
        return 0;
    case WM_SETICON: {
        HICON previous = nullptr;
        if (wParam <= ICON_BIG) {
            sim::user::ChangeWindow(hWnd, [&](WindowRecord& window) {
                previous = std::exchange(window.icons[wParam], reinterpret_cast<HICON>(lParam));
            });
        }
        return reinterpret_cast<LRESULT>(previous);
    }
    default:
        return 0;
    }
}
