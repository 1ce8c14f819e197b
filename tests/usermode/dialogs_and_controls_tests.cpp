// The dialog manager, the controls and the window calls of the simulated machine against their
// documented behaviour, failures included: how a resource script's statements become styles,
// DialogBoxParamW's failures, the controls' answers to out-of-range requests, message retrieval
// with filters, suspended threads, DrawTextW's prefix rule and what one process learns of another.
#include <gtest/gtest.h>

#include <string>

#include "sim/kernel/machine.h"
#include "sim/user/processes.h"
#include "sim/user/resource_script.h"
#include "sim/user/window_inspection.h"

namespace {

const char kScript[] = R"rc(
#include <windows.h>
// A comment, and a statement over two lines.
7 DIALOGEX 0, 0, 100, 50
STYLE DS_MODALFRAME | WS_POPUP
FONT 8, "MS Shell Dlg"
BEGIN
    CONTROL "A ""quoted"" text", 10, "Static", SS_LEFT | NOT WS_VISIBLE, 1, 2, 30,
            8, WS_EX_STATICEDGE
    CONTROL "", 11, "ListBox", LBS_NOTIFY | WS_TABSTOP, 1, 12, 40, 30
END
8 DIALOGEX 0, 0, 50, 20
BEGIN
    CONTROL "", 12, "msctls_trackbar32", TBS_BOTH, 0, 0, 50, 15
END
STRINGTABLE
BEGIN
    5 "five"
END
128 ICON "app.ico"
)rc";

const std::u16string kImage = u"C:\\Tools\\dialogs.exe";

class DialogsTest : public ::testing::Test {
protected:
    DialogsTest() { sim::user::RegisterProgramResources(kImage, kScript); }

    sim::Machine machine;
    sim::user::ProcessScope process{kImage};
};

TEST(ResourceScript, StatementsBecomeTheTemplatesStyles)
{
    const sim::user::ProgramResources resources = sim::user::CompileResourceScript(kScript);
    ASSERT_EQ(resources.dialogs.count(7), 1u);
    const sim::user::DialogTemplate& dialog = resources.dialogs.at(7);
    // STYLE replaces the default; FONT adds DS_SETFONT.
    EXPECT_EQ(dialog.style, DWORD(DS_MODALFRAME | WS_POPUP | DS_SETFONT));
    EXPECT_EQ(dialog.fontPoints, 8);
    EXPECT_EQ(dialog.fontName, u"MS Shell Dlg");
    ASSERT_EQ(dialog.controls.size(), 2u);
    // CONTROL gets WS_CHILD | WS_VISIBLE unless NOT takes a bit away.
    EXPECT_EQ(dialog.controls[0].text, u"A \"quoted\" text");
    EXPECT_EQ(dialog.controls[0].style, DWORD(WS_CHILD | SS_LEFT));
    EXPECT_EQ(dialog.controls[0].exStyle, DWORD(WS_EX_STATICEDGE));
    EXPECT_EQ(dialog.controls[0].dialogUnits.right, 31);
    EXPECT_EQ(dialog.controls[0].dialogUnits.bottom, 10);
    EXPECT_EQ(dialog.controls[1].style, DWORD(WS_CHILD | WS_VISIBLE | LBS_NOTIFY | WS_TABSTOP));
    EXPECT_EQ(resources.strings.at(5), u"five");
    EXPECT_EQ(resources.others.count({u"ICON", 128}), 1u);
}

INT_PTR EndAtOnce(HWND dialog, UINT message, WPARAM, LPARAM parameter)
{
    if (message == WM_INITDIALOG) {
        EndDialog(dialog, parameter);
    }
    return message == WM_INITDIALOG;
}

TEST_F(DialogsTest, DialogBoxParamFailsAsWindowsDoes)
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    EXPECT_EQ(DialogBoxParamW(instance, MAKEINTRESOURCEW(9), nullptr, EndAtOnce, 0), -1);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_NAME_NOT_FOUND));
    // The trackbar is a common control: without InitCommonControlsEx its class does not exist.
    EXPECT_EQ(DialogBoxParamW(instance, MAKEINTRESOURCEW(8), nullptr, EndAtOnce, 0), -1);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_CANNOT_FIND_WND_CLASS));
    const INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES};
    ASSERT_TRUE(InitCommonControlsEx(&controls));
    EXPECT_EQ(DialogBoxParamW(instance, MAKEINTRESOURCEW(8), nullptr, EndAtOnce, 42), 42);
    EXPECT_EQ(DialogBoxParamW(instance, MAKEINTRESOURCEW(7), nullptr, EndAtOnce, 5), 5);
    WCHAR text[8] = {};
    EXPECT_EQ(LoadStringW(instance, 5, text, 8), 4);
    EXPECT_EQ(std::u16string(text), u"five");
    EXPECT_EQ(LoadStringW(instance, 6, text, 8), 0);
    EXPECT_NE(LoadIconW(instance, MAKEINTRESOURCEW(128)), nullptr);
    EXPECT_EQ(LoadIconW(instance, MAKEINTRESOURCEW(129)), nullptr);
}

