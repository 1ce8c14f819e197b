// The device side of the simulated bus: a USB device as its firmware would be written. It owns the
// bytes it answers GET_DESCRIPTOR with, keeps the state the standard requests change (configuration,
// alternate settings), and answers class and vendor requests and isochronous traffic through the
// virtual hooks below, which a concrete device (the R9, a broken test device, an audio-class model)
// overrides.
//
// The bus calls a model only with the host controller's lock held, one call at a time; a model
// needs no locking of its own for what the bus hands it. Isochronous packets reach it in bus
// order across all endpoints, each with the (micro)frame it occupies: the controller moves packets
// when their frame has ended, never before their interval has, so a model that keeps time (a
// clock, a FIFO) goes by IsoSlot, not by the machine's clock at the moment of the call.
#pragma once

#include <cstdint>
#include <map>

#include "sim/api/usb_urb.h"
#include "sim/usb/configuration_layout.h"
#include "sim/usb/descriptors/descriptor_set.h"

namespace sim::usb {

enum class UsbSpeed { Full, High };

class BusClock;

struct SetupPacket {
    uint8_t requestType = 0;  // bmRequestType
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;

    bool DeviceToHost() const { return (requestType & 0x80) != 0; }
    uint8_t Type() const { return (requestType >> 5) & 0x03; }  // 0 standard, 1 class, 2 vendor
    uint8_t Recipient() const { return requestType & 0x1F; }
};

// The device's answer to a control transfer: a STALL, or success with the data stage's bytes for a
// device-to-host request (the bus passes on at most wLength of them).
struct ControlReply {
    bool stall = false;
    Bytes data;

    static ControlReply Stall() { return ControlReply{true, {}}; }
    static ControlReply Ack() { return ControlReply{false, {}}; }
    static ControlReply Data(Bytes bytes) { return ControlReply{false, std::move(bytes)}; }
};

// One service opportunity of an isochronous endpoint: a 1-ms frame at full speed, a 125-us
// microframe at high speed.
struct IsoSlot {
    uint8_t endpoint = 0;       // bEndpointAddress
    uint64_t busInterval = 0;   // frames (full speed) or microframes (high speed) since the bus started
    int64_t startNs = 0;        // machine time at which the interval begins
    int64_t durationNs = 0;
    uint32_t maxBytes = 0;      // what the endpoint may move in one interval
    // The start-of-frame timing the device sees, for a device that measures its clocks against it.
    const BusClock* bus = nullptr;
};

struct IsoInData {
    uint32_t length = 0;                  // bytes the device sent; above maxBytes is babble
    USBD_STATUS status = USBD_STATUS_SUCCESS;
};

class UsbDeviceModel {
public:
    UsbDeviceModel(DescriptorSet descriptors, UsbSpeed speed);
    virtual ~UsbDeviceModel() = default;
    UsbDeviceModel(const UsbDeviceModel&) = delete;
    UsbDeviceModel& operator=(const UsbDeviceModel&) = delete;

    UsbSpeed Speed() const { return speed_; }
    const DescriptorSet& Descriptors() const { return descriptors_; }

    // A control transfer on the default pipe. Standard requests are answered here; class and
    // vendor requests go to the hooks; a reserved request type stalls.
    ControlReply Control(const SetupPacket& setup, const uint8_t* outData, size_t outLength);

    // Port reset (enumeration, port cycle): unconfigured, every interface back to alternate 0.
    void BusReset();

    uint8_t Configuration() const { return configuration_; }
    uint8_t Alternate(uint8_t interfaceNumber) const;

    // Isochronous traffic, one call per packet at the packet's interval. OUT: the bytes the host
    // sent; the returned status is what the host controller records (success: the device took
    // them). IN: the device writes at most `capacity` bytes into `buffer` and says how many it
    // sent. The default device takes everything and sends nothing.
    virtual USBD_STATUS IsoOut(const IsoSlot& slot, const uint8_t* data, uint32_t length);
    virtual IsoInData IsoIn(const IsoSlot& slot, uint8_t* buffer, uint32_t capacity);

protected:
    // The descriptor GET_DESCRIPTOR returns for (type, index); empty = STALL. The default serves
    // the descriptor set: the device descriptor, configuration 0, and the strings.
    virtual Bytes Descriptor(uint8_t type, uint8_t index, uint16_t languageId);
    virtual ControlReply ClassRequest(const SetupPacket& setup, const uint8_t* data, size_t length);
    virtual ControlReply VendorRequest(const SetupPacket& setup, const uint8_t* data, size_t length);
    // Called after the device accepted SET_CONFIGURATION / SET_INTERFACE, and after a port reset.
    virtual void OnConfigured(uint8_t configurationValue) {}
    virtual void OnAlternateSelected(uint8_t interfaceNumber, uint8_t alternate) {}
    virtual void OnBusReset() {}

    DescriptorSet& MutableDescriptors() { return descriptors_; }
    const ConfigurationLayout& Layout() const { return layout_; }

private:
    ControlReply StandardRequest(const SetupPacket& setup);

    DescriptorSet descriptors_;
    UsbSpeed speed_;
    ConfigurationLayout layout_;
    uint8_t configuration_ = 0;
    std::map<uint8_t, uint8_t> alternates_;
};

}  // namespace sim::usb
