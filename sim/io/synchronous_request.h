// One IRP sent to the top of a device's stack and waited for, as a kernel caller that builds its
// own request does: allocated for the stack's size, completed into an event, freed afterwards.
// For the simulated machine's own services (Plug and Play) and for tests that play a client.
#pragma once

#include <functional>

#include "sim/api/kernel.h"

namespace sim::io {

struct RequestResult {
    NTSTATUS status;
    ULONG_PTR information;
};

// `prepare` fills the IRP and the stack location the top driver will see (major function set
// already). Runs at PASSIVE_LEVEL on a thread of the machine; STATUS_INSUFFICIENT_RESOURCES when
// no IRP could be allocated.
RequestResult SendSynchronousRequest(PDEVICE_OBJECT top, UCHAR major,
                                     const std::function<void(PIRP, PIO_STACK_LOCATION)>& prepare);

}  // namespace sim::io
