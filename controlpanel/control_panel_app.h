// CAsioControlPanelApp, the program around the dialog: common controls and COM, the rule that
// one control panel runs per machine, and a second start that brings the running one to the
// front instead of opening another window.
#pragma once

#include "platform/user.h"

class CAsioControlPanelApp {
public:
    explicit CAsioControlPanelApp(HINSTANCE instance) : m_Instance(instance) { }

    // The program's whole life; its exit code.
    int Run();

private:
    void ActivateRunningInstance();
    static BOOL CALLBACK MatchWindow(HWND window, LPARAM search);

    HINSTANCE m_Instance;
};
