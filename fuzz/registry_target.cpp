// Registry values the driver reads, with fuzzed types, sizes and contents: its settings in the
// device's hardware key; the device path, the five saved formats and the property the driver
// deletes, of the device's render and capture endpoints in the audio endpoint store; the container
// ID and hardware IDs in its Enum key; and missing keys where the store should have them. The
// driver starts on the R9 over them, on the Windows version the input names, changes the rate (which
// rewrites the saved formats), and, after an unplug, starts again (which reads "Initialized" and the
// saved rate).
//
// The input's front is a list of values to write, [target][type][length][data]; its end chooses
// the Windows version, the R9 variant, whether endpoints exist and the rates.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/harness/adapter_workout.h"
#include "fuzz/harness/device_catalogue.h"
#include "sim/devices/r9/r9_device.h"
#include "sim/kernel/machine.h"
#include "sim/pnp/endpoint_store.h"
#include "sim/pnp/plug_and_play.h"
#include "sim/registry/machine_registry.h"

namespace {

using sim::pnp::EndpointFlow;

const std::u16string kInstancePath = u"USB\\VID_3A5C&PID_0009\\R9-00000001";
const std::u16string kEnumKey = std::u16string(sim::registry::kEnumPath) + u"\\" + kInstancePath;
const std::u16string kHardwareKey = kEnumKey + u"\\Device Parameters";

constexpr const char16_t* kSettings[] = {u"ForceOldFashionedTransfer", u"IN URB Size", u"DSDNativeModeSupported",
                                         u"gDumpCapture", u"SampleRate", u"Initialized", u"USB Margin"};
constexpr ULONG kVersions[] = {0x05010000, NTDDI_VISTA, NTDDI_WIN8, NTDDI_WINBLUE, NTDDI_WIN10};
constexpr ULONG kRates[] = {44100, 48000, 96000, 192000, 22050};
constexpr sim::devices::R9Variant kVariants[] = {sim::devices::R9Variant::HighSpeedUac2,
                                                 sim::devices::R9Variant::FullSpeedUac1};

// Where a record writes. The Enum key's values are written anew at the first plug, so records for
// them take effect at the second.
enum class Target {
    Setting,            // one of kSettings
    RenderProperty,     // the device path, a saved format or the deleted property
    CaptureProperty,
    ContainerId,
    HardwareIds,
    MissingProperties,  // an endpoint whose Properties key is gone
    Count
};

struct Record {
    Target target;
    uint8_t which;
    ULONG type;
    std::vector<uint8_t> data;
};

std::vector<Record> ReadRecords(const std::vector<uint8_t>& bytes)
{
    std::vector<Record> records;
    size_t at = 0;
    while (at + 3 <= bytes.size()) {
        Record record;
        record.target = Target(bytes[at] % uint8_t(Target::Count));
        record.which = uint8_t(bytes[at] / uint8_t(Target::Count));
        record.type = bytes[at + 1];
        const size_t length = bytes[at + 2];
        at += 3;
        const size_t taken = std::min(length, bytes.size() - at);
        record.data.assign(bytes.begin() + at, bytes.begin() + at + taken);
        at += taken;
        records.push_back(std::move(record));
    }
    return records;
}

std::u16string PropertyName(uint8_t which)
{
    switch (which % 7) {
    case 0: return sim::pnp::kDevicePathProperty;
    case 6: return sim::pnp::kDriverDeletedProperty;
    default: return sim::pnp::kFormatProperties[which % 7 - 1];
    }
}

void Write(const Record& record, const std::u16string (&endpoints)[2], bool secondStart)
{
    sim::registry::Store& registry = sim::registry::MachineRegistry();
    const bool enumValue = record.target == Target::ContainerId || record.target == Target::HardwareIds;
    if (enumValue != secondStart) {
        return;
    }
    switch (record.target) {
    case Target::Setting:
        registry.SetValue(kHardwareKey, kSettings[record.which % std::size(kSettings)], record.type, record.data);
        break;
    case Target::RenderProperty:
    case Target::CaptureProperty: {
        const int flow = record.target == Target::RenderProperty ? 0 : 1;
        if (!endpoints[flow].empty()) {
            registry.SetValue(sim::pnp::EndpointPropertiesPath(EndpointFlow(flow), endpoints[flow]),
                              PropertyName(record.which), record.type, record.data);
        }
        break;
    }
    case Target::ContainerId:
        registry.SetValue(kEnumKey, u"ContainerID", record.type, record.data);
        break;
    case Target::HardwareIds:
        registry.SetValue(kEnumKey, u"HardwareID", record.type, record.data);
        break;
    case Target::MissingProperties:
    case Target::Count: {
        const int flow = record.which % 2;
        if (!endpoints[flow].empty()) {
            registry.DeleteTree(sim::pnp::EndpointPropertiesPath(EndpointFlow(flow), endpoints[flow]));
        }
        break;
    }
    }
}

void StartAndWorkOut(sim::usb::HostController& usb, sim::devices::R9Variant variant, const std::vector<ULONG>& rates)
{
    sim::pnp::PlugResult plugged = sim::pnp::PlugDevice(usb, std::make_unique<sim::devices::R9Device>(variant));
    if (IUsbAudioAdapter* adapter = fuzz::StartedAdapter(plugged.device)) {
        fuzz::WorkOutAdapter(*adapter, rates);
    }
    sim::pnp::UnplugDevice(usb, plugged.device);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    sim::MachineOptions options;
    options.windowsVersion = input.PickValueInArray(kVersions);
    const sim::devices::R9Variant variant = input.PickValueInArray(kVariants);
    const bool endpointsExist[2] = {input.ConsumeBool(), input.ConsumeBool()};
    std::vector<ULONG> rates(input.ConsumeIntegralInRange<int>(0, 2));
    for (ULONG& rate : rates) {
        rate = input.PickValueInArray(kRates);
    }
    const std::vector<Record> records = ReadRecords(input.ConsumeRemainingBytes<uint8_t>());

    sim::Machine machine(options);
    fuzz::InstallDriverForCatalogue();
    sim::usb::HostController usb;
    std::u16string endpoints[2];
    const WAVEFORMATEXTENSIBLE format = sim::pnp::MakePcmFormat(96000, 2, 32, 24);
    for (int flow : {0, 1}) {
        if (endpointsExist[flow]) {
            endpoints[flow] = sim::pnp::AddAudioEndpoint(EndpointFlow(flow), kInstancePath, format, u"R9");
        }
    }
    for (const Record& record : records) {
        Write(record, endpoints, false);
    }
    StartAndWorkOut(usb, variant, rates);
    for (const Record& record : records) {
        Write(record, endpoints, true);
    }
    StartAndWorkOut(usb, variant, rates);
    return 0;
}
