// The one definition of each COM class and interface identifier user-mode code uses that
// mingw-w64's libuuid lacks.
#include <initguid.h>

#include "platform/user.h"
