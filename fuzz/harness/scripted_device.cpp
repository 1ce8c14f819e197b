#include "fuzz/harness/scripted_device.h"

namespace fuzz {

namespace {

enum class Step : uint8_t { Honest, Stall, Cut, Corrupt, Stretch, Replace, Count };

}  // namespace

sim::usb::ControlReply ReplyScript::Answer(sim::usb::ControlReply honest, uint16_t wLength)
{
    uint8_t choice = 0;
    if (!Next(choice)) {
        return honest;
    }
    sim::usb::Bytes& data = honest.data;
    switch (Step(choice % uint8_t(Step::Count))) {
    case Step::Honest:
        break;
    case Step::Stall:
        return sim::usb::ControlReply::Stall();
    case Step::Cut:
        data.resize(NextOr(0) % (data.size() + 1));
        break;
    case Step::Corrupt:
        for (uint8_t changes = NextOr(0) % 8; changes > 0 && !data.empty(); --changes) {
            const uint8_t at = NextOr(0);
            data[at % data.size()] = NextOr(0);
        }
        break;
    case Step::Stretch:
        for (uint8_t extra = NextOr(0); extra > 0 && data.size() < wLength; --extra) {
            data.push_back(NextOr(0));
        }
        break;
    case Step::Replace:
    case Step::Count:
        data.assign(NextOr(0) % (size_t(wLength) + 1), 0);
        for (uint8_t& byte : data) {
            byte = NextOr(0);
        }
        honest.stall = false;
        break;
    }
    return honest;
}

ScriptedDevice::ScriptedDevice(sim::usb::DescriptorSet descriptors, sim::usb::UsbSpeed speed, ReplyScript script)
    : AudioClassDevice(std::move(descriptors), speed), script_(script)
{
}

sim::usb::Bytes ScriptedDevice::Descriptor(uint8_t type, uint8_t index, uint16_t languageId)
{
    sim::usb::Bytes honest = AudioClassDevice::Descriptor(type, index, languageId);
    sim::usb::ControlReply reply = honest.empty() ? sim::usb::ControlReply::Stall()
                                                  : sim::usb::ControlReply::Data(std::move(honest));
    // Descriptor answers are cut to wLength by the bus; the script may make them any length.
    reply = script_.Answer(std::move(reply), 0xFFFF);
    return reply.stall ? sim::usb::Bytes{} : std::move(reply.data);
}

sim::usb::ControlReply ScriptedDevice::ClassRequest(const sim::usb::SetupPacket& setup, const uint8_t* data,
                                                    size_t length)
{
    return script_.Answer(AudioClassDevice::ClassRequest(setup, data, length), setup.length);
}

sim::usb::ControlReply ScriptedDevice::VendorRequest(const sim::usb::SetupPacket& setup, const uint8_t* data,
                                                     size_t length)
{
    return script_.Answer(AudioClassDevice::VendorRequest(setup, data, length), setup.length);
}

}  // namespace fuzz
