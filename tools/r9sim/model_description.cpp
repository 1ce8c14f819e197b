#include "tools/r9sim/model_description.h"

#include <cstdarg>
#include <cstdio>

#include "driver/usbaudio/alternate_format.h"
#include "driver/usbaudio/audio_quirks.h"
#include "driver/usbaudio/audio_terminal.h"
#include "driver/usbaudio/clock_entity.h"
#include "driver/usbaudio/feature_unit.h"
#include "driver/usbaudio/usb_audio_model.h"
#include "platform/kernel.h"

namespace r9sim {

namespace {

using namespace usbaudio;

class Report {
public:
    explicit Report(std::string& text) : text_(text) {}

    void Line(int indent, const char* format, ...) __attribute__((format(printf, 3, 4)))
    {
        text_.append(size_t(indent) * 2, ' ');
        va_list arguments;
        va_start(arguments, format);
        char line[512];
        std::vsnprintf(line, sizeof(line), format, arguments);
        va_end(arguments);
        text_ += line;
        text_ += '\n';
    }

private:
    std::string& text_;
};

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    char text[256];
    std::vsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    return text;
}

std::string StatusText(NTSTATUS status)
{
    const char* name = status == STATUS_NOT_SUPPORTED            ? "STATUS_NOT_SUPPORTED"
                       : status == STATUS_NOT_IMPLEMENTED        ? "STATUS_NOT_IMPLEMENTED"
                       : status == STATUS_INSUFFICIENT_RESOURCES ? "STATUS_INSUFFICIENT_RESOURCES"
                                                                 : "status";
    return Printf("%s (0x%08X)", name, unsigned(status));
}

std::string Name(const CUSBAudioEntity* entity)
{
    char name[40];
    entity->GetName(name, sizeof(name));
    return name;
}

// "IT(1)" for a linked entity, or the ID the descriptor names when nothing was linked.
std::string LinkText(const CUSBAudioEntity* link, ULONG id)
{
    return link != nullptr ? Name(link) : Printf("ID %lu (no such entity)", static_cast<unsigned long>(id));
}

const char* TerminalTypeName(USHORT type)
{
    switch (type) {
    case 0x0100: return "USB undefined";
    case 0x0101: return "USB streaming";
    case 0x01FF: return "USB vendor specific";
    case 0x0201: return "microphone";
    case 0x0202: return "desktop microphone";
    case 0x0203: return "personal microphone";
    case 0x0204: return "omni-directional microphone";
    case 0x0205: return "microphone array";
    case 0x0301: return "speaker";
    case 0x0302: return "headphones";
    case 0x0304: return "desktop speaker";
    case 0x0402: return "headset";
    case 0x0601: return "analog connector";
    case 0x0602: return "digital audio interface";
    case 0x0603: return "line connector";
    case 0x0605: return "S/PDIF interface";
    default: return "other";
    }
}

const char* DummyKind(UCHAR subtype, bool audioClass20)
{
    switch (subtype) {
    case kAcMixerUnit: return "mixer unit";
    case kAcSelectorUnit: return "selector unit";
    default: break;
    }
    if (!audioClass20) {
        return subtype == kAc1ExtensionUnit ? "extension unit" : "unit";
    }
    switch (subtype) {
    case kAc2EffectUnit: return "effect unit";
    case kAc2ProcessingUnit: return "processing unit";
    case kAc2ExtensionUnit: return "extension unit";
    case kAc2ClockMultiplier: return "clock multiplier";
    case kAc2SampleRateConverter: return "sample-rate converter";
    default: return "unit";
    }
}

std::string FeatureControls(const CUSBAudioFeatureUnit& unit, bool audioClass20)
{
    static const char* const kControls[] = {
        "mute",           "volume",    "bass",       "mid",      "treble",     "graphic equalizer",
        "automatic gain", "delay",     "bass boost", "loudness", "input gain", "input gain pad",
        "phase inverter", "underflow", "overflow"};
    const ULONG count = audioClass20 ? 15 : 10;
    std::string text;
    for (ULONG control = 0; control < count; ++control) {
        if (unit.HasFeatureControlOnAnyChannel(control)) {
            text += text.empty() ? ": " : ", ";
            text += kControls[control];
        }
    }
    return text.empty() ? ": no controls" : text;
}

std::string ClockText(const CUSBAudioTerminal& terminal, bool audioClass20)
{
    return audioClass20 ? ", clock " + LinkText(terminal.GetClockLink(), terminal.GetClockSourceId()) : "";
}

void DescribeEntity(Report& report, const CUSBAudioModel& model, CUSBAudioEntity* entity)
{
    const bool v20 = model.IsAudioClass20();
    const UCHAR subtype = entity->GetSubtype();
    const std::string name = Name(entity);
    const USHORT type = entity->GetTerminalType();
    if (subtype == kAcInputTerminal) {
        const auto& terminal = *CUSBAudioTerminal::FromEntity(entity);
        report.Line(1, "%-18s input terminal, type 0x%04X (%s)%s", name.c_str(), type, TerminalTypeName(type),
                    ClockText(terminal, v20).c_str());
    } else if (subtype == kAcOutputTerminal) {
        const auto& terminal = static_cast<const CUSBAudioOutputTerminal&>(*entity);
        report.Line(1, "%-18s output terminal, type 0x%04X (%s), source %s%s", name.c_str(), type,
                    TerminalTypeName(type), LinkText(terminal.GetSourceEntity(), terminal.GetSourceId(0)).c_str(),
                    ClockText(terminal, v20).c_str());
    } else if (subtype == kAcFeatureUnit) {
        const auto& unit = static_cast<const CUSBAudioFeatureUnit&>(*entity);
        report.Line(1, "%-18s feature unit, source %s, %lu channels (master included)%s", name.c_str(),
                    LinkText(unit.GetSourceEntity(), unit.GetSourceId(0)).c_str(),
                    static_cast<unsigned long>(unit.GetChannelCount()), FeatureControls(unit, v20).c_str());
    } else if (entity->IsClockEntity() && subtype == kAc2ClockSource) {
        static const char* const kClockKinds[] = {"external", "internal fixed", "internal variable",
                                                  "internal programmable"};
        const UCHAR attributes = DescriptorByte(entity->GetDescriptor(), 4);
        report.Line(1, "%-18s clock source, %s%s", name.c_str(), kClockKinds[attributes & 3],
                    (attributes & 4) != 0 ? ", synchronised to start of frame" : "");
    } else if (entity->IsClockEntity()) {
        const auto& selector = static_cast<const CUSBAudioClockSelector&>(*entity);
        std::string inputs;
        for (ULONG pin = 0; pin < selector.GetInputCount(); ++pin) {
            const ULONG id = selector.GetSourceId(pin);
            inputs += (pin == 0 ? "" : ", ") + LinkText(model.FindEntity(id), id);
        }
        report.Line(1, "%-18s clock selector, inputs %s", name.c_str(), inputs.empty() ? "none" : inputs.c_str());
    } else if (!v20 && subtype == kAc1ProcessingUnit) {
        report.Line(1, "%-18s processing unit, whose link always fails (%s)", name.c_str(),
                    StatusText(STATUS_NOT_IMPLEMENTED).c_str());
    } else {
        report.Line(1, "%-18s %s, modelled without links", name.c_str(), DummyKind(subtype, v20));
    }
}

std::string IntervalText(const USB_ENDPOINT_DESCRIPTOR& endpoint, bool highSpeed)
{
    const UCHAR interval = endpoint.bInterval;
    if ((endpoint.bmAttributes & USB_ENDPOINT_TYPE_MASK) != USB_ENDPOINT_TYPE_ISOCHRONOUS || interval < 1 ||
        interval > 16) {
        return Printf("interval %u", interval);
    }
    const unsigned long periods = 1UL << (interval - 1);
    const unsigned long microseconds = highSpeed ? periods * 125 : periods * 1000;
    return microseconds % 1000 == 0 ? Printf("interval %u (%lu ms)", interval, microseconds / 1000)
                                    : Printf("interval %u (%lu us)", interval, microseconds);
}

// Usage bits exist only from Audio Class 2.0 on; 1.0 synch endpoints leave them zero.
std::string EndpointText(const USB_ENDPOINT_DESCRIPTOR& endpoint, bool highSpeed, bool v20)
{
    static const char* const kTypes[] = {"control", "isochronous", "bulk", "interrupt"};
    static const char* const kSyncs[] = {"", " no synchronisation", " asynchronous", " adaptive", " synchronous"};
    static const char* const kUsages[] = {"data", "feedback", "implicit feedback data", "reserved usage"};
    const UCHAR attributes = endpoint.bmAttributes;
    const bool isochronous = (attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS;
    const unsigned size = endpoint.wMaxPacketSize & 0x7FF;
    const unsigned transactions = (endpoint.wMaxPacketSize >> 11 & 3) + 1;
    std::string text =
        Printf("0x%02X %s %s%s", endpoint.bEndpointAddress,
               USB_ENDPOINT_DIRECTION_IN(endpoint.bEndpointAddress) ? "IN" : "OUT",
               kTypes[attributes & USB_ENDPOINT_TYPE_MASK], isochronous ? kSyncs[1 + (attributes >> 2 & 3)] : "");
    if (isochronous && v20) {
        text += Printf(" %s", kUsages[attributes >> 4 & 3]);
    }
    text += ", " + IntervalText(endpoint, highSpeed);
    text += highSpeed && transactions > 1 ? Printf(", max packet %u x %u", transactions, size)
                                          : Printf(", max packet %u", size);
    if (endpoint.bLength >= kAudioEndpointLength) {
        const UCHAR* bytes = reinterpret_cast<const UCHAR*>(&endpoint);
        text += Printf(", refresh %u, synch address 0x%02X", DescriptorByte(bytes, 7), DescriptorByte(bytes, 8));
    }
    return text;
}

std::string FormatText(const AlternateSetting& alternate, bool v20)
{
    static const char* const kFormatNames[] = {"PCM", "PCM8", "IEEE_FLOAT", "ALAW", "MULAW"};
    std::string text;
    if (v20) {
        const ULONG formats = GetFormats(alternate);
        for (ULONG bit = 0; bit < 5; ++bit) {
            if ((formats >> bit & 1) != 0) {
                text += (text.empty() ? "" : "+") + std::string(kFormatNames[bit]);
            }
        }
        text = Printf("format type %u, bmFormats 0x%08lX (%s)", GetFormatType(alternate, true),
                      static_cast<unsigned long>(formats), text.empty() ? "none the driver knows" : text.c_str());
        return text + Printf(", %u channels, %u-bit resolution in %u-byte subslots", GetChannelCount(alternate, true),
                             GetBitResolution(alternate, true), GetSubslotBytes(alternate, true));
    }
    const USHORT tag = GetFormatTag(alternate);
    text = Printf("format type %u, format tag 0x%04X (%s)", GetFormatType(alternate, false), tag,
                  tag >= 1 && tag <= 5 ? kFormatNames[tag - 1] : "not one the driver knows");
    return text + Printf(", %u channels, %u-bit resolution in %u-byte subframes", GetChannelCount(alternate, false),
                         GetBitResolution(alternate, false), GetSubslotBytes(alternate, false));
}

std::string RatesText(const AlternateSetting& alternate, bool v20)
{
    if (v20) {
        return "from the clock's RANGE request";
    }
    ULONG lower = 0;
    ULONG upper = 0;
    if (GetContinuousSampleRates(alternate, &lower, &upper)) {
        return Printf("%lu to %lu Hz, continuous", static_cast<unsigned long>(lower),
                      static_cast<unsigned long>(upper));
    }
    std::string text;
    for (ULONG i = 0; i < GetSampleRateType(alternate); ++i) {
        text += (i == 0 ? "" : ", ") + std::to_string(GetDiscreteSampleRate(alternate, i));
    }
    return text + " Hz";
}

void DescribeEndpoints(Report& report, const CUSBAudioModel& model, const AlternateSetting& alternate)
{
    const bool v20 = model.IsAudioClass20();
    const bool highSpeed = model.IsHighSpeed();
    const DescriptorRange& range = model.GetDescriptorRange();
    const auto* interfaceBytes = reinterpret_cast<const UCHAR*>(alternate.Interface);
    const UCHAR* start = interfaceBytes + alternate.Interface->bLength;
    const UCHAR* end = InterfaceExtentEnd(range, interfaceBytes);

    if (alternate.DataEndpoint != nullptr) {
        report.Line(3, "data endpoint %s", EndpointText(*alternate.DataEndpoint, highSpeed, v20).c_str());
    } else {
        report.Line(3, "data endpoint: none");
    }
    if (alternate.FeedbackEndpoint != nullptr) {
        report.Line(3, "feedback endpoint %s", EndpointText(*alternate.FeedbackEndpoint, highSpeed, v20).c_str());
    }
    for (const UCHAR* at = FindDescriptor(range, start, USB_ENDPOINT_DESCRIPTOR_TYPE, end); at != nullptr;
         at = FindDescriptor(range, at + at[0], USB_ENDPOINT_DESCRIPTOR_TYPE, end)) {
        const USB_ENDPOINT_DESCRIPTOR* endpoint = AsEndpoint(at);
        if (endpoint != nullptr && endpoint != alternate.DataEndpoint && endpoint != alternate.FeedbackEndpoint) {
            report.Line(3, "endpoint %s: not used by the driver", EndpointText(*endpoint, highSpeed, v20).c_str());
        }
    }

    std::string classEndpoint = alternate.ClassEndpoint == nullptr       ? "none"
                                : v20                                    ? "present"
                                : HasSamplingFrequencyControl(alternate) ? "sampling-frequency control"
                                                                         : "no sampling-frequency control";
    const UCHAR* general = FindClassDescriptor(range, start, kCsEndpoint, kEndpointGeneral, end);
    if (alternate.ClassEndpoint == nullptr && general != nullptr && alternate.DataEndpoint != nullptr &&
        general < reinterpret_cast<const UCHAR*>(alternate.DataEndpoint)) {
        classEndpoint +=
            " (this alternate's EP_GENERAL descriptor comes before its data endpoint, where the "
            "driver does not look)";
    }
    report.Line(3, "class endpoint: %s", classEndpoint.c_str());
}

void DescribeStreamingInterface(Report& report, const CUSBAudioModel& model, const StreamingInterface& record)
{
    const bool v20 = model.IsAudioClass20();
    report.Line(1, "interface %u: %s, terminal %s, %lu alternates", record.InterfaceNumber,
                record.Direction == kDirectionIn ? "capture (IN)" : "render (OUT)",
                record.Terminal != nullptr ? Name(record.Terminal).c_str() : "not tied yet",
                static_cast<unsigned long>(record.AlternateCount));
    for (ULONG n = 0; n < record.AlternateCount; ++n) {
        const AlternateSetting& alternate = record.Alternates[n];
        if (alternate.Interface->bNumEndpoints == 0) {
            report.Line(2, "alternate %lu: zero bandwidth, no endpoints", static_cast<unsigned long>(n));
            continue;
        }
        if (alternate.AsGeneral == nullptr || alternate.FormatType == nullptr) {
            report.Line(2, "alternate %lu: %s", static_cast<unsigned long>(n),
                        alternate.AsGeneral == nullptr ? "no AS general descriptor" : "no format type descriptor");
        } else {
            report.Line(2, "alternate %lu: %s", static_cast<unsigned long>(n), FormatText(alternate, v20).c_str());
            report.Line(3, "rates: %s", RatesText(alternate, v20).c_str());
        }
        DescribeEndpoints(report, model, alternate);
    }
}

std::string SharedClockText(const CUSBAudioModel& model)
{
    const StreamingInterface* render = model.GetRenderInterface();
    const StreamingInterface* capture = model.GetCaptureInterface();
    if (render == nullptr || capture == nullptr) {
        return render != nullptr ? "no (render only)" : capture != nullptr ? "no (capture only)" : "no (no streaming)";
    }
    if (!model.IsAudioClass20()) {
        return model.IsClockShared() ? "yes (an Audio Class 1.0 device runs both directions from one clock)" : "no";
    }
    const CUSBAudioTerminal* renderTerminal = CUSBAudioTerminal::FromEntity(render->Terminal);
    const CUSBAudioTerminal* captureTerminal = CUSBAudioTerminal::FromEntity(capture->Terminal);
    if (renderTerminal == nullptr || captureTerminal == nullptr) {
        return "no (a streaming interface is tied to an entity that is no terminal)";
    }
    const unsigned long renderClock = renderTerminal->GetClockSourceId();
    const unsigned long captureClock = captureTerminal->GetClockSourceId();
    return model.IsClockShared() ? Printf("yes (render and capture terminals both name clock %lu)", renderClock)
                                 : Printf("no (render clock %lu, capture clock %lu)", renderClock, captureClock);
}

std::string QuirkText(ULONG quirks)
{
    std::string text;
    const struct {
        ULONG flag;
        const char* name;
    } kNames[] = {{kQuirkVendorClassInterfaces, "audio interfaces with the vendor-specific class"},
                  {kQuirkConfigureAllInterfaces, "every interface configured"},
                  {kQuirkLengthPrefixedRender, "length-prefixed render packets"}};
    for (const auto& quirk : kNames) {
        if ((quirks & quirk.flag) != 0) {
            text += (text.empty() ? "" : ", ") + std::string(quirk.name);
        }
    }
    return text.empty() ? "none" : text;
}

}  // namespace

int DescribeDevice(const DeviceDescriptors& descriptors, const DescribeOptions& options, std::string& text)
{
    Report report(text);
    const USB_DEVICE_DESCRIPTOR* device =
        descriptors.device.size() == sizeof(USB_DEVICE_DESCRIPTOR)
            ? reinterpret_cast<const USB_DEVICE_DESCRIPTOR*>(descriptors.device.data())
            : nullptr;
    const auto* configuration = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(descriptors.configuration.data());
    const ULONG length = ULONG(descriptors.configuration.size());

    for (const std::string& warning : descriptors.warnings) {
        report.Line(0, "warning: %s", warning.c_str());
    }
    if (device != nullptr) {
        report.Line(0, "device: %04x:%04x, bcdUSB %x.%02x", device->idVendor, device->idProduct, device->bcdUSB >> 8,
                    device->bcdUSB & 0xFF);
    } else {
        report.Line(0, "device: no device descriptor given, so no vendor and product ID and no quirks");
    }

    CUSBAudioModel model;
    bool highSpeed = options.speed == SpeedChoice::High;
    std::string basis = options.speedBasis;
    if (options.speed == SpeedChoice::Automatic) {
        if (device != nullptr && device->bcdUSB < 0x0200) {
            basis = "a USB 1.x device cannot run faster";
        } else {
            // The descriptors do not tell the speed; Audio Class 2.0 devices are built for high speed.
            model.ParseDescriptors(configuration, length, device, true);
            highSpeed = model.IsAudioClass20();
            basis = model.GetAcHeader() == nullptr ? "assumed, the class release being unknown; --speed sets it"
                    : highSpeed                    ? "assumed for an Audio Class 2.0 device; --speed sets it"
                                                   : "assumed for an Audio Class 1.0 device; --speed sets it";
        }
    }
    const NTSTATUS status = model.ParseDescriptors(configuration, length, device, highSpeed);

    report.Line(0, "speed: %s (%s)", highSpeed ? "high" : "full", basis.empty() ? "given" : basis.c_str());
    report.Line(0, "quirks: %s", QuirkText(model.GetQuirks()).c_str());
    if (!NT_SUCCESS(status)) {
        report.Line(0, "the driver refuses this device: %s: %s", StatusText(status).c_str(), model.GetFailureReason());
    }
    if (model.GetAcHeader() != nullptr) {
        const UCHAR* header = model.GetAcHeader();
        report.Line(0, "Audio Class %s (bcdADC 0x%04X)", model.IsAudioClass20() ? "2.0" : "1.0",
                    DescriptorWord(header, 3));
        report.Line(0, "Audio Control interface %u, header wTotalLength %u", model.GetAcInterface()->bInterfaceNumber,
                    DescriptorWord(header, model.IsAudioClass20() ? 6 : 5));
    }
    if (model.GetFirstEntity() != nullptr) {
        report.Line(0, "entities (in descriptor order):");
        for (CUSBAudioEntity* entity = model.GetFirstEntity(); entity != nullptr; entity = entity->GetNext()) {
            DescribeEntity(report, model, entity);
        }
    }
    if (NT_SUCCESS(status) || model.GetStreamingInterfaceCount() > 0) {
        report.Line(0, "streaming interfaces: %ld", static_cast<long>(model.GetStreamingInterfaceCount()));
        for (const StreamingInterface* record = model.GetFirstStreamingInterface(); record != nullptr;
             record = record->Next) {
            DescribeStreamingInterface(report, model, *record);
        }
    }
    if (!NT_SUCCESS(status)) {
        return 1;
    }
    const StreamingInterface* render = model.GetRenderInterface();
    const StreamingInterface* capture = model.GetCaptureInterface();
    report.Line(0, "render interface: %s",
                render != nullptr ? std::to_string(render->InterfaceNumber).c_str() : "none");
    report.Line(0, "capture interface: %s",
                capture != nullptr ? std::to_string(capture->InterfaceNumber).c_str() : "none");
    report.Line(0, "shared clock: %s", SharedClockText(model).c_str());
    DescribeDeviceAnswers(descriptors, highSpeed, options.makeDevice, text);
    return 0;
}

}  // namespace r9sim
