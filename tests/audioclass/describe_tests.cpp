// `r9sim describe`: the report on the built-in R9, its 1.0 variant and real devices, and the errors
// for files that hold no usable descriptor set.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/devices/r9/r9_descriptors.h"
#include "sim/devices/r9/r9_device.h"
#include "sim/usb/descriptors/descriptor_set.h"
#include "tests/audioclass/model_test_support.h"
#include "tools/r9sim/model_description.h"

namespace audioclasstest {
namespace {

using r9sim::DescribeOptions;
using r9sim::DeviceDescriptors;
using r9sim::SpeedChoice;

class DescribeTest : public ModelTest {};

DeviceDescriptors FromSet(const sim::usb::DescriptorSet& set)
{
    DeviceDescriptors descriptors;
    descriptors.device = set.device;
    descriptors.configuration = set.configuration;
    return descriptors;
}

Bytes FixtureFile(const std::string& fileName)
{
    const auto file = sim::usb::ReadBinaryFile(std::string(R9_USB_FIXTURES_DIR) + "/" + fileName);
    EXPECT_TRUE(file.has_value()) << fileName;
    return file.value_or(Bytes{});
}

void ExpectLines(const std::string& report, const std::vector<std::string>& lines)
{
    for (const std::string& line : lines) {
        EXPECT_NE(report.find(line), std::string::npos) << "missing: " << line << "\nin:\n" << report;
    }
}

TEST_F(DescribeTest, BuiltInR9)
{
    std::string report;
    const DescribeOptions options = {SpeedChoice::High, "built in",
                                     [] { return std::make_unique<sim::devices::R9Device>(); }};
    EXPECT_EQ(r9sim::DescribeDevice(FromSet(sim::devices::R9Descriptors()), options, report), 0);
    ExpectLines(report,
                {
                    "device: 3a5c:0009, bcdUSB 2.00\n",
                    "speed: high (built in)\n",
                    "Audio Class 2.0 (bcdADC 0x0200)\n",
                    "  ClockSource(41)    clock source, internal programmable\n",
                    "  ClockSource(42)    clock source, internal programmable\n",
                    "  IT(1)              input terminal, type 0x0101 (USB streaming), clock ClockSource(41)\n",
                    "  Feature(2)         feature unit, source IT(1), 5 channels (master included): mute, volume\n",
                    "  OT(6)              output terminal, type 0x0101 (USB streaming), source Feature(5), clock "
                    "ClockSource(42)\n",
                    "  interface 1: render (OUT), terminal IT(1), 3 alternates\n",
                    "    alternate 0: zero bandwidth, no endpoints\n",
                    "    alternate 1: format type 1, bmFormats 0x00000001 (PCM), 4 channels, 24-bit resolution in "
                    "4-byte subslots\n",
                    "      rates: from the clock's RANGE request\n",
                    "      data endpoint 0x01 OUT isochronous asynchronous data, interval 1 (125 us), max packet 784\n",
                    "      feedback endpoint 0x81 IN isochronous no synchronisation feedback, interval 4 (1 ms), max "
                    "packet 4\n",
                    "    alternate 2: format type 1, bmFormats 0x00000001 (PCM), 4 channels, 16-bit resolution in "
                    "2-byte subslots\n",
                    "  interface 2: capture (IN), terminal OT(6), 3 alternates\n",
                    "      data endpoint 0x82 IN isochronous asynchronous data, interval 1 (125 us), max packet 392\n",
                    "render interface: 1\n",
                    "capture interface: 2\n",
                    "shared clock: no (render clock 41, capture clock 42)\n",
                    // What the simulated R9 answers the driver.
                    "  ClockSource(41): RANGE 44100 to 384000 Hz; rates 44100, 48000, 88200, 96000, 176400, 192000, "
                    "352800, 384000 Hz\n    now 48000 Hz, valid\n",
                    "  ClockSource(42): RANGE 44100 to 384000 Hz;",
                    "  default rate: 48000 Hz (the clock's current rate)\n",
                    "  interface 1 (render) at 48000 Hz:\n"
                    "    alternate 1: 4 channels, 24 bits in 32-bit containers, 16 bytes per sample frame\n"
                    "      packets every 125 us: 96 bytes nominal, 80 to 112; at most 6272 bytes per ms\n"
                    "      nominal feedback 0x00060000 (6.0000 sample frames per packet)\n"
                    "    alternate 2: 4 channels, 16 bits in 16-bit containers, 8 bytes per sample frame\n"
                    "      packets every 125 us: 48 bytes nominal, 40 to 56; at most 3136 bytes per ms\n",
                    "  interface 2 (capture) at 48000 Hz:\n"
                    "    alternate 1: 4 channels, 24 bits in 32-bit containers, 16 bytes per sample frame\n"
                    "      packets every 125 us: 96 bytes nominal, 80 to 112; at most 6272 bytes per ms\n",
                });
}

TEST_F(DescribeTest, BuiltInR9AudioClass10Variant)
{
    std::string report;
    const DescribeOptions options = {SpeedChoice::Full, "built in", [] {
                                         return std::make_unique<sim::devices::R9Device>(
                                             sim::devices::R9Variant::FullSpeedUac1);
                                     }};
    EXPECT_EQ(r9sim::DescribeDevice(FromSet(sim::devices::R9FullSpeedUac1Descriptors()), options, report), 0);
    ExpectLines(
        report,
        {
            "device: 3a5c:0009, bcdUSB 1.10\n",
            "speed: full (built in)\n",
            "Audio Class 1.0 (bcdADC 0x0100)\n",
            "  IT(1)              input terminal, type 0x0101 (USB streaming)\n",
            "    alternate 1: format type 1, format tag 0x0001 (PCM), 4 channels, 24-bit resolution in 3-byte "
            "subframes\n",
            "      rates: 44100, 48000 Hz\n",
            "      rates: 44100, 48000, 88200, 96000 Hz\n",
            "      data endpoint 0x01 OUT isochronous asynchronous, interval 1 (1 ms), max packet 588, refresh 0, "
            "synch address 0x81\n",
            "      feedback endpoint 0x81 IN isochronous no synchronisation, interval 1 (1 ms), max packet 3, "
            "refresh 2, synch address 0x00\n",
            "      class endpoint: sampling-frequency control\n",
            "shared clock: yes (an Audio Class 1.0 device runs both directions from one clock)\n",
            "  no clock entities (Audio Class 1.0): the rates are the alternates' own\n",
            "  default rate: 48000 Hz (the streaming endpoint's current rate)\n",
            // One 1-ms packet of 48 frames, 3-byte subframes; render follows capture.
            "  interface 1 (render) at 48000 Hz:\n"
            "    alternate 1: 4 channels, 24 bits in 24-bit containers, 12 bytes per sample frame\n"
            "      packets every 1000 us: 576 bytes nominal, 564 to 588; at most 588 bytes per ms\n"
            "      paced by capture: 576 bytes per ms, -1 to +1 sample frames\n",
        });
    EXPECT_EQ(report.find("clock ClockSource"), std::string::npos);
}

// Real devices read from their hex text, the speed assumed from the class release.
TEST_F(DescribeTest, RealDevicesFromHexText)
{
    const struct {
        const char* file;
        std::vector<std::string> lines;
    } cases[] = {
        {"behringer_umc202hd_192k.hex",
         {"speed: high (assumed for an Audio Class 2.0 device; --speed sets it)\n",
          "  ClockSelector(40)  clock selector, inputs ClockSource(41)\n",
          "      data endpoint 0x88 IN isochronous asynchronous implicit feedback data, interval 1 (125 us), max "
          "packet "
          "400\n",
          "      feedback endpoint 0x84 IN isochronous no synchronisation feedback, interval 4 (1 ms), max packet 4\n",
          "shared clock: yes (render and capture terminals both name clock 40)\n"}},
        {"teufel_cinebar_one.hex",
         {"speed: full (assumed for an Audio Class 1.0 device; --speed sets it)\n",
          "      rates: 48000, 44100, 32000, 22050, 16000, 8000 Hz\n",
          "      class endpoint: none (this alternate's EP_GENERAL descriptor comes before its data endpoint, where "
          "the driver does not look)\n",
          "capture interface: none\n", "shared clock: no (render only)\n"}},
        {"plantronics_headset_c024.hex",
         {"  Dummy(8)           selector unit, modelled without links\n",
          "  Feature(5)         feature unit, source Dummy(12), 3 channels (master included): mute, volume\n",
          "  interface 1: capture (IN), terminal OT(3), 2 alternates\n", "render interface: 2\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        DeviceDescriptors descriptors;
        std::string error;
        ASSERT_TRUE(r9sim::ParseDescriptorFile(FixtureFile(c.file), descriptors, error)) << error;
        EXPECT_EQ(descriptors.device.size(), 18u);
        std::string report;
        EXPECT_EQ(r9sim::DescribeDevice(descriptors, {}, report), 0);
        ExpectLines(report, c.lines);
    }
}

TEST_F(DescribeTest, UnusableFilesGetAClearError)
{
    const Bytes behringer = FixtureFile("behringer_umc202hd_192k.bin");
    const Bytes configurationOnly(behringer.begin() + 18, behringer.end());
    const std::string hex = "12 01 00 02 00 00 00 40 97 13 07 05 00 01 01 02 03 01\n09 02 1d";
    const struct {
        const char* name;
        Bytes file;
        std::string error;
    } cases[] = {
        {"empty file", {}, "no descriptor bytes"},
        {"cut inside the configuration", Bytes(behringer.begin(), behringer.begin() + 100),
         "the configuration descriptor set is truncated: wTotalLength is 285 bytes but only 82 follow"},
        {"cut inside the device descriptor", Bytes(behringer.begin(), behringer.begin() + 10),
         "the device descriptor is cut short: 10 of 18 bytes"},
        {"nothing after the device descriptor", Bytes(behringer.begin(), behringer.begin() + 18),
         "no configuration descriptor: 0 bytes where 9 are needed"},
        {"hex text cut short", Bytes(hex.begin(), hex.end()),
         "no configuration descriptor: 3 bytes where 9 are needed"},
        {"not hex", Bytes{'1', '2', ' ', '0', 'g'}, "line 1: '0g' is not hex bytes"},
        {"odd hex digits", Bytes{'1', '2', '\n', '1', '2', '3'}, "line 2: '123' is not hex bytes"},
        {"something else", Bytes{0x04, 0x03, 0x09, 0x04, 0, 0, 0, 0, 0, 0},
         "do not start with a configuration descriptor"},
        {"configuration without the device descriptor, cut",
         Bytes(configurationOnly.begin(), configurationOnly.begin() + 200),
         "wTotalLength is 285 bytes but only 200 follow"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceDescriptors descriptors;
        std::string error;
        EXPECT_FALSE(r9sim::ParseDescriptorFile(c.file, descriptors, error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

TEST_F(DescribeTest, RefusedDevicesAndWarnings)
{
    using namespace sim::usb;
    // A 1.0 device whose last entity is a processing unit.
    const Bytes refused = Configuration(
        {ControlInterface(0), uac1::AudioControl(0x0100, {},
                                                 {uac1::InputTerminal(1, kTerminalUsbStreaming, 0, 2, 0, 0, 0),
                                                  uac1::ProcessingUnit(3, 1, {1}, 2, 0, 0, {0x01}, 0, {})})});
    DeviceDescriptors descriptors;
    std::string error;
    ASSERT_TRUE(r9sim::ParseDescriptorFile(refused, descriptors, error)) << error;
    std::string report;
    EXPECT_EQ(r9sim::DescribeDevice(descriptors, {}, report), 1);
    ExpectLines(report, {"device: no device descriptor given, so no vendor and product ID and no quirks\n",
                         "the driver refuses this device: STATUS_NOT_IMPLEMENTED (0xC0000002): the last Audio Control "
                         "entity failed to link\n",
                         "  Processing(3)      processing unit, whose link always fails (STATUS_NOT_IMPLEMENTED "
                         "(0xC0000002))\n"});

    // A zero bLength on the capture data endpoint, and a byte beyond wTotalLength. The data endpoint
    // is followed by its class endpoint (8 bytes), the vendor interface (9) and its endpoint (7).
    Bytes broken = FixtureFile("behringer_umc202hd_192k.bin");
    const size_t lastEndpoint = broken.size() - 7 - 9 - 8 - 7;
    ASSERT_EQ(broken[lastEndpoint + 2], 0x88);
    broken[lastEndpoint] = 0;
    broken.push_back(0);
    descriptors = {};
    ASSERT_TRUE(r9sim::ParseDescriptorFile(broken, descriptors, error)) << error;
    report.clear();
    EXPECT_EQ(r9sim::DescribeDevice(descriptors, {SpeedChoice::High, "", nullptr}, report), 1);
    ExpectLines(report, {"warning: 1 bytes after wTotalLength (285) are ignored\n",
                         "warning: the descriptor at offset " + std::to_string(lastEndpoint - 18) +
                             " has bLength 0, below 2: the driver reads nothing from there on\n",
                         "speed: high (given)\n",
                         "the driver refuses this device: STATUS_NOT_SUPPORTED (0xC00000BB): alternate 1 of a "
                         "streaming interface has no endpoint descriptor\n"});
}

}  // namespace
}  // namespace audioclasstest