LRESULT Plain(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND MakeParent()
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = Plain;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = W("Parent");
    RegisterClassW(&windowClass);
    return CreateWindowExW(0, W("Parent"), W("parent"), WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
}

TEST_F(DialogsTest, ControlsAnswerOutOfRangeRequestsWithTheirErrorValues)
{
    HWND parent = MakeParent();
    HWND list = CreateWindowExW(0, W("ListBox"), W(""), WS_CHILD | LBS_HASSTRINGS, 0, 0, 50, 50, parent,
                                reinterpret_cast<HMENU>(1), GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W("one"))), 0);
    EXPECT_EQ(SendMessageW(list, LB_SETCURSEL, 0, 0), 0);
    EXPECT_EQ(SendMessageW(list, LB_SETCURSEL, 3, 0), LB_ERR);
    EXPECT_EQ(SendMessageW(list, LB_GETCURSEL, 0, 0), LB_ERR) << "an index beyond the items clears the selection";
    EXPECT_EQ(SendMessageW(list, LB_SETCURSEL, WPARAM(-1), 0), LB_ERR);
    WCHAR text[8] = {};
    EXPECT_EQ(SendMessageW(list, LB_GETTEXT, 1, reinterpret_cast<LPARAM>(text)), LB_ERR);
    EXPECT_EQ(CreateWindowExW(0, W("ListBox"), W(""), WS_CHILD, 0, 0, 5, 5, nullptr, nullptr, nullptr, nullptr), nullptr)
        << "a child needs a parent";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_TLW_WITH_WSCHILD));
    const INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    HWND trackbar = CreateWindowExW(0, W("msctls_trackbar32"), W(""), WS_CHILD, 0, 0, 100, 20, parent,
                                    reinterpret_cast<HMENU>(2), GetModuleHandleW(nullptr), nullptr);
    SendMessageW(trackbar, TBM_SETRANGE, TRUE, MAKELPARAM(0, 126));
    SendMessageW(trackbar, TBM_SETPOS, TRUE, 200);
    EXPECT_EQ(SendMessageW(trackbar, TBM_GETPOS, 0, 0), 126) << "a position is kept within the range";
    SendMessageW(trackbar, TBM_SETRANGE, TRUE, MAKELPARAM(2, 100));
    EXPECT_EQ(SendMessageW(trackbar, TBM_GETPOS, 0, 0), 100) << "a new range moves the position into it";
    EXPECT_EQ(GetDlgItem(parent, 2), trackbar);
    EXPECT_EQ(GetDlgItem(parent, 3), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_CONTROL_ID_NOT_FOUND));
    DestroyWindow(parent);
    EXPECT_FALSE(IsWindow(list)) << "children go with their parent";
}

TEST_F(DialogsTest, PeekMessageTakesOnlyWhatItsFiltersLetThrough)
{
    HWND window = MakeParent();
    PostMessageW(window, WM_KEYDOWN, 0x41, 0);
    PostMessageW(window, WM_APP, 1, 0);
    PostMessageW(window, WM_LBUTTONDOWN, 0, 0);
    MSG message;
    EXPECT_TRUE(PeekMessageW(&message, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_NOREMOVE));
    EXPECT_EQ(message.message, UINT(WM_LBUTTONDOWN));
    EXPECT_TRUE(PeekMessageW(&message, window, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE));
    EXPECT_FALSE(PeekMessageW(&message, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE));
    EXPECT_TRUE(PeekMessageW(&message, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE));
    EXPECT_EQ(message.wParam, WPARAM(0x41));
    EXPECT_TRUE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(message.message, UINT(WM_APP));
    DestroyWindow(window);
}

DWORD MarkRan(LPVOID ran)
{
    *static_cast<bool*>(ran) = true;
    return 7;
}

TEST_F(DialogsTest, ASuspendedThreadRunsOnlyOnceResumed)
{
    bool ran = false;
    HANDLE thread = CreateThread(nullptr, 0, MarkRan, &ran, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 50), DWORD(WAIT_TIMEOUT));
    EXPECT_FALSE(ran);
    EXPECT_EQ(ResumeThread(thread), 1u);
    EXPECT_EQ(WaitForSingleObject(thread, 50), WAIT_OBJECT_0);
    EXPECT_TRUE(ran);
    EXPECT_EQ(ResumeThread(thread), 0u);
    CloseHandle(thread);
}

TEST_F(DialogsTest, DrawTextShowsAmpersandsByThePrefixRule)
{
    HWND window = MakeParent();
    HDC dc = GetDC(window);
    RECT rect = {0, 0, 100, 20};
    const struct {
        const char16_t* text;
        UINT format;
        const char16_t* shown;
        int underlined;
    } cases[] = {
        {u"Rock && Roll", 0, u"Rock & Roll", -1},
        {u"&Open", 0, u"Open", 0},
        {u"Rock & Roll", DT_NOPREFIX, u"Rock & Roll", -1},
    };
    for (const auto& c : cases) {
        DrawTextW(dc, c.text, -1, &rect, c.format);
        const auto drawn = sim::user::TextsDrawnIn(window);
        ASSERT_FALSE(drawn.empty());
        EXPECT_EQ(drawn.back().shown, c.shown);
        EXPECT_EQ(drawn.back().underlined, c.underlined);
    }
    ReleaseDC(window, dc);
    DestroyWindow(window);
}

TEST_F(DialogsTest, AnotherProcessIsKnownByItsIdAndItsImagesDevicePath)
{
    EXPECT_EQ(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 0xFFFF0), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    HANDLE self = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId());
    ASSERT_NE(self, nullptr);
    WCHAR image[64] = {};
    EXPECT_EQ(K32GetProcessImageFileNameW(self, image, 10), 0u) << "too small";
    EXPECT_GT(K32GetProcessImageFileNameW(self, image, 64), 0u);
    EXPECT_EQ(std::u16string(image), u"\\Device\\HarddiskVolume1\\Tools\\dialogs.exe");
    CloseHandle(self);
}

}  // namespace
