// The control panel's file version, used by the version resource and the information text.
#pragma once

#define R9_CONTROL_PANEL_VERSION 1, 0, 0, 1
#define R9_CONTROL_PANEL_VERSION_TEXT "1.0.0.1"
