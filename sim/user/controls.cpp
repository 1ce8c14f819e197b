// The system's controls as the dialog manager creates them: list boxes (owner-drawn with fixed
// height, or drawing their own strings), drop-down-list combo boxes, static texts and frames,
// group boxes, and the common controls' trackbar (registered for a process by
// InitCommonControlsEx). Each keeps its state with its window, answers its messages with the
// documented results, and tells its parent of user input with WM_COMMAND or WM_HSCROLL.
#include <algorithm>

#include "sim/user/user_machine.h"
#include "sim/user/window_records.h"

namespace sim::user {
namespace {

constexpr UINT kItemHeight = 13;  // a list item or combo entry in the dialog font
constexpr int kTrackbarMargin = 8;  // pixels between the trackbar's ends and its channel
constexpr WPARAM kKeyLeft = 0x25, kKeyUp = 0x26, kKeyRight = 0x27, kKeyDown = 0x28;
constexpr WPARAM kKeyPageUp = 0x21, kKeyPageDown = 0x22, kKeyEnd = 0x23, kKeyHome = 0x24;

struct ItemsState : WindowExtra {
    std::vector<std::u16string> items;
    int selection = -1;
    UINT itemHeight = kItemHeight;
};

struct TrackbarState : WindowExtra {
    LONG minimum = 0;
    LONG maximum = 100;
    LONG position = 0;
    bool dragging = false;
};

LRESULT Notify(HWND control, WORD code)
{
    WindowRecord window;
    if (!CopyWindow(control, window) || window.parent == nullptr) {
        return 0;
    }
    return SendMessageW(window.parent, WM_COMMAND, MAKEWPARAM(WORD(window.id), code), reinterpret_cast<LPARAM>(control));
}

// WM_SETFONT and WM_GETFONT, which every control answers the same way.
bool FontMessage(HWND hwnd, UINT message, WPARAM wParam, LRESULT& result)
{
    if (message == WM_SETFONT) {
        ChangeWindow(hwnd, [&](WindowRecord& window) { window.font = reinterpret_cast<HGDIOBJ>(wParam); });
        result = 0;
        return true;
    }
    if (message == WM_GETFONT) {
        WindowRecord window;
        result = CopyWindow(hwnd, window) ? reinterpret_cast<LRESULT>(window.font) : 0;
        return true;
    }
    return false;
}

// Paints the window's text in its font.
void PaintOwnText(HWND hwnd, UINT format)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(hwnd, &paint);
    WindowRecord window;
    CopyWindow(hwnd, window);
    SelectObject(dc, window.font);
    DrawTextW(dc, window.text.c_str(), -1, &paint.rcPaint, format);
    EndPaint(hwnd, &paint);
}

LRESULT CopyItemText(const std::vector<std::u16string>& items, WPARAM index, LPARAM buffer)
{
    if (index >= items.size() || buffer == 0) {
        return LB_ERR;
    }
    auto* out = reinterpret_cast<WCHAR*>(buffer);
    std::copy(items[index].begin(), items[index].end(), out);
    out[items[index].size()] = 0;
    return LRESULT(items[index].size());
}

// The list's item messages, the same for list boxes and combo boxes (their own codes differ).
struct ItemMessages {
    UINT add, reset, setSelection, getSelection, getText, getTextLength, getCount;
};
constexpr ItemMessages kListBoxMessages = {LB_ADDSTRING, LB_RESETCONTENT, LB_SETCURSEL, LB_GETCURSEL,
                                           LB_GETTEXT,   LB_GETTEXTLEN,   LB_GETCOUNT};
constexpr ItemMessages kComboBoxMessages = {CB_ADDSTRING, CB_RESETCONTENT, CB_SETCURSEL, CB_GETCURSEL,
                                            CB_GETLBTEXT, CB_GETLBTEXTLEN, CB_GETCOUNT};

// Answers an item message; `changed` tells whether the items or the selection changed (the
// control is then redrawn).
bool ItemMessage(ItemsState& state, const ItemMessages& codes, UINT message, WPARAM wParam, LPARAM lParam,
                 LRESULT& result, bool& changed)
{
    changed = message == codes.add || message == codes.reset || message == codes.setSelection;
    if (message == codes.add) {
        if (lParam == 0) {
            result = LB_ERR;
        } else {
            state.items.emplace_back(reinterpret_cast<LPCWSTR>(lParam));
            result = LRESULT(state.items.size() - 1);
        }
    } else if (message == codes.reset) {
        state.items.clear();
        state.selection = -1;
        result = 0;
    } else if (message == codes.setSelection) {
        // -1, or an index beyond the items, clears the selection and answers the error value.
        const bool valid = int(wParam) >= 0 && wParam < state.items.size();
        state.selection = valid ? int(wParam) : -1;
        result = valid ? LRESULT(wParam) : LB_ERR;
    } else if (message == codes.getSelection) {
        result = state.selection;
    } else if (message == codes.getText) {
        result = CopyItemText(state.items, wParam, lParam);
    } else if (message == codes.getTextLength) {
        result = wParam < state.items.size() ? LRESULT(state.items[wParam].size()) : LB_ERR;
    } else if (message == codes.getCount) {
        result = LRESULT(state.items.size());
    } else {
        return false;
    }
    return true;
}

void PaintListBox(HWND hwnd, ItemsState& state)
{
    WindowRecord window;
    CopyWindow(hwnd, window);
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(hwnd, &paint);
    RECT client;
    GetClientRect(hwnd, &client);
    const bool focused = GetFocus() == hwnd;
    for (size_t index = 0; index < state.items.size(); ++index) {
        DRAWITEMSTRUCT item = {};
        item.CtlType = ODT_LISTBOX;
        item.CtlID = UINT(window.id);
        item.itemID = UINT(index);
        item.itemAction = ODA_DRAWENTIRE;
        const bool selected = int(index) == state.selection;
        item.itemState = (selected ? ODS_SELECTED : 0) | (selected && focused ? ODS_FOCUS : 0);
        item.hwndItem = hwnd;
        item.hDC = dc;
        item.rcItem = {0, LONG(index * state.itemHeight), client.right, LONG((index + 1) * state.itemHeight)};
        if ((window.style & LBS_OWNERDRAWFIXED) != 0) {
            SendMessageW(window.parent, WM_DRAWITEM, WPARAM(window.id), reinterpret_cast<LPARAM>(&item));
        } else {
            SelectObject(dc, window.font);
            DrawTextW(dc, state.items[index].c_str(), -1, &item.rcItem, DT_SINGLELINE | DT_NOPREFIX);
        }
    }
    EndPaint(hwnd, &paint);
}

LRESULT ListBoxProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (FontMessage(hwnd, message, wParam, result)) {
        return result;
    }
    auto state = ExtraOf<ItemsState>(hwnd);
    bool changed = false;
    if (ItemMessage(*state, kListBoxMessages, message, wParam, lParam, result, changed)) {
        if (changed) {
            InvalidateRect(hwnd, nullptr, TRUE);
        }
        return result;
    }
    WindowRecord window;
    CopyWindow(hwnd, window);
    switch (message) {
    case WM_CREATE:
        // A list box of fixed-height owner-drawn items asks its parent for their height once.
        if ((window.style & LBS_OWNERDRAWFIXED) != 0) {
            MEASUREITEMSTRUCT measure = {ODT_LISTBOX, UINT(window.id), 0, 0, kItemHeight, 0};
            SendMessageW(window.parent, WM_MEASUREITEM, WPARAM(window.id), reinterpret_cast<LPARAM>(&measure));
            state->itemHeight = std::max<UINT>(measure.itemHeight, 1);
        }
        return 0;
    case LB_GETITEMHEIGHT:
        return state->itemHeight;
    case LB_GETITEMRECT: {
        if (wParam >= state->items.size() || lParam == 0) {
            return LB_ERR;
        }
        auto* rect = reinterpret_cast<RECT*>(lParam);
        *rect = {0, LONG(wParam * state->itemHeight), window.rect.right - window.rect.left,
                 LONG((wParam + 1) * state->itemHeight)};
        return 1;
    }
    case WM_LBUTTONDOWN: {
        SetFocus(hwnd);
        const int index = int(HIWORD(lParam)) / int(state->itemHeight);
        if (index < int(state->items.size()) && index != state->selection) {
            state->selection = index;
            InvalidateRect(hwnd, nullptr, TRUE);
            if ((window.style & LBS_NOTIFY) != 0) {
                Notify(hwnd, LBN_SELCHANGE);
            }
        }
        return 0;
    }
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
        InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    case WM_PAINT:
        PaintListBox(hwnd, *state);
        return 0;
    default:
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

// A drop-down list: its text is the selected entry's; a click on an entry of the opened list
// (below the control) selects it and tells the parent.
LRESULT ComboBoxProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (FontMessage(hwnd, message, wParam, result)) {
        return result;
    }
    auto state = ExtraOf<ItemsState>(hwnd);
    bool changed = false;
    if (ItemMessage(*state, kComboBoxMessages, message, wParam, lParam, result, changed)) {
        if (changed) {
            SetWindowTextW(hwnd, state->selection >= 0 ? state->items[size_t(state->selection)].c_str() : u"");
        }
        return result;
    }
    switch (message) {
    case WM_LBUTTONDOWN: {
        SetFocus(hwnd);
        RECT client;
        GetClientRect(hwnd, &client);
        const int entry = (int(HIWORD(lParam)) - client.bottom) / int(kItemHeight);
        if (int(HIWORD(lParam)) >= client.bottom && entry < int(state->items.size()) && entry != state->selection) {
            state->selection = entry;
            SetWindowTextW(hwnd, state->items[size_t(entry)].c_str());
            Notify(hwnd, CBN_SELCHANGE);
        }
        return 0;
    }
    case WM_PAINT:
        PaintOwnText(hwnd, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
        return 0;
    default:
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

// Static texts and frames, and group boxes: they draw their text (a frame draws none).
LRESULT StaticProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (FontMessage(hwnd, message, wParam, result)) {
        return result;
    }
    if (message != WM_PAINT) {
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    WindowRecord window;
    CopyWindow(hwnd, window);
    if ((window.style & 0x1F) == SS_BLACKFRAME && window.className == ClassKey(u"Static")) {
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    PaintOwnText(hwnd, (window.style & SS_NOPREFIX) != 0 ? DT_NOPREFIX : 0);
    return 0;
}

void MoveTrackbar(HWND hwnd, TrackbarState& state, LONG position, WORD code)
{
    state.position = std::clamp(position, state.minimum, state.maximum);
    InvalidateRect(hwnd, nullptr, TRUE);
    SendMessageW(GetParent(hwnd), WM_HSCROLL, MAKEWPARAM(code, code == TB_THUMBPOSITION || code == TB_THUMBTRACK ? WORD(state.position) : 0),
                 reinterpret_cast<LPARAM>(hwnd));
}

LONG TrackbarPositionAt(HWND hwnd, const TrackbarState& state, int x)
{
    RECT client;
    GetClientRect(hwnd, &client);
    const LONG channel = std::max<LONG>(client.right - 2 * kTrackbarMargin, 1);
    const LONG span = state.maximum - state.minimum;
    return state.minimum + LONG((int64_t(x - kTrackbarMargin) * span + channel / 2) / channel);
}

// A horizontal trackbar: the arrow keys move it by one, page keys by a fifth of its range, Home
// and End to its ends; dragging the thumb reports TB_THUMBTRACK while it moves and
// TB_THUMBPOSITION where it is let go; TB_ENDTRACK follows every move.
LRESULT TrackbarProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (FontMessage(hwnd, message, wParam, result)) {
        return result;
    }
    auto state = ExtraOf<TrackbarState>(hwnd);
    const LONG page = std::max<LONG>((state->maximum - state->minimum) / 5, 1);
    switch (message) {
    case TBM_GETPOS:
        return state->position;
    case TBM_GETRANGEMIN:
        return state->minimum;
    case TBM_GETRANGEMAX:
        return state->maximum;
    case TBM_SETPOS:
        state->position = std::clamp(LONG(lParam), state->minimum, state->maximum);
        InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    case TBM_SETRANGE:
    case TBM_SETRANGEMIN:
    case TBM_SETRANGEMAX:
        if (message != TBM_SETRANGEMAX) {
            state->minimum = message == TBM_SETRANGE ? LONG(SHORT(LOWORD(lParam))) : LONG(lParam);
        }
        if (message != TBM_SETRANGEMIN) {
            state->maximum = message == TBM_SETRANGE ? LONG(SHORT(HIWORD(lParam))) : LONG(lParam);
        }
        // A position outside the new range moves to its nearer end.
        state->position = std::clamp(state->position, state->minimum, std::max(state->minimum, state->maximum));
        InvalidateRect(hwnd, nullptr, TRUE);
        return 0;
    case WM_KEYDOWN:
        switch (wParam) {
        case kKeyLeft:
        case kKeyUp:
            MoveTrackbar(hwnd, *state, state->position - 1, TB_LINEUP);
            break;
        case kKeyRight:
        case kKeyDown:
            MoveTrackbar(hwnd, *state, state->position + 1, TB_LINEDOWN);
            break;
        case kKeyPageUp:
            MoveTrackbar(hwnd, *state, state->position - page, TB_PAGEUP);
            break;
        case kKeyPageDown:
            MoveTrackbar(hwnd, *state, state->position + page, TB_PAGEDOWN);
            break;
        case kKeyHome:
            MoveTrackbar(hwnd, *state, state->minimum, TB_TOP);
            break;
        case kKeyEnd:
            MoveTrackbar(hwnd, *state, state->maximum, TB_BOTTOM);
            break;
        default:
            break;
        }
        return 0;
    case WM_KEYUP:
        SendMessageW(GetParent(hwnd), WM_HSCROLL, MAKEWPARAM(TB_ENDTRACK, 0), reinterpret_cast<LPARAM>(hwnd));
        return 0;
    case WM_LBUTTONDOWN:
        SetFocus(hwnd);
        state->dragging = true;
        return 0;
    case WM_MOUSEMOVE:
        if (state->dragging) {
            MoveTrackbar(hwnd, *state, TrackbarPositionAt(hwnd, *state, SHORT(LOWORD(lParam))), TB_THUMBTRACK);
        }
        return 0;
    case WM_LBUTTONUP:
        if (state->dragging) {
            state->dragging = false;
            MoveTrackbar(hwnd, *state, TrackbarPositionAt(hwnd, *state, SHORT(LOWORD(lParam))), TB_THUMBPOSITION);
            SendMessageW(GetParent(hwnd), WM_HSCROLL, MAKEWPARAM(TB_ENDTRACK, 0), reinterpret_cast<LPARAM>(hwnd));
        }
        return 0;
    default:
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

// Disabled or hidden windows get no mouse or keyboard input: the user's click goes nowhere.
bool EnabledAndVisible(HWND control)
{
    if (!IsWindowEnabled(control) || !IsWindowVisible(control)) {
        return false;
    }
    NoteUserInput(control);
    return true;
}

}  // namespace

void RegisterControlClasses(WindowManager& manager)
{
    manager.classes[std::make_pair(kSystemClasses, ClassKey(u"ListBox"))] = {ListBoxProcedure, nullptr};
    manager.classes[std::make_pair(kSystemClasses, ClassKey(u"ComboBox"))] = {ComboBoxProcedure, nullptr};
    manager.classes[std::make_pair(kSystemClasses, ClassKey(u"Static"))] = {StaticProcedure, nullptr};
    manager.classes[std::make_pair(kSystemClasses, ClassKey(u"Button"))] = {StaticProcedure, nullptr};
    manager.classes[std::make_pair(kSystemClasses, ClassKey(u"#32770"))] = {DialogWindowProcedure, nullptr};
}

void ClickListBoxItem(HWND listBox, int index)
{
    const LRESULT height = SendMessageW(listBox, LB_GETITEMHEIGHT, 0, 0);
    if (EnabledAndVisible(listBox)) {
        const LPARAM at = MAKELPARAM(4, index * int(height) + int(height) / 2);
        PostMessageW(listBox, WM_LBUTTONDOWN, 1, at);
        PostMessageW(listBox, WM_LBUTTONUP, 0, at);
    }
}

void ChooseComboBoxEntry(HWND comboBox, int index)
{
    RECT client = {};
    GetClientRect(comboBox, &client);
    if (EnabledAndVisible(comboBox)) {
        const LPARAM at = MAKELPARAM(4, client.bottom + index * int(kItemHeight) + int(kItemHeight) / 2);
        PostMessageW(comboBox, WM_LBUTTONDOWN, 1, at);
        PostMessageW(comboBox, WM_LBUTTONUP, 0, at);
    }
}

void PressKey(HWND control, WPARAM virtualKey)
{
    if (EnabledAndVisible(control)) {
        PostMessageW(control, WM_KEYDOWN, virtualKey, 1);
        PostMessageW(control, WM_KEYUP, virtualKey, 1);
    }
}

void DragTrackbarThumb(HWND trackbar, int position)
{
    RECT client = {};
    GetClientRect(trackbar, &client);
    const LONG minimum = LONG(SendMessageW(trackbar, TBM_GETRANGEMIN, 0, 0));
    const LONG maximum = LONG(SendMessageW(trackbar, TBM_GETRANGEMAX, 0, 0));
    const LONG current = LONG(SendMessageW(trackbar, TBM_GETPOS, 0, 0));
    const LONG channel = std::max<LONG>(client.right - 2 * kTrackbarMargin, 1);
    const LONG span = std::max<LONG>(maximum - minimum, 1);
    auto xOf = [&](LONG value) { return kTrackbarMargin + LONG(int64_t(value - minimum) * channel / span); };
    if (EnabledAndVisible(trackbar)) {
        PostMessageW(trackbar, WM_LBUTTONDOWN, 1, MAKELPARAM(xOf(current), client.bottom / 2));
        PostMessageW(trackbar, WM_MOUSEMOVE, 1, MAKELPARAM(xOf(position), client.bottom / 2));
        PostMessageW(trackbar, WM_LBUTTONUP, 0, MAKELPARAM(xOf(position), client.bottom / 2));
    }
}

}  // namespace sim::user

// comctl32 registers its classes for the calling process; the trackbar is among the "bar"
// classes (ICC_BAR_CLASSES).
BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce)
{
    constexpr DWORD kBarClasses = 0x00000004;
    if (picce == nullptr || picce->dwSize != sizeof(INITCOMMONCONTROLSEX)) {
        return FALSE;
    }
    if ((picce->dwICC & kBarClasses) != 0) {
        sim::user::RegisterSystemClass(sim::user::CommonControlsOf(GetCurrentProcessId()), TRACKBAR_CLASSW,
                                       sim::user::TrackbarProcedure);
    }
    return TRUE;
}
