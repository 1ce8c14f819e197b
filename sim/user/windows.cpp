// Windows and message queues (user32) on the simulated machine. A window belongs to the thread
// that created it: its procedure runs only on that thread, for messages the thread retrieves and
// dispatches, for messages it sends itself, and for messages other threads send, which its
// GetMessageW delivers before it returns a posted one. WM_TIMER is made when the queue holds
// nothing else and a timer is due, at most one per timer and due time, as Windows makes it.
#include "sim/user/window_manager.h"

#include <algorithm>

#include "sim/kernel/scheduler.h"
#include "sim/text/case_mapping.h"
#include "sim/user/user_machine.h"

namespace sim::user {

namespace {

// Windows never lets a timer run faster than this (USER_TIMER_MINIMUM).
constexpr UINT kTimerMinimumMs = 10;
constexpr UINT kTimerMaximumMs = 0x7FFFFFFF;
const HCURSOR kArrowCursor = reinterpret_cast<HCURSOR>(ULONG_PTR(0x10003));

struct SentMessage {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT result = 0;
    KEVENT done;
};

struct WindowTimer {
    HWND hwnd;
    UINT_PTR id;
    UINT period;
    int64_t due;
};

struct ThreadQueue {
    ThreadQueue() { KeInitializeEvent(&wake, SynchronizationEvent, FALSE); }
    KEVENT wake;
    std::deque<MSG> posted;
    std::deque<std::shared_ptr<SentMessage>> sent;
    std::vector<WindowTimer> timers;
    bool quit = false;
    int quitCode = 0;
};

struct WindowClassRecord {
    WNDPROC procedure;
    HINSTANCE instance;
};

struct WindowRecord {
    WNDPROC procedure;
    DWORD thread;
    DWORD process;
    std::u16string className;
};

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

class WindowManager final : public MachineComponent {
public:
    ThreadQueue& QueueLocked(DWORD thread)
    {
        std::unique_ptr<ThreadQueue>& queue = queues[thread];
        if (queue == nullptr) {
            queue = std::make_unique<ThreadQueue>();
        }
        return *queue;
    }
    const WindowRecord* FindLocked(HWND hwnd) const
    {
        auto found = windows.find(hwnd);
        return found == windows.end() ? nullptr : &found->second;
    }

