// The one header kernel-mode sources include. It is the only place that knows which platform
// the driver is built for: the real Windows DDK headers, or the simulated machine's declarations.
#pragma once

#if defined(_WIN32)
#include "platform/win/kernel_headers.h"
#else
#include "sim/api/kernel.h"
#endif
