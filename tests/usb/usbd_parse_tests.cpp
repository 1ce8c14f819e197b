// USBD_ParseDescriptors, USBD_ParseConfigurationDescriptorEx and USBD_CreateConfigurationRequestEx:
// their documented search rules, and that broken descriptor sets from a device stop the search
// instead of overrunning the buffer (run under AddressSanitizer, buffers are allocated to the byte).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "sim/api/usb_types.h"
#include "sim/devices/r9/r9_descriptors.h"
#include "sim/kernel/machine.h"
#include "sim/usb/descriptors/audio_descriptors.h"
#include "sim/usb/descriptors/urb_memory.h"
#include "tests/usb/descriptor_walk.h"

namespace {

using namespace sim::usb;

// A heap block of exactly the descriptor bytes, so any read past the end is caught.
class ExactBuffer {
public:
    explicit ExactBuffer(const Bytes& bytes) : size_(bytes.size()), data_(new UCHAR[bytes.size()])
    {
        std::memcpy(data_.get(), bytes.data(), bytes.size());
    }
    UCHAR* At(size_t offset) const { return data_.get() + offset; }
    PUSB_CONFIGURATION_DESCRIPTOR Configuration() const
    {
        return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(data_.get());
    }
    ULONG Size() const { return static_cast<ULONG>(size_); }

private:
    size_t size_;
    std::unique_ptr<UCHAR[]> data_;
};

// Interface 0 (vendor, one endpoint), interface 1 alternates 0 and 1 (audio streaming, one endpoint).
// Offsets: config 0, if0 9, ep 18, if1/0 25, if1/1 34, ep 43, end 50.
Bytes SmallConfiguration()
{
    return ConfigurationBuilder(1, 0, 0x80, 50)
        .Add(Interface(0, 0, 1, 0xFF, 0x00, 0x00))
        .Add(Endpoint(0x81, 0x03, 8, 4))
        .Add(Interface(1, 0, 0, kAudioClass, kAudioStreamingSubclass, 0))
        .Add(Interface(1, 1, 1, kAudioClass, kAudioStreamingSubclass, 0))
        .Add(Endpoint(0x02, 0x05, 192, 1))
        .Build();
}

TEST(UsbdParseDescriptors, SearchesFromTheStartPositionInclusive)
{
    ExactBuffer buffer(SmallConfiguration());
    auto* cfg = buffer.Configuration();

    EXPECT_EQ(reinterpret_cast<UCHAR*>(USBD_ParseDescriptors(cfg, buffer.Size(), cfg, USB_ENDPOINT_DESCRIPTOR_TYPE)),
              buffer.At(18));
    EXPECT_EQ(reinterpret_cast<UCHAR*>(
                  USBD_ParseDescriptors(cfg, buffer.Size(), buffer.At(18), USB_ENDPOINT_DESCRIPTOR_TYPE)),
              buffer.At(18));
    EXPECT_EQ(reinterpret_cast<UCHAR*>(
                  USBD_ParseDescriptors(cfg, buffer.Size(), buffer.At(25), USB_ENDPOINT_DESCRIPTOR_TYPE)),
              buffer.At(43));
    EXPECT_EQ(USBD_ParseDescriptors(cfg, buffer.Size(), buffer.At(25), USB_DEVICE_DESCRIPTOR_TYPE), nullptr);
    // Outside the buffer, or only the end of it: nothing to search.
    EXPECT_EQ(USBD_ParseDescriptors(cfg, buffer.Size(), buffer.At(buffer.Size()), USB_ENDPOINT_DESCRIPTOR_TYPE),
              nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(buffer.At(9), buffer.Size() - 9, cfg, USB_CONFIGURATION_DESCRIPTOR_TYPE), nullptr);
    // TotalLength, not wTotalLength, bounds this search.
    EXPECT_EQ(reinterpret_cast<UCHAR*>(USBD_ParseDescriptors(cfg, 43, cfg, USB_ENDPOINT_DESCRIPTOR_TYPE)),
              buffer.At(18));
    EXPECT_EQ(reinterpret_cast<UCHAR*>(USBD_ParseDescriptors(cfg, 43, buffer.At(25), USB_ENDPOINT_DESCRIPTOR_TYPE)),
              nullptr);
}

TEST(UsbdParseConfigurationDescriptorEx, MatchesEveryCriterionThatIsNotMinusOne)
{
    ExactBuffer buffer(SmallConfiguration());
    auto* cfg = buffer.Configuration();
    auto offsetOf = [&](PUSB_INTERFACE_DESCRIPTOR found) {
        return found == nullptr ? -1L : static_cast<long>(reinterpret_cast<UCHAR*>(found) - buffer.At(0));
    };
    const struct {
        LONG number, alternate, interfaceClass, subClass, protocol;
        long expectedOffset;
    } cases[] = {
        {-1, -1, -1, -1, -1, 9},
        {1, -1, -1, -1, -1, 25},
        {1, 1, -1, -1, -1, 34},
        {-1, 1, -1, -1, -1, 34},
        {-1, -1, kAudioClass, kAudioStreamingSubclass, -1, 25},
        {-1, -1, 0xFF, -1, -1, 9},
        {-1, -1, 0xFF, 0x01, -1, -1},
        {1, 2, -1, -1, -1, -1},
        {2, -1, -1, -1, -1, -1},
        {-1, -1, -1, -1, 0x20, -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(offsetOf(USBD_ParseConfigurationDescriptorEx(cfg, cfg, c.number, c.alternate, c.interfaceClass,
                                                               c.subClass, c.protocol)),
                  c.expectedOffset)
            << "interface " << c.number << " alternate " << c.alternate << " class " << c.interfaceClass;
    }
    // Starting at an interface includes it; starting just after it finds the next one.
    EXPECT_EQ(offsetOf(USBD_ParseConfigurationDescriptorEx(cfg, buffer.At(25), 1, -1, -1, -1, -1)), 25);
    EXPECT_EQ(offsetOf(USBD_ParseConfigurationDescriptorEx(cfg, buffer.At(34), 1, -1, -1, -1, -1)), 34);
    EXPECT_EQ(offsetOf(USBD_ParseConfigurationDescriptorEx(cfg, buffer.At(43), 1, -1, -1, -1, -1)), -1);
    EXPECT_EQ(offsetOf(USBD_ParseConfigurationDescriptor(cfg, 1, 1)), 34);
}

// Each case breaks the small configuration in one way and asks for interface 1 alternate 1
// (offset 34) and for any endpoint after interface 0 (offset 18 when reachable).
struct BrokenSet {
    const char* what;
    void (*breakIt)(Bytes&);
    bool alternateFound;
    bool firstEndpointFound;
};

const BrokenSet kBrokenSets[] = {
    {"bLength 0 after interface 0", [](Bytes& b) { PutByte(b, 18, 0); }, false, false},
    {"bLength 1 on interface 1/0", [](Bytes& b) { PutByte(b, 25, 1); }, false, true},
    {"bLength 0 on the last endpoint", [](Bytes& b) { PutByte(b, 43, 0); }, true, true},
    {"last endpoint's bLength past the end", [](Bytes& b) { PutByte(b, 43, 200); }, true, true},
    {"interface 1/1 reaching past the end", [](Bytes& b) { PutByte(b, 34, 17); }, false, true},
    {"interface 1/1 shorter than 9 bytes",
     [](Bytes& b) {
         b.erase(b.begin() + 40, b.begin() + 43);
         PutByte(b, 34, 6);
         PutWord(b, 2, 47);
     },
     false, true},
    {"wTotalLength stops inside interface 1/1", [](Bytes& b) { PutWord(b, 2, 38); }, false, true},
    {"wTotalLength covers only the header", [](Bytes& b) { PutWord(b, 2, 9); }, false, false},
    {"wTotalLength 0", [](Bytes& b) { PutWord(b, 2, 0); }, false, false},
    {"set truncated after interface 1/0", [](Bytes& b) { b.resize(34); }, false, true},
    {"set truncated to one byte of a descriptor header",
     [](Bytes& b) {
         b.resize(26);
         PutWord(b, 2, 26);
     },
     false, true},
};

TEST(UsbdParseConfigurationDescriptorEx, StopsAtBrokenLengthsWithoutReadingPastTheBuffer)
{
    for (const BrokenSet& broken : kBrokenSets) {
        Bytes bytes = SmallConfiguration();
        broken.breakIt(bytes);
        // A truncated transfer still leaves wTotalLength bytes allocated by the reader; the part
        // the device never sent is zero.
        const size_t declared = usbtest::Word(bytes.data() + 2);
        if (bytes.size() < declared) {
            bytes.resize(declared, 0);
        }
        ExactBuffer buffer(bytes);
        auto* cfg = buffer.Configuration();
        const auto walked = std::min<ULONG>(buffer.Size(), cfg->wTotalLength);

        EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cfg, cfg, 1, 1, -1, -1, -1) != nullptr, broken.alternateFound)
            << broken.what;
        EXPECT_EQ(USBD_ParseDescriptors(cfg, walked, buffer.At(9), USB_ENDPOINT_DESCRIPTOR_TYPE) != nullptr,
                  broken.firstEndpointFound)
            << broken.what;
        // Whatever is returned lies wholly inside the buffer.
        for (LONG type = 0; type <= 0xFF; ++type) {
            if (auto* found = USBD_ParseDescriptors(cfg, walked, cfg, type)) {
                const auto offset = static_cast<ULONG>(reinterpret_cast<UCHAR*>(found) - buffer.At(0));
                EXPECT_LE(offset + found->bLength, walked) << broken.what << ", type " << type;
            }
        }
    }
}

