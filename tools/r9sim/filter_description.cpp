#include "tools/r9sim/filter_description.h"

#include <cstdarg>
#include <cstdio>

#include "driver/usbaudio/audio_entity.h"
#include "driver/usbaudio/data_ranges.h"
#include "driver/usbaudio/filter_records.h"
#include "driver/usbaudio/ks_node_types.h"
#include "driver/usbaudio/usb_audio_cl.h"

namespace r9sim {

namespace {

using namespace usbaudio;

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

unsigned long Unsigned(ULONG value) { return value; }

std::string Name(const CUSBAudioEntity* entity)
{
    char name[40] = "";
    if (entity != nullptr) {
        entity->GetName(name, sizeof(name));
    }
    return name;
}

const char* SubFormatName(const GUID& subFormat)
{
    if (subFormat == KSDATAFORMAT_SUBTYPE_PCM) {
        return "PCM";
    }
    if (subFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT) {
        return "IEEE float";
    }
    if (subFormat == KSDATAFORMAT_SUBTYPE_ALAW) {
        return "A-law";
    }
    if (subFormat == KSDATAFORMAT_SUBTYPE_MULAW) {
        return "mu-law";
    }
    if (subFormat == KSDATAFORMAT_SUBTYPE_ANALOG) {
        return "analog";
    }
    return "no known format";
}

const char* CommunicationName(KSPIN_COMMUNICATION communication)
{
    switch (communication) {
    case KSPIN_COMMUNICATION_NONE: return "none";
    case KSPIN_COMMUNICATION_SINK: return "sink";
    case KSPIN_COMMUNICATION_SOURCE: return "source";
    case KSPIN_COMMUNICATION_BOTH: return "both";
    case KSPIN_COMMUNICATION_BRIDGE: return "bridge";
    default: return "unknown";
    }
}

void DescribeDataRanges(std::string& report, const KSPIN_DESCRIPTOR& pin)
{
    if (pin.DataRangesCount == 0) {
        Line(report, 2, "no data ranges");
    }
    for (ULONG i = 0; i < pin.DataRangesCount; i = NextDataRangePosition(pin.DataRanges, i)) {
        const KSDATARANGE* range = pin.DataRanges[i];
        const KSDATARANGE_AUDIO* audio = AsAudioDataRange(pin.DataRanges[i]);
        if (audio == nullptr) {
            Line(report, 2, "data range: %s", SubFormatName(range->SubFormat));
        } else if (audio->MinimumSampleFrequency == audio->MaximumSampleFrequency) {
            Line(report, 2, "data range: %s, %lu channels, %lu bits, %lu Hz", SubFormatName(range->SubFormat),
                 Unsigned(audio->MaximumChannels), Unsigned(audio->MaximumBitsPerSample),
                 Unsigned(audio->MinimumSampleFrequency));
        } else {
            Line(report, 2, "data range: %s, %lu channels, %lu bits, %lu to %lu Hz", SubFormatName(range->SubFormat),
                 Unsigned(audio->MaximumChannels), Unsigned(audio->MaximumBitsPerSample),
                 Unsigned(audio->MinimumSampleFrequency), Unsigned(audio->MaximumSampleFrequency));
        }
        if ((range->Flags & KSDATARANGE_ATTRIBUTES) != 0 && i + 1 < pin.DataRangesCount) {
            const auto* list = reinterpret_cast<const KSATTRIBUTE_LIST*>(pin.DataRanges[i + 1]);
            for (ULONG a = 0; a < list->Count; ++a) {
                Line(report, 3, "attribute: %s",
                     list->Attributes[a]->Attribute == KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE
                         ? "signal-processing modes"
                         : "unknown");
            }
        }
    }
}

std::string EndText(ULONG node, ULONG pin, const PCFILTER_DESCRIPTOR& filter)
{
    if (node == PCFILTER_NODE) {
        return "pin " + std::to_string(pin);
    }
    const FilterNodeRecord* record = FilterNode(filter, node);
    return "node " + std::to_string(node) +
           (record != nullptr ? std::string(" (") + KsNodeTypeName(record->Descriptor.Type) + ")" : "");
}

void DescribeBuiltFilter(std::string& report, const PCFILTER_DESCRIPTOR& filter)
{
    Line(report, 1, "pins: %lu", Unsigned(filter.PinCount));
    for (ULONG index = 0; index < filter.PinCount; ++index) {
        const FilterPinRecord& pin = *FilterPin(filter, index);
        const KSPIN_DESCRIPTOR& ks = pin.Descriptor.KsPinDescriptor;
        Line(report, 1, "pin %lu: %s, data flow %s, %s, category %s", Unsigned(index), Name(pin.Chain.Entity).c_str(),
             ks.DataFlow == KSPIN_DATAFLOW_IN ? "in" : "out", CommunicationName(ks.Communication),
             ks.Category != nullptr ? KsNodeTypeName(ks.Category) : "none");
        DescribeDataRanges(report, ks);
    }
    Line(report, 1, "nodes: %lu", Unsigned(filter.NodeCount));
    for (ULONG index = 0; index < filter.NodeCount; ++index) {
        const FilterNodeRecord& node = *FilterNode(filter, index);
        const std::string unit = Name(node.Chain.Entity);
        Line(report, 1, "node %lu: %s%s%s", Unsigned(index), KsNodeTypeName(node.Descriptor.Type),
             unit.empty() ? "" : " of ", unit.c_str());
    }
    Line(report, 1, "connections: %lu", Unsigned(filter.ConnectionCount));
    for (ULONG index = 0; index < filter.ConnectionCount; ++index) {
        const PCCONNECTION_DESCRIPTOR& connection = filter.Connections[index];
        Line(report, 1, "%s -> %s", EndText(connection.FromNode, connection.FromNodePin, filter).c_str(),
             EndText(connection.ToNode, connection.ToNodePin, filter).c_str());
    }
}

}  // namespace

void DescribeFilter(CUSBAudioCL& driver, std::string& report)
{
    if (driver.GetCurrentRate() == 0) {
        Line(report, 0, "the filter for the audio stack (no device rate set, so the ranges span every rate):");
    } else {
        Line(report, 0, "the filter for the audio stack (device rate %lu Hz):", Unsigned(driver.GetCurrentRate()));
    }
    PCFILTER_DESCRIPTOR filter = {};
    const NTSTATUS status = driver.BuildFilter(&filter);
    if (!NT_SUCCESS(status)) {
        Line(report, 1, "the driver could not build it (0x%08X)", unsigned(status));
        return;
    }
    DescribeBuiltFilter(report, filter);
    driver.FreeFilter(&filter);
}

}  // namespace r9sim
