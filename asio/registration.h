// The registry entries through which hosts find the driver: the class under HKCR\CLSID and the
// driver's key under HKLM\SOFTWARE\ASIO.
#pragma once

#include "platform/user.h"

// Both return S_OK, or E_FAIL (-1 as an HRESULT) when the module's path cannot be learned;
// registry operations that fail are not reported.
HRESULT RegisterDriver();
HRESULT UnregisterDriver();
