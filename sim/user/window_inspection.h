// What tests and tools see of the simulated machine's windows, and how they act as the user: the
// texts a window's last paint drew (with the font weight and colours they were drawn in), the
// pixels of its surface, message boxes (recorded with their text and answered by the caller),
// clicks and key presses on controls, and the resources of a program's image.
#pragma once

#include <string>
#include <vector>

#include "sim/api/user.h"

namespace sim::user {

struct DrawnText {
    std::u16string shown;    // the text as shown: "&&" drawn as "&", a single "&" underlines
    int underlined = -1;     // index in `shown` of the underlined character, -1 for none
    LONG weight = 0;         // of the font selected into the device context
    COLORREF color = 0;
    COLORREF background = 0;
    RECT rect = {};
};

// Texts drawn into the window since its last BeginPaint, in drawing order.
std::vector<DrawnText> TextsDrawnIn(HWND window);
// Focus rectangles drawn into the window since its last BeginPaint.
std::vector<RECT> FocusRectsDrawnIn(HWND window);
// A pixel of the window's client surface as 0x00RRGGBB; 0 outside it.
DWORD PixelOf(HWND window, int x, int y);

struct ShownMessageBox {
    HWND owner;
    std::u16string text;
    std::u16string caption;
    UINT type;
    DWORD process;
    bool open;
};
// Every message box shown on the machine, oldest first.
std::vector<ShownMessageBox> MessageBoxesShown();
// Closes the oldest open message box with `answer` (IDOK, IDCANCEL, ...); false when none is open.
bool AnswerMessageBox(int answer);

// Input as the user gives it, posted to the control's thread like the mouse and keyboard
// messages of Windows: a click on a list-box item, a click on an entry of a combo box's list, a
// key pressed while the control has the focus, the trackbar's thumb dragged to a position.
void ClickListBoxItem(HWND listBox, int index);
void ChooseComboBoxEntry(HWND comboBox, int index);
void PressKey(HWND control, WPARAM virtualKey);
void DragTrackbarThumb(HWND trackbar, int position);
// The user clicks a top-level window: it becomes the foreground window, its process the one
// that received the last input. From a thread of any process.
void ActivateAsUser(HWND window);

// The resource script (.rc text, UTF-8) compiled into the image of a program registered with
// RegisterProgram: its dialogs, string table and icons.
void RegisterProgramResources(const std::u16string& imagePath, const std::string& resourceScript);

}  // namespace sim::user
