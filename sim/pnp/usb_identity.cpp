#include "sim/pnp/usb_identity.h"

#include "sim/usb/host_controller.h"

namespace sim::pnp {
namespace {

constexpr uint16_t kEnglishUnitedStates = 0x0409;
constexpr size_t kDeviceDescriptorLength = 18;
constexpr uint16_t kLongestDescriptor = 255;

std::optional<usb::Bytes> GetDescriptor(usb::BusDevice& device, uint8_t type, uint8_t index, uint16_t language)
{
    usb::SetupPacket setup;
    setup.requestType = 0x80;  // standard, device to host, device
    setup.request = USB_REQUEST_GET_DESCRIPTOR;
    setup.value = uint16_t(type << 8 | index);
    setup.index = language;
    setup.length = kLongestDescriptor;
    usb::ControlReply reply;
    {
        auto guard = device.Controller().Guard();
        reply = device.Model().Control(setup, nullptr, 0);
    }
    if (reply.stall || reply.data.size() < 2 || reply.data[1] != type || reply.data[0] > reply.data.size()) {
        return std::nullopt;
    }
    reply.data.resize(reply.data[0]);
    return reply.data;
}

std::u16string StringOf(usb::BusDevice& device, uint8_t index)
{
    if (index == 0) {
        return {};
    }
    const std::optional<usb::Bytes> bytes =
        GetDescriptor(device, USB_STRING_DESCRIPTOR_TYPE, index, kEnglishUnitedStates);
    std::u16string text;
    for (size_t i = 2; bytes && i + 1 < bytes->size(); i += 2) {
        text.push_back(char16_t((*bytes)[i] | (*bytes)[i + 1] << 8));
    }
    return text;
}

bool ValidInInstanceId(const std::u16string& serial)
{
    for (char16_t c : serial) {
        if (c <= u' ' || c >= 0x7F || c == u',') {
            return false;
        }
    }
    return true;
}

// The hub names a device's container by hashing what identifies the device: IDs, revision and
// serial number. A device without a serial number gets one per port here (Windows makes a new
// random one for each new instance), so that no two present devices share a container.
GUID ContainerIdFor(const UsbDeviceIdentity& identity)
{
    uint64_t low = 14695981039346656037ull;
    uint64_t high = 1099511628211ull * 31;
    auto mix = [&](uint32_t value) {
        low = (low ^ value) * 1099511628211ull;
        high = (high ^ (value + 0x9E3779B9u)) * 1099511628211ull;
    };
    mix(identity.vendorId);
    mix(identity.productId);
    mix(identity.revision);
    if (identity.serialNumber.empty()) {
        mix(0xFFFF0000u | identity.port);
    }
    for (char16_t c : identity.serialNumber) {
        mix(c);
    }
    GUID guid{};
    guid.Data1 = ULONG(low);
    guid.Data2 = USHORT(low >> 32);
    guid.Data3 = USHORT(0x5000 | ((low >> 48) & 0x0FFF));  // a name-based GUID
    for (int i = 0; i < 8; ++i) {
        guid.Data4[i] = UCHAR(high >> (i * 8));
    }
    guid.Data4[0] = UCHAR(0x80 | (guid.Data4[0] & 0x3F));
    return guid;
}

uint16_t Word(const usb::Bytes& bytes, size_t offset) { return uint16_t(bytes[offset] | bytes[offset + 1] << 8); }

}  // namespace

std::optional<UsbDeviceIdentity> ReadUsbIdentity(usb::BusDevice& device)
{
    const std::optional<usb::Bytes> descriptor = GetDescriptor(device, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0);
    if (!descriptor || descriptor->size() < kDeviceDescriptorLength) {
        return std::nullopt;
    }
    UsbDeviceIdentity identity;
    identity.vendorId = Word(*descriptor, 8);
    identity.productId = Word(*descriptor, 10);
    identity.revision = Word(*descriptor, 12);
    identity.port = device.Port();
    const std::u16string product = StringOf(device, (*descriptor)[15]);
    if (!product.empty()) {
        identity.description = product;
    }
    const std::u16string serial = StringOf(device, (*descriptor)[16]);
    if (ValidInInstanceId(serial)) {
        identity.serialNumber = serial;
    }
    if (!identity.serialNumber.empty() && MachineDeviceTree().IsPresent(DeviceNode(identity, 0).InstancePath())) {
        identity.serialNumber.clear();
    }
    identity.containerId = ContainerIdFor(identity);
    return identity;
}

}  // namespace sim::pnp
