// What the driver asks of a USB Audio Class function from device start to the moment before its
// first stream, run on a device plugged into the simulated bus: CUSBAudioCL starts on it (the USB
// start sequence, the model of its descriptors, the configuration), then every question the
// adapter, the miniport and the private interface ask is asked: format capabilities and the
// formats of each rate, rate support and the device rate, each alternate selected and deselected
// in both selection forms, the filter with its data ranges and their intersection, feature-unit
// levels, connectors, clock validity and the PCM/DSD mode request. The answers are not judged:
// the fuzz targets look for crashes, hangs, leaks and verifier reports along the way.
#pragma once

#include "sim/usb/bus_device.h"

namespace fuzz {

void WorkOutAudioClass(sim::usb::BusDevice& device);

}  // namespace fuzz
