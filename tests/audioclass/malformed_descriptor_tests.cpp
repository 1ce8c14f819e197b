// Descriptors that lie about their lengths, cut-off sets and failed allocations: the model never
// reads outside the bytes it is given (AddressSanitizer watches every exact-size copy), never loops,
// refuses or skips as its rules say, and frees everything.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/usbaudio/descriptor_reader.h"
#include "sim/devices/r9/r9_descriptors.h"
#include "sim/usb/descriptors/descriptor_set.h"
#include "tests/audioclass/model_test_support.h"
#include "tools/r9sim/model_description.h"

namespace audioclasstest {
namespace {

using namespace usbaudio;
using sim::usb::Bytes;

class MalformedDescriptorTest : public ModelTest {};

DescriptorRange RangeOf(const Bytes& bytes) { return {bytes.data(), bytes.data() + bytes.size()}; }

TEST_F(MalformedDescriptorTest, WalksStopAtTheFirstDescriptorThatIsNotWhole)
{
    const struct {
        const char* name;
        Bytes bytes;
        size_t wholeDescriptors;
    } cases[] = {
        {"bLength 0", {3, 0x24, 1, 0, 0x24, 4, 0x24, 2, 0}, 1},
        {"bLength 1", {3, 0x24, 1, 1, 0x24, 4, 0x24, 2, 0}, 1},
        {"bLength past the end", {3, 0x24, 1, 7, 0x24, 2, 0}, 1},
        {"one byte left over", {3, 0x24, 1, 2}, 1},
        {"every descriptor whole", {3, 0x24, 1, 2, 0x24, 4, 0x24, 2, 0}, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes bytes = c.bytes;  // exactly as long as the set
        const DescriptorRange range = RangeOf(bytes);
        size_t found = 0;
        for (const UCHAR* at = FindDescriptor(range, range.Begin, 0x24); at != nullptr;
             at = FindDescriptor(range, at + at[0], 0x24)) {
            ++found;
        }
        EXPECT_EQ(found, c.wholeDescriptors);
        const UCHAR* last = range.Begin;
        size_t stepped = 1;
        while (const UCHAR* next = NextDescriptor(range, last)) {
            last = next;
            ++stepped;
        }
        EXPECT_EQ(stepped, c.wholeDescriptors);
    }
}

TEST_F(MalformedDescriptorTest, FieldReadsStopAtBLength)
{
    // A 5-byte descriptor followed by bytes that belong to the next one.
    const Bytes bytes = {5, 0x24, 2, 0x34, 0x12, 0xAA, 0xBB, 0xCC};
    EXPECT_EQ(DescriptorWord(bytes.data(), 3), 0x1234);
    EXPECT_EQ(DescriptorByte(bytes.data(), 4), 0x12);
    EXPECT_EQ(DescriptorByte(bytes.data(), 5), 0);
    EXPECT_EQ(DescriptorWord(bytes.data(), 4), 0);
    EXPECT_EQ(DescriptorTribyte(bytes.data(), 3), 0u);
    EXPECT_EQ(DescriptorDword(bytes.data(), 2), 0u);
    EXPECT_EQ(DescriptorByte(nullptr, 0), 0);
}

TEST_F(MalformedDescriptorTest, InterfaceSearchAndExtent)
{
    using namespace sim::usb;
    Bytes shortInterface = Interface(1, 0, 0, kAudioClass, kAudioStreamingSubclass, 0);
    shortInterface.resize(8);
    shortInterface[0] = 8;
    const Bytes bytes = Concat({Interface(0, 0, 0, kAudioClass, kAudioControlSubclass, 0), shortInterface,
                                Interface(1, 0, 0, kAudioClass, kAudioStreamingSubclass, 0), Endpoint(0x01, 5, 8, 1)});
    const DescriptorRange range = RangeOf(bytes);
    const USB_INTERFACE_DESCRIPTOR* found = FindInterface(range, 1, 0, kAudioClass, kAnyValue);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(reinterpret_cast<const UCHAR*>(found), bytes.data() + 17);
    EXPECT_EQ(FindInterface(range, kAnyValue, kAnyValue, 0xFF, kAnyValue), nullptr);
    // The control interface ends where the short one starts; the last runs to the end.
    EXPECT_EQ(InterfaceExtentEnd(range, bytes.data()), bytes.data() + 9);
    EXPECT_EQ(InterfaceExtentEnd(range, reinterpret_cast<const UCHAR*>(found)), range.End);
}

// A descriptor that cannot be stepped over hides everything after it: inside the Audio Control
// interface that leaves the header's wTotalLength uncovered; inside a later alternate it only
// hides that alternate.
TEST_F(MalformedDescriptorTest, BrokenLengthsInsideTheFunction)
{
    using namespace sim::usb;
    const Bytes r9 = sim::devices::R9Descriptors().configuration;
    auto intact = Parse(r9, true);
    ASSERT_EQ(intact->status, STATUS_SUCCESS);
    const auto offsetOf = [&](const void* descriptor) {
        return size_t(static_cast<const UCHAR*>(descriptor) - intact->configuration.data());
    };
    const size_t featureUnit = offsetOf(intact->Entity(2)->GetDescriptor());
    const size_t lastFormat = offsetOf(intact->Interface(2)->Alternates[2].FormatType);

    // 0xFF near the end of the set runs past it; 0 and 1 cannot be stepped over anywhere.
    for (UCHAR length : {UCHAR(0), UCHAR(1), UCHAR(0xFF)}) {
        SCOPED_TRACE(testing::Message() << "bLength " << int(length));
        Bytes broken = r9;
        if (length < 2) {
            broken[featureUnit] = length;
            auto inControl = Parse(broken, true);
            EXPECT_EQ(inControl->status, STATUS_NOT_SUPPORTED);
        }

        broken = r9;
        broken[lastFormat] = length;
        auto inAlternate = Parse(broken, true);
        ASSERT_EQ(inAlternate->status, STATUS_SUCCESS);
        // Alternate 2 of the capture interface is still found, but nothing inside it is.
        const AlternateSetting& hidden = inAlternate->Interface(2)->Alternates[2];
        EXPECT_EQ(hidden.FormatType, nullptr);
        EXPECT_EQ(hidden.DataEndpoint, nullptr);
    }
}

struct DescriptorSource {
    const char* name;
    Bytes device;
    Bytes configuration;
};

std::vector<DescriptorSource> AllSources()
{
    std::vector<DescriptorSource> sources;
    const sim::usb::DescriptorSet r9 = sim::devices::R9Descriptors();
    const sim::usb::DescriptorSet r9Uac1 = sim::devices::R9FullSpeedUac1Descriptors();
    sources.push_back({"r9", r9.device, r9.configuration});
    sources.push_back({"r9-uac1", r9Uac1.device, r9Uac1.configuration});
    for (const char* name :
         {"behringer_umc202hd_192k", "arturia_audiofuse_16rig", "teufel_cinebar_one", "plantronics_headset_c024"}) {
        const auto file = sim::usb::ReadBinaryFile(std::string(R9_USB_FIXTURES_DIR) + "/" + name + ".bin");
        EXPECT_TRUE(file.has_value()) << name;
        if (file) {
            const sim::usb::DescriptorSet set = sim::usb::DescriptorSetFromDump(*file);
            sources.push_back({name, set.device, set.configuration});
        }
    }
    return sources;
}

bool IsRefusalOrSuccess(NTSTATUS status)
{
    return status == STATUS_SUCCESS || status == STATUS_NOT_SUPPORTED || status == STATUS_NOT_IMPLEMENTED;
}

// Every prefix of every set, and every byte set to 0, 1 and 0xFF: the model and the describe
// report run over each without reading past the exact-size copy.
TEST_F(MalformedDescriptorTest, EveryCutAndEveryCorruptedByte)
{
    for (const DescriptorSource& source : AllSources()) {
        SCOPED_TRACE(source.name);
        const Bytes& original = source.configuration;
        for (size_t length = 0; length <= original.size(); ++length) {
            auto device = Parse(Bytes(original.begin(), original.begin() + long(length)), true, source.device);
            EXPECT_TRUE(IsRefusalOrSuccess(device->status)) << "cut at " << length;
        }
        for (size_t at = 0; at < original.size(); ++at) {
            for (uint8_t value : {uint8_t(0), uint8_t(1), uint8_t(0xFF)}) {
                Bytes corrupted = original;
                corrupted[at] = value;
                auto device = Parse(corrupted, true, source.device);
                EXPECT_TRUE(IsRefusalOrSuccess(device->status)) << "byte " << at << " = " << int(value);

                r9sim::DeviceDescriptors descriptors;
                descriptors.device = source.device;
                descriptors.configuration = corrupted;
                std::string report;
                const int result = r9sim::DescribeDevice(descriptors, {r9sim::SpeedChoice::High, "", nullptr}, report);
                EXPECT_EQ(result, NT_SUCCESS(device->status) ? 0 : 1) << "byte " << at << " = " << int(value);
            }
        }
    }
}

// Failed allocations in the R9's model, one at a time: 8 entities, then a record and an
// alternates array per streaming interface. A lost entity ends the walk, so a streaming
// interface later finds no terminal; a lost record or array fails outright.
TEST_F(MalformedDescriptorTest, EachAllocationFailureIsHandled)
{
    const Bytes r9 = sim::devices::R9Descriptors().configuration;
    for (uint64_t nth = 1; nth <= 13; ++nth) {
        SCOPED_TRACE(testing::Message() << "allocation " << nth << " fails");
        machine_.Pools().InjectFailure(nth, kDefaultPoolTag);
        auto device = Parse(r9, true);
        machine_.Pools().InjectFailure(0);
        const NTSTATUS expected = nth <= 8    ? STATUS_NOT_SUPPORTED
                                  : nth <= 12 ? STATUS_INSUFFICIENT_RESOURCES
                                              : STATUS_SUCCESS;
        EXPECT_EQ(device->status, expected);
    }
}

}  // namespace
}  // namespace audioclasstest
