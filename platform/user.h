// The one header user-mode sources include (besides the C++ standard library).
#pragma once

#if defined(_WIN32)
#include "platform/win/user_headers.h"
#else
#include "sim/api/user.h"
#endif
