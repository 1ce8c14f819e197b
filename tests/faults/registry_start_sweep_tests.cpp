// Device starts over registry values of every type and length, over registry reads that fail (keys
// absent, the endpoint store laid out otherwise) and with each allocation under the registry's tag
// failing in turn: each start fails cleanly or carries on as device start is meant to, with the
// defaults of the settings it could not read. Never half-started; nothing left once the device is
// pulled and the driver unloads.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "driver/adapter/usb_audio_adapter.h"
#include "driver/driver_tuning.h"
#include "sim/pnp/endpoint_store.h"
#include "sim/registry/machine_registry.h"
#include "tests/faults/fault_sweep.h"
#include "tests/faults/start_outcome.h"

namespace faulttest {
namespace {

using adaptertest::AdapterBench;
using adaptertest::BenchOptions;
using Bytes = std::vector<uint8_t>;

const std::u16string kInstancePath = u"USB\\VID_3A5C&PID_0009\\R9-00000001";
const std::u16string kEnumKey = std::u16string(sim::registry::kEnumPath) + u"\\" + kInstancePath;
const std::u16string kHardwareKey = kEnumKey + u"\\Device Parameters";
const std::u16string kAudioStore = sim::pnp::kEndpointStorePath;
constexpr ULONG kWindowsXp = 0x05010000;
constexpr ULONG kLastType = REG_QWORD;
constexpr uint8_t kFiller = 0xEE;

Bytes Cut(ULONG value, size_t length)
{
    Bytes cut(length, kFiller);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
    std::copy_n(bytes, std::min(length, sizeof value), cut.begin());
    return cut;
}

bool DsdOffered(AdapterBench& bench)
{
    IUsbAudioAdapterDsd* dsd = nullptr;
    if (!NT_SUCCESS(bench.Adapter().QueryInterface(IID_IUsbAudioAdapterDsd, reinterpret_cast<PVOID*>(&dsd)))) {
        return false;
    }
    dsd->Release();
    return true;
}

// A setting, a value that changes what the start does, and how to see that it did (read) or that
// the default holds (not read). Settings are read from their first four bytes whatever their type,
// except "IN URB Size", which must be a REG_DWORD. "Initialized" and "SampleRate" are not optional:
// data too short to hold them fails the start.
struct Setting {
    const char* name;
    const char16_t* value;
    ULONG windowsVersion;
    ULONG data;
    std::function<void(AdapterBench& bench, bool read)> expect;
    bool required = false;
    bool dwordOnly = false;
};

const Setting kSettings[] = {
    {"ForceOldFashionedTransfer", u"ForceOldFashionedTransfer", NTDDI_WIN10, 1,
     [](AdapterBench&, bool read) { EXPECT_EQ(g_DriverTuning.outPacketsPerRequest, read ? 2u : 8u); }},
    {"IN URB Size", u"IN URB Size", NTDDI_WIN10, 5,
     [](AdapterBench&, bool read) { EXPECT_EQ(g_DriverTuning.inPacketsPerRequest, read ? 5u : 1u); }, false, true},
    {"DSDNativeModeSupported", u"DSDNativeModeSupported", NTDDI_WIN10, 0,
     [](AdapterBench& bench, bool read) { EXPECT_EQ(DsdOffered(bench), !read); }},
    {"gDumpCapture", u"gDumpCapture", NTDDI_WIN10, 2,
     [](AdapterBench&, bool read) { EXPECT_EQ(g_DriverTuning.dumpSelector, read ? 2 : 0); }},
    // Read: the rate the endpoints were saved at, 96 kHz.
    {"Initialized", u"Initialized", NTDDI_WIN10, 1,
     [](AdapterBench& bench, bool) { ExpectWholeOrNothing(bench, STATUS_SUCCESS, 96000); }, true},
    {"SampleRate", u"SampleRate", kWindowsXp, 48000,
     [](AdapterBench& bench, bool) { ExpectWholeOrNothing(bench, STATUS_SUCCESS, 48000); }, true},
};

TEST(RegistryStartSweep, SettingsOfEveryTypeAndLength)
{
    for (const Setting& setting : kSettings) {
        for (ULONG type = REG_NONE; type <= kLastType; ++type) {
            for (size_t length = 0; length <= sizeof(ULONG) + 1; ++length) {
                SCOPED_TRACE(testing::Message() << setting.name << ", type " << type << ", " << length << " bytes");
                BenchOptions options;
                options.windowsVersion = setting.windowsVersion;
                AdapterBench bench(options);
                bench.Machine().Verify().SetMode(sim::VerifierMode::Record);
                bench.SaveEndpointFormats(96000);
                sim::registry::MachineRegistry().SetValue(kHardwareKey, setting.value, type,
                                                          Cut(setting.data, length));
                const NTSTATUS status = bench.Plug();
                const bool read = length >= sizeof(ULONG) && (!setting.dwordOnly || type == REG_DWORD);
                if (setting.required && !read) {
                    EXPECT_EQ(status, STATUS_OBJECT_TYPE_MISMATCH);
                    ExpectWholeOrNothing(bench, status);
                } else {
                    ASSERT_EQ(status, STATUS_SUCCESS);
                    setting.expect(bench, read);
                }
                bench.Unplug();
                ExpectNoReports(bench.Machine());
            }
        }
    }
}

// The endpoint store as another Windows release, a half-installed audio service or another
// device's driver may leave it. The device's identity is what the store lookup is for: when the
// lookup itself fails the device is cycled and the start fails; when only this device's own entry
// is damaged, the start goes on at the default rate.
TEST(RegistryStartSweep, StartsWhoseRegistryReadsFail)
{
    struct Case {
        const char* name;
        std::function<void(sim::registry::Store& store)> change;
        NTSTATUS status;
    };
    const std::u16string render = kAudioStore + u"\\Render";
    const std::u16string stray = render + u"\\{00000000-0000-0000-0000-000000000000}";
    const Case cases[] = {
        {"no endpoint store", [&](sim::registry::Store& store) { store.DeleteTree(kAudioStore); },
         STATUS_OBJECT_NAME_NOT_FOUND},
        {"Render is a value", [&](sim::registry::Store& store) {
             store.DeleteTree(render);
             store.SetDword(kAudioStore, u"Render", 1);
         },
         STATUS_OBJECT_NAME_NOT_FOUND},
        {"another endpoint without Properties", [&](sim::registry::Store& store) { store.CreatePath(stray); },
         STATUS_OBJECT_NAME_NOT_FOUND},
        {"another endpoint without a device path",
         [&](sim::registry::Store& store) { store.CreatePath(stray + u"\\Properties"); }, STATUS_OBJECT_NAME_NOT_FOUND},
        {"no Device Parameters key", [&](sim::registry::Store& store) { store.DeleteTree(kHardwareKey); },
         STATUS_SUCCESS},
        {"the device's own endpoint keeps no format", [&](sim::registry::Store& store) {
             const std::u16string endpoint =
                 sim::pnp::FindAudioEndpoint(sim::pnp::EndpointFlow::Render, kInstancePath);
             for (const char16_t* property : sim::pnp::kFormatProperties) {
                 store.DeleteValue(sim::pnp::EndpointPropertiesPath(sim::pnp::EndpointFlow::Render, endpoint),
                                   property);
             }
         },
         STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AdapterBench bench;
        bench.Machine().Verify().SetMode(sim::VerifierMode::Record);
        bench.SetDeviceSetting(u"Initialized", 1);
        bench.SaveEndpointFormats(96000);
        c.change(sim::registry::MachineRegistry());
        const NTSTATUS status = bench.Plug();
        EXPECT_EQ(status, c.status);
        // Only the capture endpoint's saved rate is left where the render one's was removed.
        const bool ownFormatGone = std::string(c.name) == "the device's own endpoint keeps no format";
        ExpectWholeOrNothing(bench, status, ownFormatGone ? 96000 : 44100);
        bench.Unplug();
        ExpectNoReports(bench.Machine());
    }
}

// Every registry scratch buffer (paged pool, the driver's tag) failing in turn, on a first start and
// on a later one that reads "Initialized" and the endpoints' saved rate.
TEST(RegistryStartSweep, EveryRegistryAllocationFails)
{
    for (bool laterStart : {false, true}) {
        SCOPED_TRACE(laterStart ? "later start" : "first start");
        int failed = 0;
        const uint64_t points = SweepFaultPoints([&](uint64_t point) {
            AdapterBench bench;
            bench.Machine().Verify().SetMode(sim::VerifierMode::Record);
            if (laterStart) {
                bench.SetDeviceSetting(u"Initialized", 1);
                bench.SaveEndpointFormats(96000);
            }
            NTSTATUS status;
            bool happened;
            {
                InjectedAllocationFailure failure(bench.Machine(), point, kDefaultPoolTag, true);
                status = bench.Plug();
                happened = failure.Happened();
            }
            failed += NT_SUCCESS(status) ? 0 : 1;
            if (NT_SUCCESS(status)) {
                ULONG rate = 0;
                EXPECT_EQ(bench.Adapter().GetSampleRate(&rate), STATUS_SUCCESS);
                ExpectWholeOrNothing(bench, status, rate);
            } else {
                EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
                ExpectWholeOrNothing(bench, status);
            }
            bench.Unplug();
            ExpectNoReports(bench.Machine());
            return happened;
        });
        EXPECT_GT(points, 10u);
        EXPECT_GT(failed, 0);
    }
}

}  // namespace
}  // namespace faulttest
