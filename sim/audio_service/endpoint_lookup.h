// What the audio service looks up about a device's endpoint before it streams: the wave filter
// that carries it (the enabled device interface of the device in KSCATEGORY_RENDER or
// KSCATEGORY_CAPTURE) and the device format saved with the endpoint in the endpoint store.
#pragma once

#include <string>

#include "sim/api/kernel.h"
#include "sim/audio_service/endpoint_stream.h"

namespace sim::audio {

// The device's physical device object and the reference string of its filter; false while the
// device is not present or has no such filter.
bool FindEndpointFilter(const std::u16string& instancePath, Flow flow, PDEVICE_OBJECT& pdo,
                        std::u16string& referenceString);
// Any filter of the device in KSCATEGORY_AUDIO (node properties need no streaming pin).
bool FindAudioFilter(const std::u16string& instancePath, PDEVICE_OBJECT& pdo, std::u16string& referenceString);

// Whether the endpoint store has the device's endpoint, and its saved device format.
bool EndpointExists(const std::u16string& instancePath, Flow flow);
bool SavedDeviceFormat(const std::u16string& instancePath, Flow flow, WAVEFORMATEXTENSIBLE& format);

}  // namespace sim::audio
