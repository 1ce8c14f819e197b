#include "tests/adapter/adapter_bench.h"

#include <cstring>
#include <functional>

#include "driver/adapter/adapter_extension.h"
#include "sim/io/synchronous_request.h"
#include "sim/pnp/driver_store.h"
#include "sim/pnp/endpoint_store.h"
#include "sim/pnp/plug_and_play.h"
#include "sim/portcls/portcls_sim.h"
#include "sim/registry/machine_registry.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace adaptertest {

namespace {

// The R9's instance, named by its serial number "R9-00000001".
const std::u16string kInstancePath = u"USB\\VID_3A5C&PID_0009\\R9-00000001";
const std::u16string kHardwareKey =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" + kInstancePath + u"\\Device Parameters";

sim::MachineOptions MachineFor(const BenchOptions& options)
{
    sim::MachineOptions machine;
    machine.windowsVersion = options.windowsVersion;
    machine.clock = options.clock;
    return machine;
}

sim::pnp::EndpointFlow Flow(int flow) { return flow == 0 ? sim::pnp::EndpointFlow::Render : sim::pnp::EndpointFlow::Capture; }

// The device's endpoint of a flow, found by its device-path property as the driver finds it.
std::u16string FindEndpoint(int flow)
{
    const std::u16string base =
        std::u16string(sim::pnp::kEndpointStorePath) + (flow == 0 ? u"\\Render" : u"\\Capture");
    for (const std::u16string& name : sim::registry::MachineRegistry().SubkeyNames(base)) {
        sim::registry::Value value;
        if (!sim::registry::MachineRegistry().GetValue(base + u"\\" + name + u"\\Properties",
                                                       sim::pnp::kDevicePathProperty, value)) {
            continue;
        }
        std::u16string text(reinterpret_cast<const char16_t*>(value.data.data()), value.data.size() / 2);
        text = text.substr(0, text.find(u'\0'));
        if (text.size() >= kInstancePath.size() &&
            sim::registry::NamesEqual(text.substr(text.size() - kInstancePath.size()), kInstancePath)) {
            return name;
        }
    }
    return {};
}

// Sends a request prepared by `prepare` on `file` and takes it back when it completes.
NTSTATUS SendRequest(PDEVICE_OBJECT top, FILE_OBJECT& file, UCHAR major, ULONG_PTR* bytes,
                     const std::function<void(PIRP, PIO_STACK_LOCATION)>& prepare)
{
    const sim::io::RequestResult result =
        sim::io::SendSynchronousRequest(top, major, [&](PIRP irp, PIO_STACK_LOCATION stack) {
            stack->FileObject = &file;
            prepare(irp, stack);
        });
    if (bytes != nullptr) {
        *bytes = result.information;
    }
    return result.status;
}

}  // namespace

AdapterBench::AdapterBench(BenchOptions options) : machine_(MachineFor(options)), options_(options)
{
    usb_ = std::make_unique<sim::usb::HostController>(options_.controller);
    EXPECT_EQ(sim::pnp::InstallDriver({u"TVR9AUDIO", &DriverEntry, {u"USB\\VID_3A5C&PID_0009"}}), STATUS_SUCCESS);
}

AdapterBench::~AdapterBench()
{
    if (bus_ != nullptr && !removed_) {
        Unplug();
    }
    usb_.reset();
}

void AdapterBench::SetDeviceSetting(const std::u16string& name, ULONG value)
{
    EXPECT_TRUE(sim::registry::MachineRegistry().SetDword(kHardwareKey, name, value));
}

void AdapterBench::SetDeviceValue(const std::u16string& name, ULONG type, const std::vector<uint8_t>& data)
{
    EXPECT_TRUE(sim::registry::MachineRegistry().SetValue(kHardwareKey, name, type, data));
}

void AdapterBench::SaveEndpointFormats(ULONG rate, USHORT containerBits)
{
    const WAVEFORMATEXTENSIBLE format = sim::pnp::MakePcmFormat(rate, 2, containerBits, 24);
    for (int flow : {0, 1}) {
        std::u16string endpoint = FindEndpoint(flow);
        if (endpoint.empty()) {
            sim::pnp::AddAudioEndpoint(Flow(flow), kInstancePath, format, u"R9");
            continue;
        }
        const std::vector<uint8_t> bytes = sim::pnp::SerializeFormat(format);
        for (const char16_t* property : sim::pnp::kFormatProperties) {
            sim::registry::MachineRegistry().SetValue(sim::pnp::EndpointPropertiesPath(Flow(flow), endpoint),
                                                      property, REG_BINARY, bytes);
        }
    }
}

