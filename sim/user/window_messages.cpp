// Message queues (user32) on the simulated machine. A window's procedure runs only on the thread
// that owns it: for messages the thread retrieves and dispatches, for messages it sends itself,
// and for messages other threads send, which its message retrieval delivers before it returns a
// posted one. WM_TIMER and WM_PAINT are made when the queue holds nothing else, as Windows makes
// them: a timer at most once per due time, a paint while a visible window of the thread has an
// invalid region.
#include <algorithm>

#include "sim/kernel/scheduler.h"
#include "sim/user/user_machine.h"
#include "sim/user/window_records.h"

namespace sim::user {

namespace {

// Windows never lets a timer run faster than this (USER_TIMER_MINIMUM).
constexpr UINT kTimerMinimumMs = 10;
constexpr UINT kTimerMaximumMs = 0x7FFFFFFF;

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

}  // namespace sim::user

using sim::user::Manager;
using sim::user::SentMessage;
using sim::user::ThreadQueue;
using sim::user::RemoveIf;
using sim::user::WindowManager;
using sim::user::WindowRecord;

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
