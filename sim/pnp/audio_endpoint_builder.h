// The Windows audio service's endpoint builder on the simulated machine: when a device's wave
// filter arrives (PortCls registered a subdevice and turned its interfaces on), it gives the
// device a render endpoint for a streaming pin the audio stack writes to (data flows in, the pin
// is a sink) and a capture endpoint for one it reads from (data flows out, a sink), each unless
// the device already has one; an existing endpoint keeps its saved formats, which is how a rate
// saved there survives a restart of the device. When the device goes, its endpoints stay, marked
// not present, and become active again when it returns.
//
// A new endpoint's format comes from the pin's first audio data range (KSDATARANGE_AUDIO with
// the WAVEFORMATEX specifier, PCM or IEEE float): the range's highest rate; its highest bit depth
// as valid bits, in a container of the next whole byte; two channels when the range offers two or
// more, the stereo shared-mode format the audio service proposes for a new device, else one.
//
// On Windows the builder reacts asynchronously to the interface arrival; here it runs on the
// registering thread right after the registration, outside PortCls's locks.
#pragma once

#include <optional>
#include <string>

#include "sim/api/kernel.h"
#include "sim/api/portcls.h"

namespace sim::pnp {

// The service runs unless a test stops it to write the endpoint store itself.
void SetAudioServiceRunning(bool running);
bool AudioServiceRunning();

// PortCls's notice that a filter of the device on `pdo` arrived, or went while the device stays
// (the driver unregistered it).
void OnAudioFilterArrival(PDEVICE_OBJECT pdo, const PCFILTER_DESCRIPTOR& filter);
void OnAudioFilterDeparture(PDEVICE_OBJECT pdo);
// Plug and Play's notice that the device on `pdo` has gone (surprise removal or removal).
void OnAudioDeviceRemoval(PDEVICE_OBJECT pdo);

// The part of the audio service that streams hears of the same events, after the endpoints are
// up to date. A listener must not block: it runs on the thread that registered or removed the
// filter, as the service's own threads react on Windows.
class AudioDeviceListener {
public:
    virtual ~AudioDeviceListener() = default;
    virtual void FilterArrived(PDEVICE_OBJECT pdo) = 0;
    virtual void FilterDeparted(PDEVICE_OBJECT pdo) = 0;
    virtual void DeviceRemoved(PDEVICE_OBJECT pdo) = 0;
};
// One listener at a time; null removes it.
void SetAudioDeviceListener(AudioDeviceListener* listener);

// The endpoint format for a streaming pin; nullopt when none of its ranges is an audio range.
std::optional<WAVEFORMATEXTENSIBLE> EndpointFormatFor(const KSPIN_DESCRIPTOR& pin);

// The format the service derives for the device's endpoint of `flow` from the filter that arrived
// last for it (what a format reset goes back to); nullopt when it has none.
std::optional<WAVEFORMATEXTENSIBLE> CurrentDefaultFormat(const std::u16string& instancePath, bool render);

}  // namespace sim::pnp