NTSTATUS AdapterBench::Plug()
{
    auto device = std::make_unique<sim::devices::R9Device>(options_.variant);
    device->Function().SetStreamingModeAccepted(options_.dsdModeRequest);
    device_ = device.get();
    sim::pnp::PlugResult result = sim::pnp::PlugDevice(*usb_, std::move(device));
    bus_ = &result.device;
    node_ = result.node;
    removed_ = false;
    EXPECT_TRUE(node_ != nullptr && node_->HardwareKeyPath() == kHardwareKey);
    return result.status;
}

void AdapterBench::Unplug() { EXPECT_EQ(PullOut(), STATUS_SUCCESS); }

NTSTATUS AdapterBench::PullOut()
{
    removed_ = true;
    return sim::pnp::UnplugDevice(*usb_, *bus_);
}

PDEVICE_OBJECT AdapterBench::Fdo() const
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(bus_->Pdo());
    return top == bus_->Pdo() ? nullptr : top;
}

bool AdapterBench::Started() const { return Fdo() != nullptr && GetAdapterExtension(Fdo())->adapter != nullptr; }

UsbAudioAdapter& AdapterBench::Adapter() const
{
    return *static_cast<UsbAudioAdapter*>(GetAdapterExtension(Fdo())->adapter);
}

std::vector<std::u16string> AdapterBench::FilterNames() const
{
    std::vector<std::u16string> names;
    for (const sim::portcls::RegisteredSubdevice& subdevice : sim::portcls::RegisteredSubdevices()) {
        if (subdevice.deviceObject == Fdo()) {
            names.push_back(subdevice.name);
        }
    }
    return names;
}

bool AdapterBench::HasSetting(const std::u16string& name, ULONG* value) const
{
    sim::registry::Value stored;
    if (!sim::registry::MachineRegistry().GetValue(kHardwareKey, name, stored) || stored.data.size() < 4) {
        return false;
    }
    if (value != nullptr) {
        std::memcpy(value, stored.data.data(), 4);
    }
    return true;
}

ULONG AdapterBench::EndpointRate(int flow) const
{
    const std::u16string endpoint = FindEndpoint(flow);
    sim::registry::Value value;
    if (endpoint.empty() ||
        !sim::registry::MachineRegistry().GetValue(sim::pnp::EndpointPropertiesPath(Flow(flow), endpoint),
                                                   sim::pnp::kFormatProperties[0], value) ||
        value.data.size() < sim::pnp::kFormatPropertyBytes) {
        return 0;
    }
    WAVEFORMATEXTENSIBLE format;
    std::memcpy(&format, value.data.data() + 8, sizeof format);
    return format.Format.nSamplesPerSec;
}

bool AdapterBench::EndpointHasDeletedProperty(int flow) const
{
    const std::u16string endpoint = FindEndpoint(flow);
    sim::registry::Value value;
    return !endpoint.empty() &&
           sim::registry::MachineRegistry().GetValue(sim::pnp::EndpointPropertiesPath(Flow(flow), endpoint),
                                                     sim::pnp::kDriverDeletedProperty, value);
}

NTSTATUS AdapterBench::Open(const char16_t* name, FILE_OBJECT& file)
{
    file = FILE_OBJECT{};
    file.Type = IO_TYPE_FILE;
    file.Size = sizeof(FILE_OBJECT);
    file.DeviceObject = Bus().Pdo();
    RtlInitUnicodeString(&file.FileName, reinterpret_cast<PCWSTR>(name));
    return Send(IRP_MJ_CREATE, file);
}

NTSTATUS AdapterBench::Send(UCHAR major, FILE_OBJECT& file)
{
    return SendRequest(IoGetAttachedDevice(Bus().Pdo()), file, major, nullptr, [](PIRP, PIO_STACK_LOCATION) {});
}

NTSTATUS AdapterBench::Control(FILE_OBJECT& file, ULONG code, void* buffer, ULONG inLength, ULONG outLength,
                               ULONG_PTR* bytes)
{
    return SendRequest(IoGetAttachedDevice(Bus().Pdo()), file, IRP_MJ_DEVICE_CONTROL, bytes,
                       [&](PIRP irp, PIO_STACK_LOCATION stack) {
                           stack->Parameters.DeviceIoControl.IoControlCode = code;
                           stack->Parameters.DeviceIoControl.InputBufferLength = inLength;
                           stack->Parameters.DeviceIoControl.OutputBufferLength = outLength;
                           irp->AssociatedIrp.SystemBuffer = buffer;
                       });
}

}  // namespace adaptertest
