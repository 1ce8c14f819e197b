// A machine with one USB host controller and the R9 on it, and the driver tvr9audio as Windows
// would load it: settings and saved endpoint formats can be put in place before the device is
// plugged, and the adapter, the filter and the device inspected afterwards.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/adapter/usb_audio_adapter.h"
#include "sim/devices/r9/r9_device.h"
#include "sim/kernel/machine.h"
#include "sim/pnp/device_tree.h"
#include "sim/usb/host_controller.h"

// What the tests reach inside the stream engine: the run counts, which only starts and stops move.
class StreamEngineTestAccess {
public:
    static void SetRunCount(StreamEngine& engine, StreamDirection direction, ULONG count)
    {
        engine.m_Direction[direction].runCount = count;
    }
    // Requests of the direction in flight (render) or chains alive.
    static LONG Chains(StreamEngine& engine, StreamDirection direction)
    {
        return engine.m_Direction[direction].chains.Count();
    }
    // What a render build does with the audio: silence over the request, then the queued regions
    // converted into it. Returns the client bytes taken.
    static ULONG FillRenderRequest(StreamEngine& engine, RequestContext* context)
    {
        RtlFillMemory(context->buffer, context->length, engine.m_Asio.RenderFillByte());
        return engine.CopyRenderRegions(context);
    }
    // What a capture completion does with the audio: converted into the queued regions.
    static ULONG FillCaptureRegions(StreamEngine& engine, const UCHAR* data, ULONG bytes)
    {
        KLOCK_QUEUE_HANDLE lock;
        KeAcquireInStackQueuedSpinLock(&engine.m_Direction[kDirectionIn].regions.lock, &lock);
        const ULONG copied = engine.FillCaptureRegions(data, bytes);
        KeReleaseInStackQueuedSpinLock(&lock);
        return copied;
    }
};

// What the tests reach inside the adapter: the run counts, and the direction it gives a pin.
class UsbAudioAdapterTestAccess {
public:
    static void SetRunCount(UsbAudioAdapter& adapter, StreamDirection direction, ULONG count)
    {
        StreamEngineTestAccess::SetRunCount(adapter.Engine(), direction, count);
    }
    static NTSTATUS PinDirection(UsbAudioAdapter& adapter, ULONG pin, StreamDirection* direction)
    {
        return adapter.PinDirection(pin, direction);
    }
};

namespace adaptertest {

struct BenchOptions {
    sim::devices::R9Variant variant = sim::devices::R9Variant::HighSpeedUac2;
    ULONG windowsVersion = NTDDI_WIN10;
    sim::usb::HostControllerOptions controller;
    // Whether the device takes the PCM/DSD mode request.
    bool dsdModeRequest = true;
    sim::ClockMode clock = sim::ClockMode::Virtual;
};


class AdapterBench {
public:
    explicit AdapterBench(BenchOptions options = {});
    ~AdapterBench();
    AdapterBench(const AdapterBench&) = delete;
    AdapterBench& operator=(const AdapterBench&) = delete;

    // Before Plug: a REG_DWORD in the device's hardware key; endpoints with a saved format.
    void SetDeviceSetting(const std::u16string& name, ULONG value);
    void SetDeviceValue(const std::u16string& name, ULONG type, const std::vector<uint8_t>& data);
    // The formats are stereo with 24 valid bits, in a container of `containerBits`.
    void SaveEndpointFormats(ULONG rate, USHORT containerBits = 32);

    // Plugs the R9 in; Plug and Play starts the driver on it. Returns the start's status.
    NTSTATUS Plug();
    // Surprise removal and removal, as when the cable is pulled; the driver then unloads.
    void Unplug();
    // The same, returning the removal's status: STATUS_PENDING while a handle is still open on the
    // device, whose close then finishes the removal.
    NTSTATUS PullOut();

    bool Started() const;
    bool Unplugged() const { return removed_; }
    UsbAudioAdapter& Adapter() const;
    PDEVICE_OBJECT Fdo() const;
    sim::devices::R9Device& Device() const { return *device_; }
    sim::usb::BusDevice& Bus() const { return *bus_; }
    sim::usb::HostController& Controller() const { return *usb_; }
    const sim::pnp::DeviceNode& Node() const { return *node_; }
    sim::Machine& Machine() { return machine_; }

    // The names of the wave filters registered for the device, in registration order.
    std::vector<std::u16string> FilterNames() const;
    bool HasSetting(const std::u16string& name, ULONG* value = nullptr) const;
    // The rate of the saved format of the device's render (0) or capture (1) endpoint; 0 when none.
    ULONG EndpointRate(int flow) const;
    bool EndpointHasDeletedProperty(int flow) const;

    // Requests on `file` sent to the top of the device's stack, as the I/O manager sends them for
    // a handle; each returns the request's final status. Open starts a fresh file object.
    NTSTATUS Open(const char16_t* name, FILE_OBJECT& file);
    NTSTATUS Send(UCHAR major, FILE_OBJECT& file);
    // A buffered device control: `buffer` holds the input and receives the output, so it has room
    // for the larger of the two lengths. `bytes` receives the byte count returned.
    NTSTATUS Control(FILE_OBJECT& file, ULONG code, void* buffer, ULONG inLength, ULONG outLength,
                     ULONG_PTR* bytes = nullptr);

private:
    sim::Machine machine_;
    BenchOptions options_;
    std::unique_ptr<sim::usb::HostController> usb_;
    sim::devices::R9Device* device_ = nullptr;
    sim::usb::BusDevice* bus_ = nullptr;
    sim::pnp::DeviceNode* node_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    bool removed_ = false;
};

}  // namespace adaptertest
