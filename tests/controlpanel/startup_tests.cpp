// Start-up and single instance: a second start brings the running control panel to the front and
// ends; a window of another program with the same title, or a running copy under another file
// name, is not taken for it; the marker goes with the first instance; and a panel that cannot have
// the settings lock closes at once.
#include "common/change_events.h"
#include "tests/controlpanel/panel_bench.h"

namespace paneltest {
namespace {

const std::u16string kCopyImage = u"C:\\Temp\\r9panel.exe";

LRESULT PlainWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(window, message, wParam, lParam);
}

// A top-level window of the test's own process (another program), which the user clicks.
class OtherProgramWindow {
public:
    explicit OtherProgramWindow(const WCHAR* title)
    {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = PlainWindowProcedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = W("OtherProgram");
        RegisterClassW(&windowClass);
        window_ = CreateWindowExW(0, W("OtherProgram"), title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100, nullptr,
                                  nullptr, GetModuleHandleW(nullptr), nullptr);
        sim::user::ActivateAsUser(window_);
    }
    ~OtherProgramWindow() { DestroyWindow(window_); }
    HWND Window() const { return window_; }

private:
    HWND window_;
};

// Starts a program and waits for it to end by itself; its exit code, or STILL_ACTIVE.
DWORD RunToEnd(const std::u16string& image)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION information = {};
    EXPECT_TRUE(CreateProcessW(image.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &information));
    DWORD code = STILL_ACTIVE;
    EXPECT_EQ(WaitForSingleObject(information.hProcess, 5000), WAIT_OBJECT_0);
    GetExitCodeProcess(information.hProcess, &code);
    CloseHandle(information.hThread);
    CloseHandle(information.hProcess);
    return code;
}

size_t PanelWindows()
{
    size_t count = 0;
    EnumWindows(
        [](HWND window, LPARAM counter) -> BOOL {
            WCHAR title[64] = {};
            GetWindowTextW(window, title, 64);
            if (lstrcmpW(title, W("TAVO R9 Control Panel")) == 0 && IsWindowVisible(window)) {
                ++*reinterpret_cast<size_t*>(counter);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&count));
    return count;
}

TEST(PanelStartup, ASecondStartRestoresTheFirstAndEnds)
{
    PanelMachine machine;
    PanelProcess first;
    ShowWindow(first.Window(), SW_MINIMIZE);
    OtherProgramWindow other(W("Notes"));
    ASSERT_EQ(GetForegroundWindow(), other.Window());
    EXPECT_EQ(RunToEnd(kPanelImage), 0u);
    EXPECT_EQ(GetForegroundWindow(), first.Window());
    EXPECT_FALSE(IsIconic(first.Window()));
    EXPECT_EQ(PanelWindows(), 1u);
}

TEST(PanelStartup, AnotherProgramsWindowWithTheSameTitleIsPassedOver)
{
    PanelMachine machine;
    // Made before the panel's, so that the search meets it first.
    OtherProgramWindow impostor(W("TAVO R9 Control Panel"));
    PanelProcess first;
    ShowWindow(first.Window(), SW_MINIMIZE);
    sim::user::ActivateAsUser(impostor.Window());
    EXPECT_EQ(RunToEnd(kPanelImage), 0u);
    EXPECT_EQ(GetForegroundWindow(), first.Window());
    EXPECT_FALSE(IsIconic(first.Window()));
}

TEST(PanelStartup, ACopyUnderAnotherFileNameFindsNoWindowAndEnds)
{
    PanelMachine machine;
    InstallControlPanel(kCopyImage);
    PanelProcess first;
    ShowWindow(first.Window(), SW_MINIMIZE);
    OtherProgramWindow other(W("Notes"));
    EXPECT_EQ(RunToEnd(kCopyImage), 0u);
    EXPECT_EQ(GetForegroundWindow(), other.Window());
    EXPECT_TRUE(IsIconic(first.Window()));
    EXPECT_EQ(PanelWindows(), 1u) << "no second panel window";
}

// The second start may bring the first panel forward because the program in the foreground started
// it; a program that neither is in the foreground nor had the user's input may not.
TEST(PanelStartup, TheForegroundIsNotTakenWithoutTheUsersConsent)
{
    PanelMachine machine;
    PanelProcess first;
    ASSERT_EQ(GetForegroundWindow(), first.Window());
    HWND other = CreateWindowExW(0, W("Static"), W("Notes"), WS_VISIBLE, 0, 0, 200, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_FALSE(SetForegroundWindow(other));
    EXPECT_EQ(GetForegroundWindow(), first.Window());
    DestroyWindow(other);
}

TEST(PanelStartup, TheMarkerGoesWithTheFirstInstance)
{
    PanelMachine machine;
    {
        PanelProcess first;
        ASSERT_NE(first.Window(), nullptr);
    }
    PanelProcess next;
    EXPECT_NE(next.Window(), nullptr);
}

TEST(PanelStartup, WithoutTheSettingsLockTheDialogClosesAtOnce)
{
    PanelMachine machine;
    // An object of another type holds the lock's name: the mutex can be neither created nor opened.
    HANDLE squatter = CreateEventW(nullptr, TRUE, FALSE, kSettingsLockName);
    ASSERT_NE(squatter, nullptr);
    EXPECT_EQ(RunToEnd(kPanelImage), 0u);
    EXPECT_TRUE(sim::user::MessageBoxesShown().empty());
    CloseHandle(squatter);
}

}  // namespace
}  // namespace paneltest
