// What the simulated PortCls shows of itself to tests and tools: the subdevices registered on the
// machine, with the device interfaces PcRegisterSubdevice made for each, and the counts of a pin's
// copy engine.
#pragma once

#include <string>
#include <vector>

#include "sim/api/kernel.h"
#include "sim/portcls/wave_cyclic_pin.h"

namespace sim::portcls {

struct RegisteredSubdevice {
    PDEVICE_OBJECT deviceObject;  // the adapter's functional device object
    std::u16string name;          // the reference string of its interfaces
    std::vector<std::u16string> interfacePaths;  // KSCATEGORY_AUDIO first, then render, capture
    bool enabled;                 // cleared by surprise removal
};

std::vector<RegisteredSubdevice> RegisteredSubdevices();

// What the port's copy engine counted on the pin open on `pinFile`; false for any other file object.
bool PinCountersOf(PFILE_OBJECT pinFile, PinCounters& counters);

// The interface classes PcRegisterSubdevice uses besides KSCATEGORY_AUDIO.
// {65E8773E-8F56-11D0-A3B9-00A0C9223196}
DEFINE_GUID(kCategoryRender, 0x65E8773E, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
// {65E8773D-8F56-11D0-A3B9-00A0C9223196}
DEFINE_GUID(kCategoryCapture, 0x65E8773D, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);

}  // namespace sim::portcls
