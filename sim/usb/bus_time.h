// The bus's sense of time: the host controller's frame clock.
//
// The controller counts 1-ms frames in a 32-bit register that holds an arbitrary value when it
// starts and wraps (as QueryBusTime and URB StartFrame show it); a high-speed device sees each frame
// as eight 125-us microframes, and everything the bus does happens at these boundaries. The
// controller runs from its own crystal: its frame may be a few ppm shorter or longer than the
// performance counter's millisecond (USB 2.0 allows the host's SOF period 500 ppm of tolerance), so
// frame k after the machine started begins at ceil(k x 1 ms / (1 + ppm x 10^-6)) of machine time.
//
// Inside the simulation frames and bus intervals are counted from the machine's start in 64 bits
// ("frame index", "interval index"), which never wrap; the 32-bit frame number exists only where a
// driver sees it.
#pragma once

#include <cstdint>

#include "sim/api/usb_types.h"
#include "sim/usb/device_model.h"

namespace sim::usb {

constexpr int64_t kFrameNs = 1000000;
constexpr int64_t kMicroframeNs = 125000;
constexpr int64_t kMicroframesPerFrame = 8;

// A bus interval is a frame at full speed and a microframe at high speed.
constexpr int64_t IntervalsPerFrame(UsbSpeed speed) { return speed == UsbSpeed::High ? kMicroframesPerFrame : 1; }

class BusClock {
public:
    static constexpr int32_t kLargestPpm = 500;

    // Fails the test (verifier) for a drift beyond the tolerance USB allows.
    BusClock(ULONG firstFrameNumber, int32_t ppm);

    ULONG FirstFrameNumber() const { return firstFrameNumber_; }
    int32_t Ppm() const { return ppm_; }

    // The frame under way at nowNs, and the machine time at which a frame begins.
    int64_t FrameAt(int64_t nowNs) const;
    int64_t FrameStartNs(int64_t frame) const;
    // The same for bus intervals of a device of that speed.
    int64_t IntervalAt(int64_t nowNs, UsbSpeed speed) const;
    int64_t IntervalStartNs(int64_t interval, UsbSpeed speed) const;

    // What the frame counter reads during a frame, and the frame a 32-bit number names: the one
    // within 2^31 frames of `near`.
    ULONG FrameNumber(int64_t frame) const { return ULONG(firstFrameNumber_ + uint64_t(frame)); }
    int64_t FrameNamed(ULONG number, int64_t near) const { return near + int32_t(number - FrameNumber(near)); }

private:
    int64_t UnitsAt(int64_t nowNs, int64_t unitNs) const;
    int64_t UnitStartNs(int64_t unit, int64_t unitNs) const;

    ULONG firstFrameNumber_;
    int32_t ppm_;
};

// The frame number a controller starts at when a test does not choose one: spread by the seed over
// the last minute before the wrap, so every stream of more than a minute crosses it.
ULONG FirstFrameNumberFromSeed(uint64_t seed);

}  // namespace sim::usb
