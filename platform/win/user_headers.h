// User-mode declarations for the windows build: the Windows SDK headers mingw-w64 ships.
// Included through platform/user.h only.
#pragma once

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif

#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>
#include <commctrl.h>
#include <dbt.h>
#include <psapi.h>
#include <objbase.h>
#include <setupapi.h>
#include <mmsystem.h>
#include <avrt.h>
#include <propidl.h>
#include <propsys.h>
#include <mmdeviceapi.h>
#include <audioendpoints.h>

#define W(text) L##text

// Data a module keeps for the process that loaded it: every process has its own copy of a DLL's
// data, so a plain value is enough.
template <class T> class ProcessLocal {
public:
    T& Get() { return value_; }

private:
    T value_{};
};
