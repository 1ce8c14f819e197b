// A wave miniport bound to a simulated WaveCyclic port on a fake adapter, and the streams it
// makes from KS data formats, for the wave stream's own tests. Everything is released at the end
// and the machine's leak check runs.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <deque>
#include <vector>

#include "driver/driver_tuning.h"
#include "driver/miniport/usb_wave_miniport.h"
#include "driver/miniport/usb_wave_stream.h"
#include "sim/kernel/machine.h"
#include "tests/miniport/fake_adapter.h"

namespace wavetest {

// KSDATAFORMAT_WAVEFORMATEX, or with WAVEFORMATEXTENSIBLE, as the port hands it to NewStream.
struct WaveDataFormat {
    KSDATAFORMAT head;
    WAVEFORMATEXTENSIBLE wave;
};

inline WaveDataFormat MakeFormat(USHORT tag, USHORT channels, USHORT bits, ULONG rate, bool extensible = false)
{
    WaveDataFormat format = {};
    format.head.FormatSize = sizeof(KSDATAFORMAT) + (extensible ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX));
    format.head.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    format.head.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    format.head.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    format.wave.Format.wFormatTag = extensible ? USHORT(WAVE_FORMAT_EXTENSIBLE) : tag;
    format.wave.Format.nChannels = channels;
    format.wave.Format.nSamplesPerSec = rate;
    format.wave.Format.wBitsPerSample = bits;
    format.wave.Format.nBlockAlign = USHORT(channels * bits / 8);
    format.wave.Format.nAvgBytesPerSec = rate * format.wave.Format.nBlockAlign;
    if (extensible) {
        format.wave.Format.cbSize = 22;
        format.wave.Samples.wValidBitsPerSample = bits;
        format.wave.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        format.wave.SubFormat.Data1 = tag;
    }
    return format;
}

// What NewStream hands out.
struct StreamObjects {
    PMINIPORTWAVECYCLICSTREAM stream = nullptr;
    PDMACHANNEL dma = nullptr;
    PSERVICEGROUP group = nullptr;

    UsbWaveStream* Object() const { return static_cast<UsbWaveStream*>(stream); }
    PUCHAR Buffer() const { return static_cast<PUCHAR>(dma->SystemAddress()); }
};

class WaveStreamTest : public ::testing::Test {
protected:
    WaveStreamTest()
    {
        ResetDriverTuning();
        EXPECT_EQ(CreateUsbWaveMiniport(NonPagedPoolNx, &miniport_), STATUS_SUCCESS);
        PPORT port = nullptr;
        EXPECT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
        EXPECT_EQ(port->QueryInterface(IID_IPortWaveCyclic, reinterpret_cast<PVOID*>(&port_)), STATUS_SUCCESS);
        port->Release();
        EXPECT_EQ(miniport_->Init(&adapter_, nullptr, port_), STATUS_SUCCESS);
        adapter_.calls.clear();
    }

    ~WaveStreamTest() override
    {
        for (StreamObjects& objects : streams_) {
            Release(objects);
        }
        miniport_->Release();
        port_->Release();
        EXPECT_EQ(adapter_.references, 1) << "a reference to the adapter was kept";
        machine_.VerifyNothingLeaked();
    }

    NTSTATUS NewStream(bool capture, WaveDataFormat format, StreamObjects& objects)
    {
        const NTSTATUS status = miniport_->NewStream(&objects.stream, nullptr, NonPagedPoolNx, capture ? 1 : 0,
                                                     capture, &format.head, &objects.dma, &objects.group);
        if (NT_SUCCESS(status)) {
            streams_.push_back(objects);
        }
        return status;
    }
    // A stream kept by the fixture; released at the end.
    StreamObjects& Open(bool capture, WaveDataFormat format)
    {
        StreamObjects objects;
        EXPECT_EQ(NewStream(capture, format, objects), STATUS_SUCCESS);
        return streams_.back();
    }
    static void Release(StreamObjects& objects)
    {
        if (objects.stream != nullptr) {
            objects.group->Release();
            objects.dma->Release();
            objects.stream->Release();
            objects = {};
        }
    }
    // Takes the stream up through the states to `state`, one step at a time.
    static void Walk(PMINIPORTWAVECYCLICSTREAM stream, std::initializer_list<KSSTATE> states)
    {
        for (KSSTATE state : states) {
            ASSERT_EQ(stream->SetState(state), STATUS_SUCCESS) << "to state " << int(state);
        }
    }
    IEngineCallback& Engine() { return *adapter_.engineCallback; }
    bool Called(const std::string& call) const
    {
        return std::find(adapter_.calls.begin(), adapter_.calls.end(), call) != adapter_.calls.end();
    }

    sim::Machine machine_;
    miniport_test::FakeAdapter adapter_;
    PMINIPORTWAVECYCLIC miniport_ = nullptr;
    PPORTWAVECYCLIC port_ = nullptr;
    std::deque<StreamObjects> streams_;
};

}  // namespace wavetest
