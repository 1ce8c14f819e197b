// Descriptor sets → the driver's model → format selection → filter and data ranges, at both bus
// speeds. The device built from the input answers the class requests as an honest Audio Class
// function of those descriptors would, every clock offering 44.1 to 192 kHz, so that what is
// exercised is the driver's reading of the descriptors.
#include "fuzz/harness/audio_class_workout.h"
#include "fuzz/harness/fuzz_machine.h"
#include "fuzz/harness/fuzzed_descriptors.h"
#include "sim/devices/audio_class/audio_class_device.h"
#include "sim/usb/host_controller.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    sim::Machine& machine = fuzz::SharedMachine();
    for (sim::usb::UsbSpeed speed : {sim::usb::UsbSpeed::Full, sim::usb::UsbSpeed::High}) {
        sim::usb::HostController usb;
        auto device =
            std::make_unique<sim::devices::AudioClassDevice>(fuzz::DescriptorSetFromInput(data, size, speed), speed);
        fuzz::WorkOutAudioClass(usb.Plug(std::move(device)));
    }
    fuzz::RequireNothingLeft(machine);
    return 0;
}
