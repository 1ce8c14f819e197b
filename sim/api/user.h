// What user-mode product code sees of Windows on the host build.
#pragma once

#include "sim/api/base_types.h"
#include "sim/api/wide_text.h"
#include "sim/api/user_base.h"
#include "sim/api/user_sync.h"
#include "sim/api/user_files.h"
#include "sim/api/user_registry.h"
#include "sim/api/user_setupapi.h"
#include "sim/api/user_com.h"
#include "sim/api/user_mmdevice.h"
#include "sim/api/user_windows.h"
#include "sim/api/user_dialogs.h"
#include "sim/api/user_gdi.h"