    std::mutex lock;
    std::map<std::pair<DWORD, std::u16string>, WindowClassRecord> classes;  // by process and name
    std::map<HWND, WindowRecord> windows;
    std::map<DWORD, std::unique_ptr<ThreadQueue>> queues;  // by thread id
    ULONG_PTR nextWindow = 0x10010;
    ATOM nextAtom = 0xC000;
};

WindowManager& Manager() { return Machine::Current().Component<WindowManager>(); }

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

}  // namespace

size_t SendToAllWindows(UINT message, WPARAM wParam, LPARAM lParam)
{
    std::vector<HWND> targets;
    {
        WindowManager& manager = Manager();
        std::lock_guard<std::mutex> held(manager.lock);
        for (const auto& [hwnd, window] : manager.windows) {
            targets.push_back(hwnd);
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
    if (hWndParent != nullptr || hMenu != nullptr) {
        // Only top-level windows without menus exist here.
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    const DWORD process = GetCurrentProcessId();
    const std::u16string name = sim::user::ClassKey(lpClassName);
    HWND hwnd;
    WNDPROC procedure;
    {
        WindowManager& manager = Manager();
        std::lock_guard<std::mutex> held(manager.lock);
        // An application's own class is found by its name and the module that registered it.
        auto found = manager.classes.find(std::make_pair(process, name));
        if (found == manager.classes.end() || found->second.instance != hInstance) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        procedure = found->second.procedure;
        hwnd = reinterpret_cast<HWND>(manager.nextWindow);
        manager.nextWindow += 2;
        manager.windows[hwnd] = {procedure, GetCurrentThreadId(), process, name};
    }
    CREATESTRUCTW create = {};
    create.lpCreateParams = lpParam;
    create.hInstance = hInstance;
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
    procedure(hWnd, WM_NCDESTROY, 0, 0);
    WindowManager& manager = Manager();
    std::lock_guard<std::mutex> held(manager.lock);
    manager.windows.erase(hWnd);
    ThreadQueue& queue = manager.QueueLocked(GetCurrentThreadId());
    RemoveIf(queue.timers, [hWnd](const auto& timer) { return timer.hwnd == hWnd; });
    RemoveIf(queue.posted, [hWnd](const MSG& message) { return message.hwnd == hWnd; });
    return TRUE;
}

LRESULT DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    return Msg == WM_NCCREATE ? TRUE : 0;
}

BOOL GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax)
{
    if (lpMsg == nullptr || hWnd != nullptr || wMsgFilterMin != 0 || wMsgFilterMax != 0) {
        // Filtered retrieval is not modelled.
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    WindowManager& manager = Manager();
    const DWORD self = GetCurrentThreadId();
    while (true) {
        std::shared_ptr<SentMessage> sent;
        MSG message = {};
        bool retrieved = false;
        int64_t deadline = sim::kNoDeadline;
        KEVENT* wake;
        {
            std::lock_guard<std::mutex> held(manager.lock);
            ThreadQueue& queue = manager.QueueLocked(self);
            wake = &queue.wake;
            const int64_t now = sim::Machine::Current().Now();
            if (!queue.sent.empty()) {
                sent = queue.sent.front();
                queue.sent.pop_front();
            } else if (!queue.posted.empty()) {
                message = queue.posted.front();
                queue.posted.pop_front();
                retrieved = true;
            } else if (queue.quit) {
                queue.quit = false;
                message.message = WM_QUIT;
                message.wParam = WPARAM(queue.quitCode);
                retrieved = true;
            } else {
                sim::user::WindowTimer* next = nullptr;
                for (auto& timer : queue.timers) {
                    if (next == nullptr || timer.due < next->due) {
                        next = &timer;
                    }
                }
                if (next != nullptr && next->due <= now) {
                    message.hwnd = next->hwnd;
                    message.message = WM_TIMER;
                    message.wParam = next->id;
                    next->due = now + int64_t(next->period) * 1000000;
                    retrieved = true;
                } else if (next != nullptr) {
                    deadline = next->due;
                }
            }
        }
        if (sent != nullptr) {
            const WNDPROC procedure = sim::user::ProcedureFor(sent->hwnd);
            sent->result = procedure != nullptr ? procedure(sent->hwnd, sent->message, sent->wParam, sent->lParam) : 0;
            KeSetEvent(&sent->done, 0, FALSE);
            continue;
        }
        if (retrieved) {
            message.time = timeGetTime();
            *lpMsg = message;
            return message.message != WM_QUIT;
        }
        sim::user::Wait(*wake, deadline);
    }
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

LRESULT SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    auto sent = std::make_shared<SentMessage>();
    {
        WindowManager& manager = Manager();
        std::lock_guard<std::mutex> held(manager.lock);
        const auto* window = manager.FindLocked(hWnd);
        if (window == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        if (window->thread != GetCurrentThreadId()) {
            sent->hwnd = hWnd;
            sent->message = Msg;
            sent->wParam = wParam;
            sent->lParam = lParam;
            KeInitializeEvent(&sent->done, NotificationEvent, FALSE);
            ThreadQueue& queue = manager.QueueLocked(window->thread);
            queue.sent.push_back(sent);
            KeSetEvent(&queue.wake, 0, FALSE);
        } else {
            sent = nullptr;
        }
    }
    if (sent == nullptr) {
        const WNDPROC procedure = sim::user::ProcedureFor(hWnd);
        return procedure != nullptr ? procedure(hWnd, Msg, wParam, lParam) : 0;
    }
    // The sender waits until the owning thread has run the procedure.
    sim::user::Wait(sent->done, sim::kNoDeadline);
    return sent->result;
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
