// Checks a running control panel from another Windows program, as a user would see it with no R9
// present: its window exists under the product's title, the device list is empty, the group box
// reads "Setting", and the rate and buffer-size controls are disabled. Then it minimises the
// panel, starts the panel a second time and checks that the second start ended and brought the
// first back to the front. Prints one line per check; exit code 0 when all passed.
#include <cstdio>

#include "controlpanel/resource_ids.h"
#include "platform/user.h"

namespace {

const WCHAR kTitle[] = W("TAVO R9 Control Panel");
int g_Failures = 0;

void Check(bool passed, const char* what)
{
    std::printf("%s: %s\n", passed ? "ok" : "FAILED", what);
    std::fflush(stdout);
    g_Failures += passed ? 0 : 1;
}

HWND WaitForPanel()
{
    for (int tries = 0; tries < 300; ++tries) {
        HWND window = FindWindowW(nullptr, kTitle);
        if (window != nullptr && IsWindowVisible(window)) {
            return window;
        }
        Sleep(100);
    }
    return nullptr;
}

bool TextIs(HWND dialog, int id, const WCHAR* expected)
{
    WCHAR text[64] = {};
    GetWindowTextW(GetDlgItem(dialog, id), text, 64);
    return lstrcmpW(text, expected) == 0;
}

}  // namespace

int wmain(int argc, WCHAR** argv)
{
    if (argc != 2) {
        std::printf("usage: panel_window_check <path of tvr9audiocp.exe>\n");
        return 2;
    }
    HWND panel = WaitForPanel();
    Check(panel != nullptr, "a window titled \"TAVO R9 Control Panel\" exists");
    if (panel == nullptr) {
        return 1;
    }
    Check(SendMessageW(GetDlgItem(panel, kDeviceListBox), LB_GETCOUNT, 0, 0) == 0, "the device list is empty");
    Check(TextIs(panel, kSettingGroup, W("Setting")), "the group box reads \"Setting\"");
    Check(!IsWindowEnabled(GetDlgItem(panel, kRateCombo)), "the rate list is disabled");
    Check(!IsWindowEnabled(GetDlgItem(panel, kBufferTrackbar)), "the buffer-size trackbar is disabled");
    Check(TextIs(panel, kBufferSizeReadout, W("----")), "the buffer size reads \"----\"");

    ShowWindow(panel, SW_MINIMIZE);
    Check(IsIconic(panel) != FALSE, "the panel is minimised");
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION second = {};
    const BOOL started =
        CreateProcessW(argv[1], nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &second);
    Check(started != FALSE, "a second control panel starts");
    if (started) {
        Check(WaitForSingleObject(second.hProcess, 30000) == WAIT_OBJECT_0, "the second start ends by itself");
        CloseHandle(second.hThread);
        CloseHandle(second.hProcess);
    }
    Sleep(500);
    Check(IsIconic(panel) == FALSE, "the first panel is restored");
    Check(GetForegroundWindow() == panel, "the first panel is in the foreground");
    Check(FindWindowExW(nullptr, panel, nullptr, kTitle) == nullptr, "there is one panel window");
    PostMessageW(panel, WM_CLOSE, 0, 0);
    return g_Failures == 0 ? 0 : 1;
}
