// The Windows entry point of tvr9audiocp.exe. The program takes no arguments.
#include "controlpanel/control_panel_app.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    return CAsioControlPanelApp(instance).Run();
}
