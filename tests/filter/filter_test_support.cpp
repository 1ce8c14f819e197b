#include "tests/filter/filter_test_support.h"

#include "driver/usbaudio/data_ranges.h"
#include "driver/usbaudio/ks_node_types.h"

namespace filtertest {

using namespace sim::usb;

namespace {

constexpr uint8_t kIsochronousAdaptive = 0x09;
constexpr uint8_t kIsochronousAsynchronous = 0x05;
constexpr uint16_t kMaxPacket20 = 1024;
constexpr uint16_t kMaxPacket10 = 1023;
constexpr uint8_t kSamplingFrequencyControl = 0x01;

sim::MachineOptions AsWindows(ULONG windowsVersion)
{
    sim::MachineOptions options;
    options.windowsVersion = windowsVersion;
    return options;
}

// Render endpoints need no feedback: adaptive. Capture endpoints run from the device's clock.
uint8_t DataEndpointAttributes(uint8_t endpoint)
{
    return (endpoint & 0x80) != 0 ? kIsochronousAsynchronous : kIsochronousAdaptive;
}

Bytes AlternateInterface(uint8_t number, uint8_t alternate, uint8_t endpoints)
{
    return Interface(number, alternate, endpoints, kAudioClass, kAudioStreamingSubclass, 0);
}

std::string SubFormatName(const GUID& subFormat)
{
    if (subFormat == KSDATAFORMAT_SUBTYPE_PCM) {
        return "PCM";
    }
    if (subFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT) {
        return "IEEE_FLOAT";
    }
    if (subFormat == KSDATAFORMAT_SUBTYPE_ALAW) {
        return "ALAW";
    }
    if (subFormat == KSDATAFORMAT_SUBTYPE_MULAW) {
        return "MULAW";
    }
    return subFormat == GUID{} ? "none" : "unexpected";
}

}  // namespace

Bytes Control20(std::initializer_list<Bytes> entities)
{
    return Concat({Interface(0, 0, 0, kAudioClass, kAudioControlSubclass, 0),
                   uac2::AudioControl(0x0200, 0x08, 0, entities)});
}

Bytes Control10(uint8_t streamingInterfaces, std::initializer_list<Bytes> entities)
{
    std::vector<uint8_t> numbers;
    for (uint8_t number = 1; number <= streamingInterfaces; ++number) {
        numbers.push_back(number);
    }
    return Concat({Interface(0, 0, 0, kAudioClass, kAudioControlSubclass, 0),
                   uac1::AudioControl(0x0100, numbers, entities)});
}

Bytes Streaming20(uint8_t number, uint8_t terminalLink, uint8_t endpoint, const std::vector<Alternate20>& alternates)
{
    Bytes bytes = AlternateInterface(number, 0, 0);
    uint8_t alternate = 1;
    for (const Alternate20& format : alternates) {
        Append(bytes, Concat({AlternateInterface(number, alternate++, 1),
                              uac2::AsGeneral(terminalLink, 0, kFormatTypeI, format.formats, format.channels, 0, 0),
                              uac2::FormatTypeI(format.subslotBytes, format.bits),
                              Endpoint(endpoint, DataEndpointAttributes(endpoint), kMaxPacket20, 1),
                              uac2::IsoEndpoint(0, 0, 0, 0)}));
    }
    return bytes;
}

Bytes Streaming10(uint8_t number, uint8_t terminalLink, uint8_t endpoint, const std::vector<Alternate10>& alternates)
{
    Bytes bytes = AlternateInterface(number, 0, 0);
    uint8_t alternate = 1;
    for (const Alternate10& format : alternates) {
        const Bytes formatType =
            format.continuous ? uac1::FormatTypeIContinuous(format.channels, format.subframeBytes, format.bits,
                                                            format.rates.at(0), format.rates.at(1))
                              : uac1::FormatTypeI(format.channels, format.subframeBytes, format.bits, format.rates);
        Append(bytes, Concat({AlternateInterface(number, alternate++, 1), uac1::AsGeneral(terminalLink, 1, format.tag),
                              formatType,
                              AudioEndpoint(endpoint, DataEndpointAttributes(endpoint), kMaxPacket10, 1, 0, 0),
                              uac1::IsoEndpoint(kSamplingFrequencyControl, 0, 0)}));
    }
    return bytes;
}

Bytes Configuration(std::initializer_list<Bytes> parts)
{
    ConfigurationBuilder builder(1, 0, 0x80, 50);
    for (const Bytes& part : parts) {
        builder.Add(part);
    }
    return builder.Build();
}

Bytes TwoChainDevice20()
{
    return Configuration(
        {Control20({uac2::InputTerminal(1, kTerminalUsbStreaming, 0, kClockId, 2, 0x3, 0, 0, 0),
                    uac2::FeatureUnit(2, 1, {0x0000000F, 0, 0}, 0),
                    uac2::OutputTerminal(3, kTerminalSpeaker, 0, 2, kClockId, 0, 0),
                    uac2::InputTerminal(4, kTerminalLineConnector, 0, kClockId, 2, 0x3, 0, 0, 0),
                    uac2::FeatureUnit(5, 4, {0x0000000C, 0, 0}, 0),
                    uac2::OutputTerminal(6, kTerminalUsbStreaming, 0, 5, kClockId, 0, 0),
                    uac2::ClockSource(kClockId, 0x03, 0x07, 0, 0)}),
         Streaming20(1, 1, 0x01, {{2, 4, 24}, {2, 4, 24}, {2, 2, 16}}),
         Streaming20(2, 6, 0x82, {{8, 4, 24}})});
}

FilterTest::FilterTest(ULONG windowsVersion)
    : machine_(AsWindows(windowsVersion)), usb_(std::make_unique<HostController>())
{
}

FilterTest::~FilterTest()
{
    if (driver_ != nullptr) {
        driver_->FreeFilter(&filter_);
        delete driver_;
    }
    usb_.reset();
    EXPECT_TRUE(machine_.Pools().LiveAllocations(kDefaultPoolTag).empty()) << machine_.Pools().LeakReport();
}

void FilterTest::Start(const Bytes& configuration, UsbSpeed speed)
{
    DeviceFields fields{};
    fields.bcdUSB = speed == UsbSpeed::High ? 0x0200 : 0x0110;
    fields.bMaxPacketSize0 = 64;
    fields.idVendor = 0x1209;
    fields.idProduct = 0x0F17;
    fields.bNumConfigurations = 1;
    DescriptorSet set;
    set.device = Device(fields);
    set.configuration = configuration;
    set.languageIds = {0x0409};
    auto device = std::make_unique<sim::devices::AudioClassDevice>(set, speed);
    device_ = device.get();
    BusDevice& bus = usb_->Plug(std::move(device));
    driver_ = new (NonPagedPoolNx, kDefaultPoolTag) FilterDevice();
    ASSERT_NE(driver_, nullptr);
    ASSERT_EQ(driver_->Init(bus.Pdo(), 16), STATUS_SUCCESS);
    ASSERT_EQ(driver_->ConfigureDevice(), STATUS_SUCCESS);
}

void PrintTo(const Connection& connection, std::ostream* out)
{
    auto end = [](ULONG node, ULONG pin) {
        return node == PCFILTER_NODE ? "pin " + std::to_string(pin)
                                     : "node " + std::to_string(node) + "." + std::to_string(pin);
    };
    *out << end(connection.fromNode, connection.fromPin) << " -> " << end(connection.toNode, connection.toPin);
}

std::vector<Connection> Connections(const PCFILTER_DESCRIPTOR& filter)
{
    std::vector<Connection> connections;
    for (ULONG i = 0; i < filter.ConnectionCount; ++i) {
        const PCCONNECTION_DESCRIPTOR& c = filter.Connections[i];
        connections.push_back({c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin});
    }
    return connections;
}

std::vector<std::string> NodeTypes(const PCFILTER_DESCRIPTOR& filter)
{
    std::vector<std::string> types;
    for (ULONG i = 0; i < filter.NodeCount; ++i) {
        types.push_back(usbaudio::KsNodeTypeName(usbaudio::FilterNode(filter, i)->Descriptor.Type));
    }
    return types;
}

void PrintTo(const Range& range, std::ostream* out)
{
    *out << range.subFormat << " " << range.channels << "ch " << range.bits << "-bit " << range.minimumRate << ".."
         << range.maximumRate;
}

std::vector<Range> AudioRanges(const PKSDATARANGE* ranges, ULONG count)
{
    std::vector<Range> result;
    for (ULONG i = 0; i < count; i = usbaudio::NextDataRangePosition(ranges, i)) {
        const KSDATARANGE_AUDIO* range = usbaudio::AsAudioDataRange(ranges[i]);
        if (range == nullptr) {
            ADD_FAILURE() << "entry " << i << " is no audio range";
            continue;
        }
        const KSDATARANGE& header = range->DataRange;
        EXPECT_EQ(header.FormatSize, 88u);
        EXPECT_EQ(header.SampleSize, 0u);
        EXPECT_EQ(header.Reserved, 0u);
        EXPECT_EQ(header.MajorFormat, KSDATAFORMAT_TYPE_AUDIO);
        EXPECT_EQ(header.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
        EXPECT_EQ(range->MinimumBitsPerSample, range->MaximumBitsPerSample);
        result.push_back({SubFormatName(header.SubFormat), range->MaximumChannels, range->MaximumBitsPerSample,
                          range->MinimumSampleFrequency, range->MaximumSampleFrequency});
    }
    return result;
}

const KSATTRIBUTE_LIST* AttributeList(const PKSDATARANGE* ranges, ULONG count)
{
    for (ULONG i = 0; i < count; i = usbaudio::NextDataRangePosition(ranges, i)) {
        if ((ranges[i]->Flags & KSDATARANGE_ATTRIBUTES) != 0) {
            EXPECT_EQ(i + 2, count) << "only the last range carries the attribute list";
            return i + 1 < count ? reinterpret_cast<const KSATTRIBUTE_LIST*>(ranges[i + 1]) : nullptr;
        }
        EXPECT_EQ(ranges[i]->Flags, 0u);
    }
    return nullptr;
}

}  // namespace filtertest
