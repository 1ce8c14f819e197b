// The window manager's records, shared by the files of sim/user that implement user32: windows
// with their class, owner thread, parent, id, text, styles and rectangle; per-thread message
// queues; window classes per process and the system's global classes. Internal to sim/user.
#pragma once

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/api/kernel.h"
#include "sim/api/user.h"
#include "sim/api/user_gdi.h"
#include "sim/kernel/machine.h"

namespace sim::user {

struct SentMessage {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT result = 0;
    bool notify = false;                  // SendNotifyMessageW: nobody waits for the result
    std::shared_ptr<void> keepAlive;      // what lParam points to, for a notification
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
    HWND focus = nullptr;
};

struct WindowClassRecord {
    WNDPROC procedure;
    HINSTANCE instance;
};

// State a window procedure of the system (a control, the dialog manager) keeps per window.
struct WindowExtra {
    virtual ~WindowExtra() = default;
};

struct WindowRecord {
    WNDPROC procedure;
    DWORD thread;
    DWORD process;
    std::u16string className;
    HWND parent = nullptr;
    LONG_PTR id = 0;
    DWORD style = 0;
    DWORD exStyle = 0;
    std::u16string text;
    RECT rect = {};  // in the parent's client coordinates; a top-level window's on the screen
    LONG_PTR userData = 0;
    LONG_PTR messageResult = 0;  // DWLP_MSGRESULT of a dialog
    bool needsPaint = false;
    HGDIOBJ font = nullptr;  // WM_SETFONT of a control
    HICON icons[2] = {};     // WM_SETICON: ICON_SMALL, ICON_BIG
    std::shared_ptr<WindowExtra> extra;
};

// The global classes a process finds without registering them: the system's controls, and
// after InitCommonControlsEx those of the common controls.
constexpr DWORD kSystemClasses = 0;

class WindowManager final : public MachineComponent {
public:
    WindowManager();
    ThreadQueue& QueueLocked(DWORD thread);
    WindowRecord* FindLocked(HWND hwnd);

    std::mutex lock;
    std::map<std::pair<DWORD, std::u16string>, WindowClassRecord> classes;  // by process and name
    std::map<HWND, WindowRecord> windows;
    std::map<DWORD, std::unique_ptr<ThreadQueue>> queues;  // by thread id
    HWND foreground = nullptr;
    DWORD lastInputProcess = 0;  // the process whose window the user's input went to last
    ULONG_PTR nextWindow = 0x10010;
    ATOM nextAtom = 0xC000;
};

WindowManager& Manager();
std::u16string ClassKey(LPCWSTR name);

// A copy of a window's record; false (and ERROR_INVALID_WINDOW_HANDLE) when there is none.
bool CopyWindow(HWND hwnd, WindowRecord& copy);
// Runs `change` on a window's record under the manager's lock; false when there is none.
bool ChangeWindow(HWND hwnd, const std::function<void(WindowRecord&)>& change);
std::vector<HWND> ChildrenOf(HWND parent);
// Removes what matches from a queue's container; how many went.
template <class Container, class Predicate> size_t RemoveIf(Container& container, Predicate predicate)
{
    const auto end = std::remove_if(container.begin(), container.end(), predicate);
    const size_t removed = size_t(container.end() - end);
    container.erase(end, container.end());
    return removed;
}
// The top-level windows of every process, in creation order.
std::vector<HWND> TopLevelWindows();
// The extra state of a window, made on first use by the window's own procedure.
template <class T> std::shared_ptr<T> ExtraOf(HWND hwnd)
{
    std::shared_ptr<T> typed;
    ChangeWindow(hwnd, [&](WindowRecord& window) {
        typed = std::dynamic_pointer_cast<T>(window.extra);
        if (typed == nullptr) {
            typed = std::make_shared<T>();
            window.extra = typed;
        }
    });
    return typed;
}

// The classes InitCommonControlsEx registers for a process are kept under this key.
inline DWORD CommonControlsOf(DWORD process) { return process | 0x80000000u; }
// Registers the system's control classes (controls.cpp) when the window manager is made.
void RegisterControlClasses(WindowManager& manager);
// The window procedure of the dialog class "#32770" (dialogs.cpp).
LRESULT DialogWindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Registers one of the system's window classes (process 0), as user32 and comctl32 do.
void RegisterSystemClass(DWORD process, const char16_t* name, WNDPROC procedure);

// Retrieves and dispatches the calling thread's messages, as a modal loop does, until `done`
// holds. Returns false when WM_QUIT arrived (it is posted again for the outer loop).
bool PumpMessagesUntil(const std::function<bool()>& done);
// SendNotifyMessageW whose lParam points into `keepAlive`, kept until the message is handled.
BOOL SendNotifyMessageKeeping(HWND hWnd, UINT Msg, WPARAM wParam, std::shared_ptr<void> keepAlive, LPARAM lParam);

// Input from the user reached `window`: its process received the last input event.
void NoteUserInput(HWND window);

// Wakes a thread's message loop so that it looks at `done` again.
void WakeThread(DWORD thread);

}  // namespace sim::user
