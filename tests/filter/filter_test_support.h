// Building the filter on a started driver: a simulated machine (as a given Windows version) with a
// host controller, an Audio Class device serving descriptors written with the descriptor builder,
// and CUSBAudioCL started and configured on it. Helpers read the built filter back as plain values.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "driver/usbaudio/filter_records.h"
#include "driver/usbaudio/usb_audio_cl.h"
#include "sim/devices/audio_class/audio_class_device.h"
#include "sim/kernel/machine.h"
#include "sim/usb/descriptors/audio_descriptors.h"
#include "sim/usb/host_controller.h"

namespace filtertest {

using sim::usb::Bytes;

// bmFormats / wFormatTag values the fixtures use.
constexpr uint32_t kFormatsPcm = 0x01;
constexpr uint16_t kTagPcm = 0x0001;
constexpr uint16_t kTagPcm8 = 0x0002;
constexpr uint16_t kTagIeeeFloat = 0x0003;

// A Type I alternate of a 2.0 streaming interface.
struct Alternate20 {
    uint8_t channels;
    uint8_t subslotBytes;
    uint8_t bits;
    uint32_t formats = kFormatsPcm;
};

// A Type I alternate of a 1.0 streaming interface: a list of rates, or (continuous) the two bounds.
struct Alternate10 {
    uint16_t tag;
    uint8_t channels;
    uint8_t subframeBytes;
    uint8_t bits;
    std::vector<uint32_t> rates;
    bool continuous = false;
};

// The 2.0 Audio Control interface 0 holding `entities`.
Bytes Control20(std::initializer_list<Bytes> entities);
// The 1.0 one, whose header names streaming interfaces 1 .. streamingInterfaces.
Bytes Control10(uint8_t streamingInterfaces, std::initializer_list<Bytes> entities);
// A streaming interface: alternate 0 without endpoints, then one alternate per format, each with
// an isochronous data endpoint at `endpoint`.
Bytes Streaming20(uint8_t number, uint8_t terminalLink, uint8_t endpoint, const std::vector<Alternate20>& alternates);
Bytes Streaming10(uint8_t number, uint8_t terminalLink, uint8_t endpoint, const std::vector<Alternate10>& alternates);
Bytes Configuration(std::initializer_list<Bytes> parts);

// Clock source 9 feeds every terminal of the 2.0 fixtures.
constexpr uint8_t kClockId = 9;

// Render: USB streaming IT 1 -> feature unit 2 (mute and volume on the master channel) -> speaker
// OT 3. Capture: line IT 4 -> feature unit 5 (volume only) -> USB streaming OT 6. Render interface 1
// offers stereo 24-bit PCM twice (alternates 1 and 2) and stereo 16-bit PCM; capture interface 2
// offers 8 channels of 24-bit PCM.
Bytes TwoChainDevice20();

class FilterDevice : public CUSBAudioCL {
public:
    FilterDevice() : CUSBAudioCL(NonPagedPoolNx) {}
    NTSTATUS CheckTransfer(NTSTATUS status, PURB, TransferContext*) override { return status; }
};

class FilterTest : public ::testing::Test {
protected:
    explicit FilterTest(ULONG windowsVersion = NTDDI_WIN10);
    ~FilterTest() override;

    // Plugs an Audio Class device serving `configuration`, starts and configures the driver on it.
    void Start(const Bytes& configuration, sim::usb::UsbSpeed speed = sim::usb::UsbSpeed::High);
    // The device's firmware state (clock ranges and the like).
    sim::devices::AudioClassFunction& Function() { return device_->Function(); }
    StreamingInterface* Render() const { return driver_->GetStreamingInterface(usbaudio::kDirectionOut); }
    StreamingInterface* Capture() const { return driver_->GetStreamingInterface(usbaudio::kDirectionIn); }

    sim::Machine machine_;
    std::unique_ptr<sim::usb::HostController> usb_;
    sim::devices::AudioClassDevice* device_ = nullptr;
    FilterDevice* driver_ = nullptr;
    PCFILTER_DESCRIPTOR filter_ = {};
};

// ---- The built filter as plain values. ----
struct Connection {
    ULONG fromNode;
    ULONG fromPin;
    ULONG toNode;
    ULONG toPin;
    bool operator==(const Connection& other) const
    {
        return fromNode == other.fromNode && fromPin == other.fromPin && toNode == other.toNode &&
               toPin == other.toPin;
    }
};
void PrintTo(const Connection& connection, std::ostream* out);
std::vector<Connection> Connections(const PCFILTER_DESCRIPTOR& filter);

std::vector<std::string> NodeTypes(const PCFILTER_DESCRIPTOR& filter);

struct Range {
    std::string subFormat;  // "PCM", "IEEE_FLOAT", "none"
    ULONG channels;
    ULONG bits;
    ULONG minimumRate;
    ULONG maximumRate;
    bool operator==(const Range& other) const
    {
        return subFormat == other.subFormat && channels == other.channels && bits == other.bits &&
               minimumRate == other.minimumRate && maximumRate == other.maximumRate;
    }
};
void PrintTo(const Range& range, std::ostream* out);
// The audio ranges of a data-range array; every one must be a well-formed 88-byte audio range.
std::vector<Range> AudioRanges(const PKSDATARANGE* ranges, ULONG count);
// The attribute list following the last range, or null when there is none.
const KSATTRIBUTE_LIST* AttributeList(const PKSDATARANGE* ranges, ULONG count);

}  // namespace filtertest
