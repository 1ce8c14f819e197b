// The dialog manager and message boxes (user32). DialogBoxParamW builds the dialog from the
// template in the program's resources: the dialog window of class "#32770", its font, its
// controls in template order (an owner-drawn list box measures its items then), WM_SETFONT to
// each, WM_INITDIALOG (focus to the first enabled tab stop when it answers TRUE); then it runs a
// modal loop until EndDialog and destroys the dialog. A control whose class is unknown (a common
// control the process has not initialised) makes the dialog fail with -1, as Windows does
// without DS_NOFAILCREATE. A message box runs its own modal loop, with its owner disabled, until
// the test answers it.
#include <algorithm>

#include "sim/user/resource_script.h"
#include "sim/user/user_machine.h"
#include "sim/user/window_inspection.h"
#include "sim/user/window_records.h"

namespace sim::user {
namespace {

constexpr LONG kDialogLeft = 100;  // where the dialog manager places a dialog without DS_CENTER
constexpr LONG kDialogTop = 100;

struct DialogState : WindowExtra {
    DLGPROC procedure = nullptr;
    bool ended = false;
    INT_PTR result = 0;
    HFONT font = nullptr;
};

struct MessageBoxRecord {
    ShownMessageBox box;
    DWORD thread;
    int answer = 0;
};

struct MessageBoxes : MachineComponent {
    std::mutex lock;
    std::vector<std::shared_ptr<MessageBoxRecord>> shown;
};

MessageBoxes& Boxes() { return Machine::Current().Component<MessageBoxes>(); }

// Points of the dialog font at 96 dots per inch, as the font's cell height (MulDiv(points, 96, 72)).
LONG MulDivPoints(int points) { return LONG((points * 96 + 36) / 72); }

// Messages whose dialog-procedure result is the message's result itself; for the others the
// result is DWLP_MSGRESULT.
bool ReturnsDirectly(UINT message) { return message == WM_INITDIALOG || message == WM_QUERYDRAGICON; }

}  // namespace

LRESULT DialogWindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    WindowRecord window;
    CopyWindow(hwnd, window);
    auto state = std::dynamic_pointer_cast<DialogState>(window.extra);
    if (state != nullptr && state->procedure != nullptr) {
        SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, 0);
        const INT_PTR handled = state->procedure(hwnd, message, wParam, lParam);
        if (handled != 0) {
            return ReturnsDirectly(message) ? handled : GetWindowLongPtrW(hwnd, DWLP_MSGRESULT);
        }
    }
    return DefDlgProcW(hwnd, message, wParam, lParam);
}

namespace {

HWND CreateControl(HWND dialog, HINSTANCE instance, const ControlTemplate& control)
{
    RECT rect = control.dialogUnits;
    MapDialogRect(dialog, &rect);
    return CreateWindowExW(control.exStyle, control.className.c_str(), control.text.c_str(), control.style, rect.left,
                           rect.top, rect.right - rect.left, rect.bottom - rect.top, dialog,
                           reinterpret_cast<HMENU>(LONG_PTR(control.id)), instance, nullptr);
}

// The dialog window with its state, font and controls; null when a control cannot be made.
HWND CreateDialogFromTemplate(const DialogTemplate& dialog, HINSTANCE instance, DLGPROC procedure)
{
    RECT rect = dialog.dialogUnits;
    HWND hwnd = CreateWindowExW(dialog.exStyle, u"#32770", dialog.caption.c_str(), dialog.style & ~DWORD(WS_VISIBLE),
                                kDialogLeft, kDialogTop, 0, 0, nullptr, nullptr, nullptr, nullptr);
    if (hwnd == nullptr) {
        return nullptr;
    }
    MapDialogRect(hwnd, &rect);
    auto state = std::make_shared<DialogState>();
    state->procedure = procedure;
    LOGFONTW font = {};
    font.lfHeight = -MulDivPoints(dialog.fontPoints);
    font.lfWeight = FW_NORMAL;
    std::copy_n(dialog.fontName.c_str(), std::min<size_t>(dialog.fontName.size(), LF_FACESIZE - 1), font.lfFaceName);
    state->font = CreateFontIndirectW(&font);
    ChangeWindow(hwnd, [&](WindowRecord& record) {
        record.extra = state;
        record.rect = {kDialogLeft, kDialogTop, kDialogLeft + rect.right - rect.left, kDialogTop + rect.bottom - rect.top};
    });
    for (const ControlTemplate& control : dialog.controls) {
        HWND created = CreateControl(hwnd, instance, control);
        if (created == nullptr) {
            const DWORD error = GetLastError();
            DestroyWindow(hwnd);
            SetLastError(error);
            return nullptr;
        }
        SendMessageW(created, WM_SETFONT, reinterpret_cast<WPARAM>(state->font), FALSE);
    }
    return hwnd;
}

HWND FirstTabStop(HWND dialog)
{
    std::vector<HWND> children = ChildrenOf(dialog);
    std::sort(children.begin(), children.end());  // creation order
    for (HWND child : children) {
        if ((GetWindowLongPtrW(child, GWL_STYLE) & WS_TABSTOP) != 0 && IsWindowEnabled(child) && IsWindowVisible(child)) {
            return child;
        }
    }
    return nullptr;
}

}  // namespace

std::vector<ShownMessageBox> MessageBoxesShown()
{
    MessageBoxes& boxes = Boxes();
    std::lock_guard<std::mutex> held(boxes.lock);
    std::vector<ShownMessageBox> shown;
    for (const auto& record : boxes.shown) {
        shown.push_back(record->box);
    }
    return shown;
}

