// The driver's CUSBAudioCL, with its own packet check, on a simulated Audio Class device that
// records the render packets reaching it and answers feedback and capture reads from a script.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "driver/usbaudio/usb_audio_cl.h"
#include "sim/devices/audio_class/audio_class_device.h"
#include "sim/kernel/machine.h"
#include "sim/usb/host_controller.h"

namespace transfertest {

using sim::usb::Bytes;

constexpr uint8_t kRenderEndpoint = 0x01;
constexpr uint8_t kFeedbackEndpoint = 0x81;
constexpr uint8_t kCaptureEndpoint = 0x82;
constexpr uint16_t kLengthPrefixVendor = 0x3A5C;
constexpr uint16_t kLengthPrefixProduct = 0x0005;

// A 2.0 device whose render interface runs from its own clock (so render is not paced by
// capture): stereo, `bits` in `subslotBytes`, data endpoint (maxPacket, interval), and the
// explicit feedback endpoint when asked for. `interfaceClass` 0xFF makes the vendor-class layout.
Bytes RenderOnly20(bool highSpeed, uint8_t bits, uint8_t subslotBytes, uint16_t maxPacket, bool feedback,
                   uint8_t interfaceClass = sim::usb::kAudioClass);

class StreamingDevice : public sim::devices::AudioClassDevice {
public:
    StreamingDevice(const Bytes& configuration, sim::usb::UsbSpeed speed, uint16_t vendor = 0x1209,
                    uint16_t product = 0x0002);

    sim::usb::IsoInData IsoIn(const sim::usb::IsoSlot& slot, uint8_t* buffer, uint32_t capacity) override;
    USBD_STATUS IsoOut(const sim::usb::IsoSlot& slot, const uint8_t* data, uint32_t length) override;

    // Feedback packets in turn (empty once they run out); capture packet lengths in turn (the
    // nominal `captureDefault` once they run out).
    void ScriptFeedback(std::vector<Bytes> packets);
    void ScriptCapture(std::vector<uint32_t> lengths, uint32_t captureDefault);
    // The render packets that reached the device, as it received them.
    std::vector<Bytes> RenderPackets() const;

private:
    mutable std::mutex lock_;
    std::deque<Bytes> feedback_;
    std::deque<uint32_t> capture_;
    uint32_t captureDefault_ = 0;
    std::vector<Bytes> render_;
};

struct Completion {
    NTSTATUS status;
    ULONG bytes;  // the feedback value for feedback reads
};

// Collects transfer callbacks; Wait fails the test after a second of bus time.
class CompletionProbe {
public:
    CompletionProbe() { KeInitializeEvent(&arrived_, SynchronizationEvent, FALSE); }
    static void Callback(NTSTATUS status, ULONG bytes, ULONG startFrame, PVOID context, ULONG busFrames);
    std::vector<Completion> Wait(size_t count);

private:
    KEVENT arrived_;
    std::mutex lock_;
    std::vector<Completion> results_;
};

class TransferTest : public ::testing::Test {
protected:
    void TearDown() override { Stop(); }

    // Plugs the device, starts and configures the driver (the test fails when either fails).
    CUSBAudioCL& Start(std::unique_ptr<StreamingDevice> device);
    CUSBAudioCL& StartOn(std::unique_ptr<sim::usb::UsbDeviceModel> device);
    // Selects a PCM render or capture format for 1-ms periods.
    void Select(ULONG direction, ULONG bits, ULONG rate);
    // Deletes the driver once the last completion routine has returned; the pool must be empty.
    void Stop();
    size_t LiveAllocations() { return machine_.Pools().LiveAllocations().size(); }
    void SetFeedback(ULONG value);

    sim::Machine machine_;
    sim::usb::HostControllerOptions busOptions_;  // for the controller Start makes
    std::unique_ptr<sim::usb::HostController> usb_;
    StreamingDevice* device_ = nullptr;
    CUSBAudioCL* driver_ = nullptr;
};

}  // namespace transfertest
