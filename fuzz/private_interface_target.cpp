// The private interface: a program on the machine opens handles on the R9's control path (and on
// names beside it), sends device controls of the interface's codes and of any other, with buffers
// of any length and content, claims the device, opens and starts ASIO streams with the input's
// records, reads and writes of any length while the device streams in loopback, cancels, closes
// handles in any order. At the end every request has completed and the device is pulled out: the
// driver unloads with nothing left.
#include <fuzzer/FuzzedDataProvider.h>

#include "common/device_list.h"
#include "fuzz/harness/device_catalogue.h"
#include "fuzz/harness/private_interface_client.h"
#include "sim/devices/r9/r9_device.h"
#include "sim/kernel/machine.h"
#include "sim/pnp/plug_and_play.h"
#include "sim/user/processes.h"

namespace {

constexpr int kMostSteps = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    sim::Machine machine;
    fuzz::InstallDriverForCatalogue();
    sim::usb::HostController usb;
    auto device = std::make_unique<sim::devices::R9Device>();
    for (uint32_t channel = 0; channel < 4; ++channel) {
        device->Engine().SetInputSignal(channel, {sim::devices::audio::SignalKind::Loopback});
    }
    sim::pnp::PlugResult plugged = sim::pnp::PlugDevice(usb, std::move(device));
    {
        sim::user::ProcessScope host(u"C:\\Program Files\\Host\\host.exe");
        CDeviceList list;
        list.Enumerate();
        if (list.Count() != 0) {
            fuzz::PrivateInterfaceClient client(reinterpret_cast<const char16_t*>(list.Device(0).ControlPath()));
            for (int step = 0; step < kMostSteps && client.Step(input); ++step) {
            }
            client.Finish();
        }
    }
    sim::pnp::UnplugDevice(usb, plugged.device);
    return 0;
}
