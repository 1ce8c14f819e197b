// The Windows audio service on the simulated machine, the part that streams: applications open
// shared-mode streams on a device's render or capture endpoint (app_streams.h); while one of an
// endpoint's streams is started, the service has the device's wave filter open with a pin in the
// endpoint's saved device format, and every 10 ms mixes (render) or distributes (capture) one
// period, converting rates with libsamplerate (endpoint_stream.h).
//
// It follows the device as Windows does: when the filter goes (the driver unregistered it to
// change the rate) the service closes its pin and filter, and opens the new filter, at the
// endpoint's format as saved then, once it comes; when the device is removed the service closes
// its pin and filter at once, so that the remove request, which waits for the device's last open
// file, can go ahead, and invalidates the applications' streams on it.
//
// The endpoint builder (sim/pnp/audio_endpoint_builder.h) makes the endpoints; this part only uses
// them. It runs on a thread of its own from Start to Stop; a machine that ends with it running is
// reported to the verifier.
//
//   sim::audio::AudioService& service = sim::audio::AudioService::Current();
//   service.Start();
//   auto player = service.OpenRender(u"USB\\VID_3A5C&PID_0009\\R9-00000001", {44100, 2});
//   player->Write(frames, count); player->Start(); ... service.CloseStream(player);
//   service.Stop();
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/audio_service/endpoint_stream.h"
#include "sim/kernel/machine.h"
#include "sim/pnp/audio_endpoint_builder.h"
#include "sim/portcls/portcls_sim.h"

namespace sim::audio {

// An application stream's buffer when it does not ask for another: 100 ms.
inline constexpr size_t kDefaultBufferMs = 100;

struct EndpointStatus {
    bool known = false;          // the endpoint store has the endpoint
    bool streaming = false;      // the service has the device's pin open
    std::u16string filterName;   // the filter it streams through
    WAVEFORMATEXTENSIBLE format = {};  // the format it streams at
    EndpointCounters counters;   // of every time the pin was open
    sim::portcls::PinCounters port;    // the port's copy engine on the pin open now
    uint64_t opens = 0;          // times the pin was opened
};

class AudioService final : public MachineComponent, public pnp::AudioDeviceListener {
public:
    AudioService();
    ~AudioService() override;

    static AudioService& Current() { return Machine::Current().Component<AudioService>(); }

    // IRQL: PASSIVE_LEVEL, on a thread of the machine.
    void Start();
    void Stop();

    // An application's stream on a device's endpoint, or null when the device has no such
    // endpoint or the stream's channels do not fit it. The service keeps it until CloseStream.
    std::shared_ptr<RenderStream> OpenRender(const std::u16string& instancePath, AppFormat format,
                                             size_t bufferMs = kDefaultBufferMs);
    std::shared_ptr<CaptureStream> OpenCapture(const std::u16string& instancePath, AppFormat format,
                                               size_t bufferMs = kDefaultBufferMs);
    void CloseStream(const std::shared_ptr<AppStream>& stream);

    EndpointStatus Status(const std::u16string& instancePath, Flow flow);

    // A node property of the device's filter (volume, mute), as an endpoint volume control sends
    // it: through a filter handle of its own, on the caller's thread. `value` is sent with SET and
    // receives the reply of GET.
    NTSTATUS NodeProperty(const std::u16string& instancePath, ULONG node, ULONG id, ULONG verb, LONG channel,
                          LONG& value);

    void FilterArrived(PDEVICE_OBJECT pdo) override;
    void FilterDeparted(PDEVICE_OBJECT pdo) override;
    void DeviceRemoved(PDEVICE_OBJECT pdo) override;

private:
    struct Endpoint {
        std::u16string instancePath;
        Flow flow = Flow::Render;
        std::vector<std::shared_ptr<RenderStream>> renders;
        std::vector<std::shared_ptr<CaptureStream>> captures;
        std::unique_ptr<EndpointStream> stream;  // the service thread's only
        EndpointStatus status;                   // published by the service thread
        EndpointCounters live;                   // of the pin open now, published likewise
        bool refreshFilter = false;              // the filter went: reopen on the new one
        bool removed = false;
    };

    static bool Fits(const std::u16string& instancePath, Flow flow, const AppFormat& format);
    Endpoint* FindLocked(const std::u16string& instancePath, Flow flow);
    Endpoint& EndpointLocked(const std::u16string& instancePath, Flow flow);
    void Wake() { KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE); }
    void Mark(PDEVICE_OBJECT pdo, bool removed);

    static void Run(void* self);
    void Loop();
    void Serve(Endpoint& endpoint, bool period);
    void OpenStream(Endpoint& endpoint);
    void CloseStream(Endpoint& endpoint);
    void Publish(Endpoint& endpoint);

    std::mutex lock_;  // the endpoints and their application streams; never held across a wait
    std::vector<std::unique_ptr<Endpoint>> endpoints_;
    KEVENT wake_;
    KEVENT stop_;
    KTIMER period_;
    SimThread* thread_ = nullptr;
};

}  // namespace sim::audio
