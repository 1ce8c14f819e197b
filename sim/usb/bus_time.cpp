#include "sim/usb/bus_time.h"

#include <string>

#include "sim/kernel/machine.h"

namespace sim::usb {

namespace {

using Wide = __int128;

constexpr int64_t kPpmScale = 1000000;
// The wrap comes between 30 and 60 seconds of bus time after the machine starts.
constexpr uint64_t kEarliestWrapFrames = 30000;
constexpr uint64_t kWrapSpreadFrames = 30000;

}  // namespace

BusClock::BusClock(ULONG firstFrameNumber, int32_t ppm) : firstFrameNumber_(firstFrameNumber), ppm_(ppm)
{
    if (ppm > kLargestPpm || ppm < -kLargestPpm) {
        sim::Machine::Current().Verify().Report("USB frame clock out of tolerance",
                                                std::to_string(ppm) + " ppm; USB allows 500");
        ppm_ = 0;
    }
}

// Bus time runs (10^6 + ppm) / 10^6 as fast as machine time; a unit (frame or microframe) begins
// when bus time reaches a whole multiple of its length.
// A clock on time (the usual case, asked once a packet) needs no 128-bit arithmetic.
int64_t BusClock::UnitsAt(int64_t nowNs, int64_t unitNs) const
{
    if (nowNs <= 0) {
        return 0;
    }
    if (ppm_ == 0) {
        return nowNs / unitNs;
    }
    return int64_t(Wide(nowNs) * (kPpmScale + ppm_) / (Wide(unitNs) * kPpmScale));
}

int64_t BusClock::UnitStartNs(int64_t unit, int64_t unitNs) const
{
    if (ppm_ == 0) {
        return unit * unitNs;
    }
    const Wide busNs = Wide(unit) * unitNs * kPpmScale;
    const Wide scale = kPpmScale + ppm_;
    return int64_t(busNs >= 0 ? (busNs + scale - 1) / scale : busNs / scale);
}

int64_t BusClock::FrameAt(int64_t nowNs) const { return UnitsAt(nowNs, kFrameNs); }

int64_t BusClock::FrameStartNs(int64_t frame) const { return UnitStartNs(frame, kFrameNs); }

int64_t BusClock::IntervalAt(int64_t nowNs, UsbSpeed speed) const
{
    return UnitsAt(nowNs, speed == UsbSpeed::High ? kMicroframeNs : kFrameNs);
}

int64_t BusClock::IntervalStartNs(int64_t interval, UsbSpeed speed) const
{
    return UnitStartNs(interval, speed == UsbSpeed::High ? kMicroframeNs : kFrameNs);
}

ULONG FirstFrameNumberFromSeed(uint64_t seed)
{
    // splitmix64: any seed, 0 included, lands anywhere in the spread.
    uint64_t z = seed + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return ULONG((uint64_t(1) << 32) - kEarliestWrapFrames - z % kWrapSpreadFrames);
}

}  // namespace sim::usb
