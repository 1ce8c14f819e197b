// The bus's sense of time. The host controller's frame counter starts with the machine: frame f
// runs from f ms to f+1 ms of machine time, and a high-speed device sees it as eight 125-us
// microframes. Everything the bus does happens at these boundaries.
#pragma once

#include <cstdint>

#include "sim/usb/device_model.h"

namespace sim::usb {

constexpr int64_t kFrameNs = 1000000;
constexpr int64_t kMicroframeNs = 125000;
constexpr int64_t kMicroframesPerFrame = 8;

// A bus interval is a frame at full speed and a microframe at high speed.
constexpr int64_t IntervalNs(UsbSpeed speed) { return speed == UsbSpeed::High ? kMicroframeNs : kFrameNs; }
constexpr int64_t IntervalsPerFrame(UsbSpeed speed) { return speed == UsbSpeed::High ? kMicroframesPerFrame : 1; }

constexpr uint64_t FrameAt(int64_t nowNs) { return uint64_t(nowNs / kFrameNs); }
// The first frame boundary strictly after nowNs.
constexpr int64_t NextFrameBoundary(int64_t nowNs) { return (nowNs / kFrameNs + 1) * kFrameNs; }

}  // namespace sim::usb
