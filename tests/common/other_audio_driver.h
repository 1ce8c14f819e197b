// Another vendor's audio driver for the device-list tests: on start it registers its wave filter
// under the audio interface class, with a "\wave" reference string as the R9's driver does, and
// turns it off at removal. It holds no pool while its device runs, so the R9's driver can unload
// beside it.
#pragma once

#include "platform/kernel.h"

namespace otheraudiodriver {

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

}  // namespace otheraudiodriver
