#include "tests/asio_kernel/asio_bench.h"

#include "common/device_list.h"

namespace asiokerneltest {

using sim::devices::audio::InputSignal;
using sim::devices::audio::SignalKind;

namespace {

BenchOptions AdapterOptions(const AsioBenchOptions& options)
{
    BenchOptions adapter;
    adapter.dsdModeRequest = options.dsdModeRequest;
    return adapter;
}

}  // namespace

AsioBench::AsioBench(AsioBenchOptions options) : bench_(AdapterOptions(options))
{
    bench_.SetDeviceSetting(u"Initialized", 1);
    bench_.SaveEndpointFormats(options.rate);
    bench_.SetDeviceSetting(u"ForceOldFashionedTransfer", options.oldFashioned ? 1 : 0);
    EXPECT_EQ(bench_.Plug(), STATUS_SUCCESS);
    for (uint32_t input = 0; input < 4; ++input) {
        Audio().SetInputSignal(input, InputSignal{SignalKind::Loopback});
    }
    Audio().SetLoopbackLatency(options.converterFrames);
    host_ = std::make_unique<sim::user::ProcessScope>(u"C:\\Program Files\\Host\\host.exe");
    CDeviceList list;
    list.Enumerate();
    EXPECT_EQ(list.Count(), 1u);
    if (list.Count() != 0) {
        controlPath_ = reinterpret_cast<const char16_t*>(list.Device(0).ControlPath());
    }
}

AsioBench::~AsioBench()
{
    host_.reset();
}

}  // namespace asiokerneltest
