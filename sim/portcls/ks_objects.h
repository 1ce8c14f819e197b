// The kernel-streaming objects PortCls opens on an adapter's device object: a filter (a create on
// a subdevice's name) and a pin (a create relative to an open filter). A file object of either
// carries the object's record in FsContext and FsContext2, as KS keeps its object header there; the
// record is a whole object, so whatever reads the start of FsContext2 finds memory of its size.
#pragma once

#include "sim/api/kernel.h"

namespace sim::portcls {

class WaveCyclicPin;
class WaveCyclicPort;

enum class KsObjectKind : ULONG { Filter = 0x4B534631, Pin = 0x4B535031 };

struct KsObject {
    KsObjectKind kind;
    WaveCyclicPort* port;  // counted
    WaveCyclicPin* pin;    // counted; pins only
};

// The record of a file object PortCls opened, or null.
KsObject* KsObjectOf(PFILE_OBJECT file);

// IRQL: PASSIVE_LEVEL. IOCTL_KS_PROPERTY on a filter or pin (property_dispatch.cpp).
NTSTATUS DispatchProperty(KsObject& object, PIRP irp);

}  // namespace sim::portcls
