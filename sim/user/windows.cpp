// Windows and message queues (user32) on the simulated machine. A window belongs to the thread
// that created it: its procedure runs only on that thread, for messages the thread retrieves and
// dispatches, for messages it sends itself, and for messages other threads send, which its
// message retrieval delivers before it returns a posted one. WM_TIMER and WM_PAINT are made when
// the queue holds nothing else, as Windows makes them: a timer at most once per due time, a paint
// while a window of the thread has an invalid region.
#include "sim/user/window_manager.h"

#include <algorithm>
#include <utility>

#include "sim/kernel/scheduler.h"
#include "sim/text/case_mapping.h"
#include "sim/user/user_machine.h"
#include "sim/user/window_records.h"

namespace sim::user {

namespace {

// Windows never lets a timer run faster than this (USER_TIMER_MINIMUM).
constexpr UINT kTimerMinimumMs = 10;
constexpr UINT kTimerMaximumMs = 0x7FFFFFFF;
const HCURSOR kArrowCursor = reinterpret_cast<HCURSOR>(ULONG_PTR(0x10003));

template <class Container, class Predicate> size_t RemoveIf(Container& container, Predicate predicate)
{
    const auto end = std::remove_if(container.begin(), container.end(), predicate);
    const size_t removed = size_t(container.end() - end);
    container.erase(end, container.end());
    return removed;
}

// The procedure of a window the caller may run it for; null (with the last error) otherwise.
WNDPROC ProcedureFor(HWND hwnd)
{
    WindowManager& manager = Manager();
    std::lock_guard<std::mutex> held(manager.lock);
    const WindowRecord* window = manager.FindLocked(hwnd);
    if (window == nullptr) {
        ::SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return window->procedure;
}

void Wait(KEVENT& event, int64_t deadline)
{
    DISPATCHER_HEADER* object = &event.Header;
    UserModeWait(&object, 1, WaitAny, deadline, false);
}

// Only a window that is visible with all its ancestors is painted.
bool ShownLocked(WindowManager& manager, const WindowRecord& window)
{
    for (const WindowRecord* at = &window; at != nullptr; at = at->parent != nullptr ? manager.FindLocked(at->parent) : nullptr) {
        if ((at->style & WS_VISIBLE) == 0) {
            return false;
        }
    }
    return true;
}

bool InRange(UINT message, UINT first, UINT last) { return (first == 0 && last == 0) || (message >= first && message <= last); }

// One step of message retrieval for the calling thread: sent messages are delivered first (and
// the step repeats); then a posted message that passes the filters, the quit flag, a due timer
// or a paint. False when none is there and the caller does not wait.
bool NextMessage(MSG& message, HWND filter, UINT first, UINT last, bool remove, bool wait)
{
    WindowManager& manager = Manager();
    const DWORD self = GetCurrentThreadId();
    while (true) {
        std::shared_ptr<SentMessage> sent;
        bool retrieved = false;
        int64_t deadline = sim::kNoDeadline;
        KEVENT* wake;
        message = {};
        {
            std::lock_guard<std::mutex> held(manager.lock);
            ThreadQueue& queue = manager.QueueLocked(self);
            wake = &queue.wake;
            const int64_t now = sim::Machine::Current().Now();
            auto matches = [&](const MSG& posted) {
                return (filter == nullptr || posted.hwnd == filter) && InRange(posted.message, first, last);
            };
            auto posted = std::find_if(queue.posted.begin(), queue.posted.end(), matches);
            if (!queue.sent.empty()) {
                sent = queue.sent.front();
                queue.sent.pop_front();
            } else if (posted != queue.posted.end()) {
                message = *posted;
                if (remove) {
                    queue.posted.erase(posted);
                }
                retrieved = true;
            } else if (queue.quit && filter == nullptr && InRange(WM_QUIT, first, last)) {
                if (remove) {
                    queue.quit = false;
                }
                message.message = WM_QUIT;
                message.wParam = WPARAM(queue.quitCode);
                retrieved = true;
            } else {
                WindowTimer* next = nullptr;
                for (auto& timer : queue.timers) {
                    if ((filter == nullptr || timer.hwnd == filter) && (next == nullptr || timer.due < next->due)) {
                        next = &timer;
                    }
                }
                if (next != nullptr && next->due <= now && InRange(WM_TIMER, first, last)) {
                    message.hwnd = next->hwnd;
                    message.message = WM_TIMER;
                    message.wParam = next->id;
                    if (remove) {
                        next->due = now + int64_t(next->period) * 1000000;
                    }
                    retrieved = true;
                } else if (InRange(WM_PAINT, first, last)) {
                    if (next != nullptr) {
                        deadline = next->due;
                    }
                    for (auto& [hwnd, window] : manager.windows) {
                        if (window.thread == self && window.needsPaint && (filter == nullptr || hwnd == filter) &&
                            ShownLocked(manager, window)) {
                            // The paint stays pending until the window validates itself.
                            message.hwnd = hwnd;
                            message.message = WM_PAINT;
                            retrieved = true;
                            break;
                        }
                    }
                } else if (next != nullptr) {
                    deadline = next->due;
                }
            }
        }
        if (sent != nullptr) {
            const WNDPROC procedure = ProcedureFor(sent->hwnd);
            sent->result = procedure != nullptr ? procedure(sent->hwnd, sent->message, sent->wParam, sent->lParam) : 0;
            if (!sent->notify) {
                KeSetEvent(&sent->done, 0, FALSE);
            }
            continue;
        }
        if (retrieved) {
            message.time = timeGetTime();
            return true;
        }
        if (!wait) {
            return false;
        }
        Wait(*wake, deadline);
    }
}

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

bool PumpMessagesUntil(const std::function<bool()>& done)
{
    MSG message;
    while (!done()) {
        NextMessage(message, nullptr, 0, 0, true, true);
        if (message.message == WM_QUIT) {
            PostQuitMessage(int(message.wParam));
            return false;
        }
        DispatchMessageW(&message);
    }
    return true;
}

void WakeThread(DWORD thread)
{
    WindowManager& manager = Manager();
    std::lock_guard<std::mutex> held(manager.lock);
    KeSetEvent(&manager.QueueLocked(thread).wake, 0, FALSE);
}

size_t SendToAllWindows(UINT message, WPARAM wParam, LPARAM lParam)
{
    std::vector<HWND> targets;
    {
        WindowManager& manager = Manager();
        std::lock_guard<std::mutex> held(manager.lock);
        for (const auto& [hwnd, window] : manager.windows) {
            if (window.parent == nullptr) {
                targets.push_back(hwnd);
            }
        }
    }
    size_t delivered = 0;
    for (HWND hwnd : targets) {
        if (IsWindow(hwnd)) {
            SendMessageW(hwnd, message, wParam, lParam);
            ++delivered;
        }
    }
    return delivered;
}

}  // namespace sim::user

using sim::user::Manager;
using sim::user::SentMessage;
using sim::user::ThreadQueue;
using sim::user::RemoveIf;
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

BOOL GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax)
{
    if (lpMsg == nullptr || (hWnd != nullptr && !IsWindow(hWnd))) {
        SetLastError(lpMsg == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    sim::user::NextMessage(*lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true, true);
    return lpMsg->message != WM_QUIT;
}

BOOL PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg)
{
    if (lpMsg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return sim::user::NextMessage(*lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0, false);
}

BOOL TranslateMessage(const MSG* lpMsg) { return FALSE; }

LRESULT DispatchMessageW(const MSG* lpMsg)
{
    if (lpMsg == nullptr || lpMsg->hwnd == nullptr) {
        return 0;
    }
    const WNDPROC procedure = sim::user::ProcedureFor(lpMsg->hwnd);
    return procedure != nullptr ? procedure(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam) : 0;
}

BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    WindowManager& manager = Manager();
    std::lock_guard<std::mutex> held(manager.lock);
    DWORD thread = GetCurrentThreadId();
    if (hWnd != nullptr) {
        const auto* window = manager.FindLocked(hWnd);
        if (window == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        thread = window->thread;
    }
    ThreadQueue& queue = manager.QueueLocked(thread);
    MSG message = {};
    message.hwnd = hWnd;
    message.message = Msg;
    message.wParam = wParam;
    message.lParam = lParam;
    queue.posted.push_back(message);
    KeSetEvent(&queue.wake, 0, FALSE);
    return TRUE;
}

void PostQuitMessage(int nExitCode)
{
    WindowManager& manager = Manager();
    std::lock_guard<std::mutex> held(manager.lock);
    ThreadQueue& queue = manager.QueueLocked(GetCurrentThreadId());
    queue.quit = true;
    queue.quitCode = nExitCode;
    KeSetEvent(&queue.wake, 0, FALSE);
}

namespace sim::user {
namespace {

// Queues a message sent to a window of another thread; null when the window is the caller's own
// (the procedure is then called directly) or is gone.
std::shared_ptr<SentMessage> QueueSent(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, bool notify, bool& gone)
{
    WindowManager& manager = Manager();
    std::lock_guard<std::mutex> held(manager.lock);
    const auto* window = manager.FindLocked(hWnd);
    gone = window == nullptr;
    if (gone) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    if (window->thread == GetCurrentThreadId()) {
        return nullptr;
    }
    auto sent = std::make_shared<SentMessage>();
    sent->hwnd = hWnd;
    sent->message = Msg;
    sent->wParam = wParam;
    sent->lParam = lParam;
    sent->notify = notify;
    KeInitializeEvent(&sent->done, NotificationEvent, FALSE);
    ThreadQueue& queue = manager.QueueLocked(window->thread);
    queue.sent.push_back(sent);
    KeSetEvent(&queue.wake, 0, FALSE);
    return sent;
}

}  // namespace

// SendNotifyMessageW with data that must outlive the call: lParam points into `keepAlive`.
BOOL SendNotifyMessageKeeping(HWND hWnd, UINT Msg, WPARAM wParam, std::shared_ptr<void> keepAlive, LPARAM lParam)
{
    bool gone = false;
    auto sent = QueueSent(hWnd, Msg, wParam, lParam, true, gone);
    if (gone) {
        return FALSE;
    }
    if (sent == nullptr) {
        const WNDPROC procedure = ProcedureFor(hWnd);
        if (procedure != nullptr) {
            procedure(hWnd, Msg, wParam, lParam);
        }
        return TRUE;
    }
    sent->keepAlive = std::move(keepAlive);
    return TRUE;
}

}  // namespace sim::user

LRESULT SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    bool gone = false;
    auto sent = sim::user::QueueSent(hWnd, Msg, wParam, lParam, false, gone);
    if (gone) {
        return 0;
    }
    if (sent == nullptr) {
        const WNDPROC procedure = sim::user::ProcedureFor(hWnd);
        return procedure != nullptr ? procedure(hWnd, Msg, wParam, lParam) : 0;
    }
    // The sender waits until the owning thread has run the procedure.
    sim::user::Wait(sent->done, sim::kNoDeadline);
    return sent->result;
}

BOOL SendNotifyMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    return sim::user::SendNotifyMessageKeeping(hWnd, Msg, wParam, nullptr, lParam);
}

UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc)
{
    if (hWnd == nullptr || lpTimerFunc != nullptr) {
        // Thread timers and timer procedures are not modelled.
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    WindowManager& manager = Manager();
    std::lock_guard<std::mutex> held(manager.lock);
    const auto* window = manager.FindLocked(hWnd);
    // The window must belong to the calling thread.
    if (window == nullptr || window->thread != GetCurrentThreadId()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    const UINT period = uElapse < sim::user::kTimerMinimumMs   ? sim::user::kTimerMinimumMs
                        : uElapse > sim::user::kTimerMaximumMs ? sim::user::kTimerMaximumMs
                                                               : uElapse;
    ThreadQueue& queue = manager.QueueLocked(window->thread);
    RemoveIf(queue.timers, [&](const auto& timer) { return timer.hwnd == hWnd && timer.id == nIDEvent; });
    queue.timers.push_back({hWnd, nIDEvent, period, sim::Machine::Current().Now() + int64_t(period) * 1000000});
    KeSetEvent(&queue.wake, 0, FALSE);
    return nIDEvent == 0 ? 1 : nIDEvent;
}

BOOL KillTimer(HWND hWnd, UINT_PTR uIDEvent)
{
    WindowManager& manager = Manager();
    std::lock_guard<std::mutex> held(manager.lock);
    const auto* window = manager.FindLocked(hWnd);
    if (window == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    ThreadQueue& queue = manager.QueueLocked(window->thread);
    const size_t removed =
        RemoveIf(queue.timers, [&](const auto& timer) { return timer.hwnd == hWnd && timer.id == uIDEvent; });
    if (removed == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}
