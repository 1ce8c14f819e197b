// User-mode declarations for the windows build: the Windows SDK headers mingw-w64 ships.
// Included through platform/user.h only.
#pragma once

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif

#include <windows.h>
#include <objbase.h>
#include <setupapi.h>

#define W(text) L##text
