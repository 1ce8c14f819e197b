// The devices the fuzz targets that start the whole driver plug in: the R9 as shipped, its
// shared-clock and full-speed Audio Class 1.0 variants, and the real devices whose dumps are in
// tests/fixtures/usb. Each is an honest Audio Class device of those descriptors.
#pragma once

#include <string>
#include <vector>

#include "sim/devices/audio_class/audio_class_function.h"
#include "sim/usb/device_model.h"

namespace fuzz {

struct CatalogueDevice {
    const char* name;
    sim::usb::DescriptorSet descriptors;
    sim::usb::UsbSpeed speed;
    std::vector<sim::devices::SampleRateSubrange> clockRanges;  // empty: the Audio Class default
};

const std::vector<CatalogueDevice>& DeviceCatalogue();

// Installs tvr9audio, as the package's service "TVR9AUDIO", on the current machine for every device
// of the catalogue, as its INF would list their hardware IDs.
void InstallDriverForCatalogue();

}  // namespace fuzz
