#include "sim/usb/device_model.h"

#include "sim/api/usb_descriptors.h"

namespace sim::usb {

namespace {
constexpr uint8_t kStandard = 0;
constexpr uint8_t kClass = 1;
constexpr uint8_t kVendor = 2;
constexpr uint8_t kRecipientDevice = 0;
constexpr uint8_t kRecipientInterface = 1;
}  // namespace

UsbDeviceModel::UsbDeviceModel(DescriptorSet descriptors, UsbSpeed speed)
    : descriptors_(std::move(descriptors)), speed_(speed)
{
    layout_ = ParseConfiguration(descriptors_.configuration).value_or(ConfigurationLayout{});
}

uint8_t UsbDeviceModel::Alternate(uint8_t interfaceNumber) const
{
    auto found = alternates_.find(interfaceNumber);
    return found == alternates_.end() ? 0 : found->second;
}

void UsbDeviceModel::BusReset()
{
    configuration_ = 0;
    alternates_.clear();
    OnBusReset();
}

ControlReply UsbDeviceModel::Control(const SetupPacket& setup, const uint8_t* outData, size_t outLength)
{
    switch (setup.Type()) {
    case kStandard:
        return StandardRequest(setup);
    case kClass:
        return ClassRequest(setup, outData, outLength);
    case kVendor:
        return VendorRequest(setup, outData, outLength);
    default:
        return ControlReply::Stall();
    }
}

ControlReply UsbDeviceModel::StandardRequest(const SetupPacket& setup)
{
    const uint8_t low = uint8_t(setup.value & 0xFF);
    switch (setup.request) {
    case USB_REQUEST_GET_DESCRIPTOR: {
        if (setup.Recipient() != kRecipientDevice) {
            return ControlReply::Stall();
        }
        Bytes bytes = Descriptor(uint8_t(setup.value >> 8), low, setup.index);
        return bytes.empty() ? ControlReply::Stall() : ControlReply::Data(std::move(bytes));
    }
    case USB_REQUEST_SET_CONFIGURATION:
        if (low != 0 && low != layout_.configurationValue) {
            return ControlReply::Stall();
        }
        configuration_ = low;
        alternates_.clear();
        OnConfigured(low);
        return ControlReply::Ack();
    case USB_REQUEST_GET_CONFIGURATION:
        return ControlReply::Data({configuration_});
    case USB_REQUEST_SET_INTERFACE: {
        const uint8_t interfaceNumber = uint8_t(setup.index & 0xFF);
        if (setup.Recipient() != kRecipientInterface || configuration_ == 0 ||
            layout_.Find(interfaceNumber, low) == nullptr) {
            return ControlReply::Stall();
        }
        alternates_[interfaceNumber] = low;
        OnAlternateSelected(interfaceNumber, low);
        return ControlReply::Ack();
    }
    case USB_REQUEST_GET_INTERFACE: {
        const uint8_t interfaceNumber = uint8_t(setup.index & 0xFF);
        if (configuration_ == 0 || layout_.Find(interfaceNumber, 0) == nullptr) {
            return ControlReply::Stall();
        }
        return ControlReply::Data({Alternate(interfaceNumber)});
    }
    case USB_REQUEST_GET_STATUS:
        return ControlReply::Data({0, 0});
    case USB_REQUEST_SET_ADDRESS:
    case USB_REQUEST_CLEAR_FEATURE:
    case USB_REQUEST_SET_FEATURE:
        return ControlReply::Ack();
    default:
        return ControlReply::Stall();
    }
}

Bytes UsbDeviceModel::Descriptor(uint8_t type, uint8_t index, uint16_t languageId)
{
    switch (type) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
        return index == 0 ? descriptors_.device : Bytes{};
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        return index == 0 ? descriptors_.configuration : Bytes{};
    case USB_STRING_DESCRIPTOR_TYPE:
        return descriptors_.StringDescriptor(index);
    default:
        return {};
    }
}

ControlReply UsbDeviceModel::ClassRequest(const SetupPacket&, const uint8_t*, size_t) { return ControlReply::Stall(); }

ControlReply UsbDeviceModel::VendorRequest(const SetupPacket&, const uint8_t*, size_t) { return ControlReply::Stall(); }

USBD_STATUS UsbDeviceModel::IsoOut(const IsoSlot&, const uint8_t*, uint32_t) { return USBD_STATUS_SUCCESS; }

IsoInData UsbDeviceModel::IsoIn(const IsoSlot&, uint8_t*, uint32_t) { return IsoInData{}; }

}  // namespace sim::usb
