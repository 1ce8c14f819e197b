#include "fuzz/harness/device_catalogue.h"

#include <cstdio>
#include <cstdlib>

#include "sim/devices/r9/r9_descriptors.h"
#include "sim/devices/r9/r9_device.h"
#include "sim/pnp/driver_store.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace fuzz {

namespace {

using sim::usb::UsbSpeed;

sim::usb::DescriptorSet FixtureDump(const char* name)
{
    const std::string path = std::string(R9_USB_FIXTURES_DIR) + "/" + name + ".bin";
    const auto bytes = sim::usb::ReadBinaryFile(path);
    if (!bytes) {
        std::fprintf(stderr, "fuzz harness: cannot read %s\n", path.c_str());
        std::abort();
    }
    sim::usb::DescriptorSet set = sim::usb::DescriptorSetFromDump(*bytes);
    set.languageIds = {0x0409};
    return set;
}

std::u16string HardwareId(const sim::usb::DescriptorSet& set)
{
    const auto* device = reinterpret_cast<const USB_DEVICE_DESCRIPTOR*>(set.device.data());
    char text[32];
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", unsigned(device->idVendor), unsigned(device->idProduct));
    return std::u16string(text, text + std::char_traits<char>::length(text));
}

}  // namespace

const std::vector<CatalogueDevice>& DeviceCatalogue()
{
    static const std::vector<CatalogueDevice> catalogue = {
        {"r9", sim::devices::R9Descriptors(), UsbSpeed::High, sim::devices::R9ClockRanges()},
        {"r9-shared-clock", sim::devices::R9SharedClockDescriptors(), UsbSpeed::High, sim::devices::R9ClockRanges()},
        {"r9-uac1", sim::devices::R9FullSpeedUac1Descriptors(), UsbSpeed::Full, {}},
        {"behringer_umc202hd_192k", FixtureDump("behringer_umc202hd_192k"), UsbSpeed::High, {}},
        {"arturia_audiofuse_16rig", FixtureDump("arturia_audiofuse_16rig"), UsbSpeed::High, {}},
        {"teufel_cinebar_one", FixtureDump("teufel_cinebar_one"), UsbSpeed::Full, {}},
        {"plantronics_headset_c024", FixtureDump("plantronics_headset_c024"), UsbSpeed::Full, {}},
    };
    return catalogue;
}

void InstallDriverForCatalogue()
{
    std::vector<std::u16string> ids;
    for (const CatalogueDevice& device : DeviceCatalogue()) {
        ids.push_back(HardwareId(device.descriptors));
    }
    sim::pnp::InstallDriver({u"TVR9AUDIO", &DriverEntry, ids});
}

}  // namespace fuzz
