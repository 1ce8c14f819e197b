// MMDevAPI.dll of the simulated machine: the audio endpoint enumerator over the endpoint store
// (sim/pnp/endpoint_store.h), with each endpoint's property store and format control.
#pragma once

#include <string>

#include "sim/api/user.h"
#include "sim/pnp/endpoint_store.h"

namespace sim::user {

// The DLL's DllGetClassObject: CLSID_MMDeviceEnumerator only.
HRESULT MmDeviceGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object);

// An endpoint's property store (read-only unless `writable`) and its IAudioEndpointFormatControl.
HRESULT CreateEndpointPropertyStore(pnp::EndpointFlow flow, const std::u16string& endpoint, bool writable,
                                    IPropertyStore** store);
HRESULT CreateEndpointFormatControl(pnp::EndpointFlow flow, const std::u16string& endpoint,
                                    IAudioEndpointFormatControl** control);

}  // namespace sim::user
