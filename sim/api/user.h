// What user-mode product code sees of Windows on the host build.
#pragma once

#include "sim/api/base_types.h"
#include "sim/api/wide_text.h"