bool AnswerMessageBox(int answer)
{
    MessageBoxes& boxes = Boxes();
    std::shared_ptr<MessageBoxRecord> target;
    {
        std::lock_guard<std::mutex> held(boxes.lock);
        for (const auto& record : boxes.shown) {
            if (record->box.open && record->answer == 0) {
                target = record;
                break;
            }
        }
        // A box offers only its own buttons: OK alone, or OK and Cancel.
        const UINT buttons = target != nullptr ? target->box.type & 0xF : 0;
        if (target == nullptr || !(answer == IDOK || (answer == IDCANCEL && buttons == MB_OKCANCEL))) {
            return false;
        }
        target->answer = answer;
    }
    WakeThread(target->thread);
    return true;
}

}  // namespace sim::user

using sim::user::DialogState;
using sim::user::WindowRecord;

INT_PTR DialogBoxParamW(HINSTANCE hInstance, LPCWSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                        LPARAM dwInitParam)
{
    auto resources = sim::user::ResourcesOfCurrentProcess();
    if (hInstance != GetModuleHandleW(nullptr) || resources == nullptr) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return -1;
    }
    auto dialog = IS_INTRESOURCE(lpTemplateName)
                      ? resources->dialogs.find(int(reinterpret_cast<ULONG_PTR>(lpTemplateName)))
                      : resources->dialogs.end();
    if (dialog == resources->dialogs.end()) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return -1;
    }
    HWND hwnd = sim::user::CreateDialogFromTemplate(dialog->second, hInstance, lpDialogFunc);
    if (hwnd == nullptr) {
        return -1;
    }
    auto state = sim::user::ExtraOf<DialogState>(hwnd);
    HWND focus = sim::user::FirstTabStop(hwnd);
    if (SendMessageW(hwnd, WM_INITDIALOG, reinterpret_cast<WPARAM>(focus), dwInitParam) != 0 && focus != nullptr) {
        SetFocus(focus);
    }
    // A modal dialog is shown whether or not its template says WS_VISIBLE, and activated.
    if (!state->ended) {
        ShowWindow(hwnd, SW_SHOWNORMAL);
        SetForegroundWindow(hwnd);
        sim::user::PumpMessagesUntil([&] { return state->ended; });
    }
    const INT_PTR result = state->result;
    DestroyWindow(hwnd);
    DeleteObject(state->font);
    return result;
}

BOOL EndDialog(HWND hDlg, INT_PTR nResult)
{
    WindowRecord window;
    if (!sim::user::CopyWindow(hDlg, window)) {
        return FALSE;
    }
    auto state = std::dynamic_pointer_cast<DialogState>(window.extra);
    if (state == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    state->ended = true;
    state->result = nResult;
    ShowWindow(hDlg, SW_HIDE);
    sim::user::WakeThread(window.thread);
    return TRUE;
}

// What a dialog does with a message its procedure left: WM_CLOSE becomes IDCANCEL, the rest is
// the default window handling.
LRESULT DefDlgProcW(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    if (Msg == WM_CLOSE) {
        PostMessageW(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
        return 0;
    }
    return DefWindowProcW(hDlg, Msg, wParam, lParam);
}

int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType)
{
    auto record = std::make_shared<sim::user::MessageBoxRecord>();
    record->box = {hWnd, lpText != nullptr ? lpText : u"", lpCaption != nullptr ? lpCaption : u"Error", uType,
                   GetCurrentProcessId(), true};
    record->thread = GetCurrentThreadId();
    {
        sim::user::MessageBoxes& boxes = sim::user::Boxes();
        std::lock_guard<std::mutex> held(boxes.lock);
        boxes.shown.push_back(record);
    }
    const bool ownerWasEnabled = hWnd != nullptr && IsWindowEnabled(hWnd);
    if (ownerWasEnabled) {
        EnableWindow(hWnd, FALSE);
    }
    sim::user::PumpMessagesUntil([&] {
        std::lock_guard<std::mutex> held(sim::user::Boxes().lock);
        return record->answer != 0;
    });
    if (ownerWasEnabled) {
        EnableWindow(hWnd, TRUE);
    }
    std::lock_guard<std::mutex> held(sim::user::Boxes().lock);
    record->box.open = false;
    return record->answer;
}

HICON LoadIconW(HINSTANCE hInstance, LPCWSTR lpIconName)
{
    if (hInstance == nullptr && lpIconName == IDI_APPLICATION) {
        return reinterpret_cast<HICON>(ULONG_PTR(0x10005));
    }
    auto resources = sim::user::ResourcesOfCurrentProcess();
    if (hInstance != GetModuleHandleW(nullptr) || resources == nullptr || !IS_INTRESOURCE(lpIconName)) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    const int id = int(reinterpret_cast<ULONG_PTR>(lpIconName));
    if (resources->others.count({u"ICON", id}) == 0) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HICON>(ULONG_PTR(0x50000 + id * 4));
}

// Icons from LoadIconW are shared: destroying one is allowed and changes nothing.
BOOL DestroyIcon(HICON hIcon) { return hIcon != nullptr; }

int LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax)
{
    auto resources = sim::user::ResourcesOfCurrentProcess();
    if (lpBuffer == nullptr || cchBufferMax <= 0 || hInstance != GetModuleHandleW(nullptr) || resources == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto found = resources->strings.find(int(uID));
    if (found == resources->strings.end()) {
        lpBuffer[0] = 0;
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    const size_t count = std::min(found->second.size(), size_t(cchBufferMax - 1));
    std::copy_n(found->second.c_str(), count, lpBuffer);
    lpBuffer[count] = 0;
    return int(count);
}
