// The one translation unit that defines the GUIDs the kernel headers declare with DEFINE_GUID.
// <initguid.h> must come first so DEFINE_GUID turns declarations into definitions here only.
#include <initguid.h>

#include "platform/kernel.h"