TEST(UsbdParseConfigurationDescriptorEx, NullConfigurationOrStartGivesNull)
{
    ExactBuffer buffer(SmallConfiguration());
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(nullptr, buffer.At(0), -1, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(buffer.Configuration(), nullptr, -1, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(nullptr, 50, buffer.At(0), USB_INTERFACE_DESCRIPTOR_TYPE), nullptr);
}

struct UrbDeleter {
    void operator()(URB* urb) const { FreeUrbMemory(urb); }
};

TEST(UsbdCreateConfigurationRequestEx, LaysOutOneInterfaceInformationPerListEntry)
{
    sim::Machine machine;  // the URB comes from its pool
    auto set = sim::devices::R9Descriptors();
    auto* cfg = usbtest::AsConfiguration(set.configuration);
    USBD_INTERFACE_LIST_ENTRY list[] = {
        {USBD_ParseConfigurationDescriptorEx(cfg, cfg, 0, 0, -1, -1, -1), nullptr},
        {USBD_ParseConfigurationDescriptorEx(cfg, cfg, 1, 1, -1, -1, -1), nullptr},  // data + feedback
        {USBD_ParseConfigurationDescriptorEx(cfg, cfg, 2, 1, -1, -1, -1), nullptr},  // data
        {nullptr, nullptr},
    };
    const ULONG expectedPipes[] = {0, 2, 1};

    std::unique_ptr<URB, UrbDeleter> urb(USBD_CreateConfigurationRequestEx(cfg, list));
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(3, 3));
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, cfg);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);

    auto* expectedPlace = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    for (size_t i = 0; i < 3; ++i) {
        PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
        ASSERT_EQ(reinterpret_cast<UCHAR*>(info), expectedPlace) << "entry " << i;
        EXPECT_EQ(info->Length, GET_USBD_INTERFACE_SIZE(expectedPipes[i]));
        EXPECT_EQ(info->InterfaceNumber, list[i].InterfaceDescriptor->bInterfaceNumber);
        EXPECT_EQ(info->AlternateSetting, list[i].InterfaceDescriptor->bAlternateSetting);
        EXPECT_EQ(info->NumberOfPipes, expectedPipes[i]);
        EXPECT_EQ(info->InterfaceHandle, nullptr);
        for (ULONG p = 0; p < info->NumberOfPipes; ++p) {
            EXPECT_EQ(info->Pipes[p].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
            EXPECT_EQ(info->Pipes[p].PipeHandle, nullptr);
        }
        expectedPlace += info->Length;
    }
    EXPECT_EQ(expectedPlace, reinterpret_cast<UCHAR*>(urb.get()) + urb->UrbHeader.Length);
}

TEST(UsbdCreateConfigurationRequestEx, EmptyListGivesNull)
{
    auto set = sim::devices::R9Descriptors();
    USBD_INTERFACE_LIST_ENTRY empty[] = {{nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(usbtest::AsConfiguration(set.configuration), empty), nullptr);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(usbtest::AsConfiguration(set.configuration), nullptr), nullptr);
}

TEST(UsbdCreateConfigurationRequestEx, RefusesAnUrbBeyond65535Bytes)
{
    sim::Machine machine;
    // 30 entries of 255 pipes would need 30 x (24 + 255 x 24) bytes.
    Bytes many = Interface(0, 0, 255, 0xFF, 0, 0);
    std::vector<USBD_INTERFACE_LIST_ENTRY> list(31, USBD_INTERFACE_LIST_ENTRY{nullptr, nullptr});
    for (size_t i = 0; i < 30; ++i) {
        list[i].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(many.data());
    }
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(nullptr, list.data()), nullptr);
    list[2].InterfaceDescriptor = nullptr;  // two entries: 12328 bytes fit
    std::unique_ptr<URB, UrbDeleter> urb(USBD_CreateConfigurationRequestEx(nullptr, list.data()));
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 510));
}

}  // namespace
