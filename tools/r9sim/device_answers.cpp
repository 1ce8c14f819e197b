#include "tools/r9sim/device_answers.h"

#include <cstdarg>
#include <cstdio>

#include "driver/usbaudio/alternate_format.h"
#include "driver/usbaudio/audio_requests.h"
#include "driver/usbaudio/clock_entity.h"
#include "driver/usbaudio/usb_audio_cl.h"
#include "sim/devices/audio_class/audio_class_device.h"
#include "sim/usb/host_controller.h"
#include "tools/r9sim/filter_description.h"

namespace r9sim {

namespace {

using namespace usbaudio;

// Describing moves no audio; the check passes the status on.
class DescribingDriver : public CUSBAudioCL {
public:
    DescribingDriver() : CUSBAudioCL(NonPagedPoolNx) {}
    NTSTATUS CheckTransfer(NTSTATUS status, PURB, TransferContext*) override { return status; }
};

// The rates worth asking a clock about: every rate of the driver's packet patterns and the usual
// ones between them.
constexpr ULONG kProbeRates[] = {8000,  11025, 16000,  22050,  32000,  44100,  48000,  64000,
                                 88200, 96000, 176400, 192000, 352800, 384000, 705600, 768000};
constexpr USHORT kPcm = 1;
constexpr ULONG kOneMillisecond = 1;

void Line(std::string& report, int indent, const char* format, ...) __attribute__((format(printf, 3, 4)));
void Line(std::string& report, int indent, const char* format, ...)
{
    report.append(size_t(indent) * 2, ' ');
    va_list arguments;
    va_start(arguments, format);
    char line[512];
    std::vsnprintf(line, sizeof(line), format, arguments);
    va_end(arguments);
    report += line;
    report += '\n';
}

std::string Name(const CUSBAudioEntity* entity)
{
    char name[40];
    entity->GetName(name, sizeof(name));
    return name;
}

unsigned long Unsigned(ULONG value) { return value; }

sim::usb::DescriptorSet SetFrom(const DeviceDescriptors& descriptors, bool highSpeed)
{
    sim::usb::DescriptorSet set;
    set.device = descriptors.device;
    if (set.device.size() != sizeof(USB_DEVICE_DESCRIPTOR)) {
        // The stack reads a device descriptor first; one without IDs stands in for the missing one.
        sim::usb::DeviceFields fields{};
        fields.bcdUSB = highSpeed ? 0x0200 : 0x0110;
        fields.bMaxPacketSize0 = 64;
        fields.bNumConfigurations = 1;
        set.device = sim::usb::Device(fields);
    }
    set.configuration = descriptors.configuration;
    set.languageIds = {0x0409};
    return set;
}

void DescribeClock(std::string& report, CUSBAudioClockEntity& clock)
{
    ULONG low = 0;
    ULONG high = 0;
    const NTSTATUS range = clock.GetSampleRateRange(&low, &high, 0, 0xFFFFFFFF);
    std::string rates;
    for (ULONG rate : kProbeRates) {
        // Beyond the range's ends no subrange can list the rate: no need to ask.
        if (NT_SUCCESS(range) && (rate < low || rate > high)) {
            continue;
        }
        if (NT_SUCCESS(clock.IsSampleRateSupported(rate))) {
            rates += (rates.empty() ? "" : ", ") + std::to_string(rate);
        }
    }
    ULONG current = 0;
    const NTSTATUS now = clock.GetSampleRate(&current);
    if (!NT_SUCCESS(range)) {
        Line(report, 1, "%s: the RANGE request failed (0x%08X)", Name(&clock).c_str(), unsigned(range));
    } else {
        Line(report, 1, "%s: RANGE %lu to %lu Hz; rates %s Hz", Name(&clock).c_str(), Unsigned(low), Unsigned(high),
             rates.empty() ? "none of the usual" : rates.c_str());
    }
    if (NT_SUCCESS(now)) {
        Line(report, 2, "now %lu Hz, %s", Unsigned(current), clock.IsValid() ? "valid" : "not valid");
    } else {
        Line(report, 2, "current rate unknown (0x%08X)", unsigned(now));
    }
}

// 2.0: what the clock runs at. 1.0: what the streaming endpoint says, else 48 kHz when the first
// alternate offers it, else that alternate's lowest rate.
ULONG DefaultRate(CUSBAudioCL& driver, std::string& basis)
{
    StreamingInterface* record = driver.GetStreamingInterface(kDirectionOut);
    if (record == nullptr) {
        record = driver.GetStreamingInterface(kDirectionIn);
    }
    ULONG rate = 0;
    if (record == nullptr) {
        return 0;
    }
    if (driver.IsAudioClass20()) {
        CUSBAudioClockEntity* clock = CUSBAudioCL::GetClockEntity(record);
        basis = "the clock's current rate";
        return clock != nullptr && NT_SUCCESS(clock->GetSampleRate(&rate)) ? rate : 0;
    }
    const AlternateSetting& first = record->Alternates[1];
    UCHAR current[3] = {};
    if (first.DataEndpoint != nullptr &&
        NT_SUCCESS(driver.SendControlRequest(kGetFromEndpoint, kGetCur, kEndpointSamplingFrequency,
                                             first.DataEndpoint->bEndpointAddress, sizeof(current), current))) {
        basis = "the streaming endpoint's current rate";
        return ULONG(current[0]) | ULONG(current[1]) << 8 | ULONG(current[2]) << 16;
    }
    if (OffersSampleRate(first, sim::devices::kDefaultRate)) {
        basis = "the endpoint does not say; alternate 1 offers it";
        return sim::devices::kDefaultRate;
    }
    ULONG highest = 0;
    basis = "the endpoint does not say; the lowest rate of alternate 1";
    return GetSampleRateSpan(first, &rate, &highest) ? rate : 0;
}

// Render follows the capture stream on a shared clock or beside an implicit-feedback capture
// endpoint; its packets are then sized per period from what capture delivered.
bool RenderFollowsCapture(const CUSBAudioCL& driver)
{
    const StreamingInterface* capture = driver.GetStreamingInterface(kDirectionIn);
    return driver.GetModel().IsClockShared() ||
           (capture != nullptr && IsImplicitFeedbackData(capture->Alternates[1].DataEndpoint));
}

void DescribeAlternate(std::string& report, CUSBAudioCL& driver, ULONG direction, ULONG alternate, ULONG rate)
{
    StreamingInterface* record = driver.GetStreamingInterface(direction);
    const bool v20 = driver.IsAudioClass20();
    const AlternateSetting& setting = record->Alternates[alternate];
    const ULONG channels = GetChannelCount(setting, v20);
    const ULONG bits = GetBitResolution(setting, v20);
    const bool followsCapture = direction == kDirectionOut && RenderFollowsCapture(driver);
    ULONG channelsOut = 0;
    ULONG bitsOut = 0;
    ULONG maxBytes = 0;
    ULONG nominalPeriod = 0;
    LONG below = 0;
    LONG above = 0;
    const NTSTATUS status =
        followsCapture ? driver.SelectStreamingFormat(direction, kPcm, channels, bits, rate, kOneMillisecond,
                                                      &channelsOut, &bitsOut, &nominalPeriod, &below, &above, &maxBytes)
                       : driver.SelectStreamingFormat(direction, kPcm, channels, bits, rate, kOneMillisecond,
                                                      &channelsOut, &bitsOut, &maxBytes);
    const ULONG chosen = record->CurrentAlternate;
    if (!NT_SUCCESS(status)) {
        Line(report, 2, "alternate %lu (%lu channels, %lu bits): not selectable as PCM (0x%08X)", Unsigned(alternate),
             Unsigned(channels), Unsigned(bits), unsigned(status));
    } else if (chosen != alternate) {
        Line(report, 2, "alternate %lu (%lu channels, %lu bits): the driver takes alternate %lu for this format",
             Unsigned(alternate), Unsigned(channels), Unsigned(bits), Unsigned(chosen));
    } else {
        const ULONG interval = record->DataPipe != nullptr && record->DataPipe->Interval > 1
                                   ? ULONG(1) << (record->DataPipe->Interval - 1)
                                   : 1;
        const ULONG periodMicroseconds = interval * (driver.IsHighSpeed() ? 125 : 1000);
        Line(report, 2, "alternate %lu: %lu channels, %lu bits in %lu-bit containers, %lu bytes per sample frame",
             Unsigned(alternate), Unsigned(channelsOut), Unsigned(bits), Unsigned(bitsOut),
             Unsigned(record->BytesPerSampleFrame));
        Line(report, 3, "packets every %lu us: %lu bytes nominal, %lu to %lu; at most %lu bytes per ms",
             Unsigned(periodMicroseconds), Unsigned(record->NominalPacketBytes), Unsigned(record->MinimumPacketBytes),
             Unsigned(record->MaximumPacketBytes),
             Unsigned(maxBytes));
        if (followsCapture) {
            Line(report, 3, "paced by capture: %lu bytes per ms, %ld to %+ld sample frames", Unsigned(nominalPeriod),
                 long(below), long(above));
        } else if (record->FeedbackPipe != nullptr) {
            const ULONG feedback = driver.GetNominalFeedback(direction);
            Line(report, 3, "nominal feedback 0x%08lX (%.4f sample frames per packet)", Unsigned(feedback),
                 feedback / 65536.0);
        }
    }
    ULONG ignored = 0;
    driver.SelectStreamingFormat(direction, kPcm, 0, 0, 0, kOneMillisecond, &ignored, &ignored, &ignored);
}

void DescribePackets(std::string& report, CUSBAudioCL& driver, ULONG rate)
{
    const bool v20 = driver.IsAudioClass20();
    for (ULONG direction : {ULONG(kDirectionOut), ULONG(kDirectionIn)}) {
        StreamingInterface* record = driver.GetStreamingInterface(direction);
        if (record == nullptr) {
            continue;
        }
        Line(report, 1, "interface %u (%s) at %lu Hz:", record->InterfaceNumber,
             direction == kDirectionOut ? "render" : "capture", Unsigned(rate));
        for (ULONG n = 1; n < record->AlternateCount; ++n) {
            const AlternateSetting& setting = record->Alternates[n];
            if (setting.AsGeneral != nullptr && setting.FormatType != nullptr &&
                GetFormatType(setting, v20) == kFormatTypeI) {
                DescribeAlternate(report, driver, direction, n, rate);
            }
        }
    }
}

void Ask(std::string& report, CUSBAudioCL& driver)
{
    if (driver.IsAudioClass20()) {
        for (CUSBAudioEntity* entity = driver.GetModel().GetFirstEntity(); entity != nullptr;
             entity = entity->GetNext()) {
            if (CUSBAudioClockEntity* clock = CUSBAudioClockEntity::FromEntity(entity)) {
                DescribeClock(report, *clock);
            }
        }
    } else {
        Line(report, 1, "no clock entities (Audio Class 1.0): the rates are the alternates' own");
    }
    std::string basis;
    const ULONG rate = DefaultRate(driver, basis);
    if (rate == 0) {
        Line(report, 1, "default rate: unknown");
        return;
    }
    Line(report, 1, "default rate: %lu Hz (%s)", Unsigned(rate), basis.c_str());
    DescribePackets(report, driver, rate);
}

}  // namespace

void DescribeDeviceAnswers(const DeviceDescriptors& descriptors, bool highSpeed, const DeviceFactory& makeDevice,
                           std::string& report)
{
    sim::usb::HostController usb;
    std::unique_ptr<sim::usb::UsbDeviceModel> model =
        makeDevice ? makeDevice()
                   : std::make_unique<sim::devices::AudioClassDevice>(
                         SetFrom(descriptors, highSpeed), highSpeed ? sim::usb::UsbSpeed::High : sim::usb::UsbSpeed::Full);
    sim::usb::BusDevice& device = usb.Plug(std::move(model));
    auto* driver = new (NonPagedPoolNx, kDefaultPoolTag) DescribingDriver();
    Line(report, 0, "the simulated device, asked by the driver:");
    NTSTATUS status = driver->Init(device.Pdo(), 16);
    if (NT_SUCCESS(status)) {
        status = driver->ConfigureDevice();
    }
    if (NT_SUCCESS(status)) {
        Ask(report, *driver);
        DescribeFilter(*driver, report);
    } else {
        Line(report, 1, "the driver could not start on it (0x%08X)", unsigned(status));
    }
    KeFlushQueuedDpcs();
    delete driver;
}

}  // namespace r9sim
