// Start-up and single instance. The instance marker is a machine-wide mutex held (never
// released) by the first control panel until it ends; a later start looks for the first one's
// window by its title and by the image file name of the process that owns it.
#include "controlpanel/control_panel_app.h"

#include "common/trace.h"
#include "controlpanel/control_panel_dialog.h"

namespace {

const WCHAR kInstanceMarkerName[] = W("Global\\{8B530174-8B34-48B8-AA68-B3170BDFC34E}");
const WCHAR kWindowTitle[] = W("TAVO R9 Control Panel");
constexpr size_t kTitleBuffer = 23;
constexpr size_t kImageBuffer = 261;

// The file-name part of a path.
const WCHAR* FileNamePart(const WCHAR* path)
{
    const WCHAR* name = path;
    for (const WCHAR* character = path; *character != 0; ++character) {
        if (*character == W('\\') || *character == W('/')) {
            name = character + 1;
        }
    }
    return name;
}

struct WindowSearch {
    WCHAR ownImage[kImageBuffer];
    HWND found;
};

}  // namespace

int CAsioControlPanelApp::Run()
{
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    TraceEvent(W("CAsioControlPanelApp: start"));
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(com)) {
        TraceEvent(W("CAsioControlPanelApp: COM cannot be initialised (0x%08lX)"), static_cast<unsigned long>(com));
        return 0;
    }
    HANDLE marker = CreateMutexW(nullptr, TRUE, kInstanceMarkerName);
    if (marker != nullptr && GetLastError() != ERROR_ALREADY_EXISTS) {
        CAsioControlPanelDlg dialog(m_Instance);
        dialog.DoModal();
    } else {
        ActivateRunningInstance();
    }
    // The marker stays held until the process ends, so that no second panel starts meanwhile.
    TraceEvent(W("CAsioControlPanelApp: end"));
    CoUninitialize();
    return 0;
}

void CAsioControlPanelApp::ActivateRunningInstance()
{
    WindowSearch search = {};
    WCHAR ownPath[kImageBuffer] = {};
    GetModuleFileNameW(nullptr, ownPath, ARRAYSIZE(ownPath));
    wcsncpy_s(search.ownImage, ARRAYSIZE(search.ownImage), FileNamePart(ownPath), _TRUNCATE);
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) {
        ShowWindow(search.found, SW_SHOWNORMAL);
        SetForegroundWindow(search.found);
    }
}

// The title must match exactly; the owner's image file name too (another program may use the
// same title).
BOOL CALLBACK CAsioControlPanelApp::MatchWindow(HWND window, LPARAM search)
{
    auto* wanted = reinterpret_cast<WindowSearch*>(search);
    WCHAR title[kTitleBuffer] = {};
    GetWindowTextW(window, title, int(kTitleBuffer));
    if (wcsncmp(title, kWindowTitle, ARRAYSIZE(kWindowTitle)) != 0) {
        return TRUE;
    }
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (process == nullptr) {
        return TRUE;
    }
    WCHAR image[kImageBuffer] = {};
    const DWORD length = K32GetProcessImageFileNameW(process, image, DWORD(ARRAYSIZE(image)));
    CloseHandle(process);
    if (length == 0 || lstrcmpW(FileNamePart(image), wanted->ownImage) != 0) {
        return TRUE;
    }
    wanted->found = window;
    return FALSE;
}
