// Pins of a WaveCyclic filter as PortCls makes and runs them: the checks of a create, the state
// taken one step at a time, the copy engine between stream packets and the miniport's cyclic
// buffer, the positions it follows and reports, and the port's own properties.
#include <cstring>
#include <memory>
#include <vector>

#include "sim/audio_service/ks_client.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/portcls/portcls_sim.h"
#include "tests/portcls/portcls_fixture.h"

namespace portcls_test {
namespace {

using sim::audio::KsHandle;
using Strings = std::vector<std::string>;

constexpr ULONG kRenderPin = 0;
constexpr ULONG kRenderBridge = 1;
constexpr ULONG kCapturePin = 2;
constexpr int64_t kMs = 1000000;

WAVEFORMATEXTENSIBLE Stereo24(ULONG rate = 44100, USHORT channels = 2)
{
    WAVEFORMATEXTENSIBLE format = {};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = channels;
    format.Format.nSamplesPerSec = rate;
    format.Format.wBitsPerSample = 24;
    format.Format.nBlockAlign = USHORT(channels * 3);
    format.Format.nAvgBytesPerSec = rate * format.Format.nBlockAlign;
    format.Format.cbSize = 22;
    format.Samples.wValidBitsPerSample = 24;
    format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return format;
}

// A packet of the caller's, with its header and data kept until it completes.
struct Packet {
    KSSTREAM_HEADER header = {};
    std::vector<UCHAR> data;
    NTSTATUS status = STATUS_PENDING;
};

class PinTest : public PortClsTest {
protected:
    PinTest()
    {
        SetStreamPosition(0);
        EXPECT_EQ(sim::pnp::StartDevice(driver_, pdo_), STATUS_SUCCESS);
        EXPECT_EQ(filter_.OpenFilter(pdo_, u"wave_44100"), STATUS_SUCCESS);
        Events().clear();
    }
    ~PinTest() override
    {
        render_.Close();
        capture_.Close();
        filter_.Close();
    }

    std::unique_ptr<Packet> Send(KsHandle& pin, bool write, ULONG bytes, UCHAR fill)
    {
        auto packet = std::make_unique<Packet>();
        packet->data.assign(bytes, fill);
        packet->header.Size = sizeof packet->header;
        packet->header.FrameExtent = bytes;
        packet->header.DataUsed = write ? bytes : 0;
        packet->header.Data = packet->data.data();
        Packet* raw = packet.get();
        const NTSTATUS status = pin.SendPacket(write, &raw->header, [raw](NTSTATUS done) { raw->status = done; });
        if (NT_ERROR(status)) {
            raw->status = status;
        }
        return packet;
    }
    KSAUDIO_POSITION Position(KsHandle& pin)
    {
        KSAUDIO_POSITION position = {};
        EXPECT_EQ(pin.Position(position), STATUS_SUCCESS);
        return position;
    }
    sim::portcls::PinCounters Counters(KsHandle& pin)
    {
        sim::portcls::PinCounters counters;
        EXPECT_TRUE(sim::portcls::PinCountersOf(pin.File(), counters));
        return counters;
    }

    KsHandle filter_;
    KsHandle render_;
    KsHandle capture_;
};

struct CreateCase {
    const char* name;
    ULONG pin;
    WAVEFORMATEXTENSIBLE format;
    NTSTATUS expected;
};

TEST_F(PinTest, CreatesAreCheckedAgainstThePinFactory)
{
    const CreateCase cases[] = {
        {"bridge pin", kRenderBridge, Stereo24(), STATUS_INVALID_DEVICE_REQUEST},
        {"no such pin", 7, Stereo24(), STATUS_INVALID_PARAMETER},
        {"rate outside the range", kRenderPin, Stereo24(48000), STATUS_NO_MATCH},
        {"more channels than the range", kRenderPin, Stereo24(44100, 4), STATUS_NO_MATCH},
    };
    for (const CreateCase& c : cases) {
        SCOPED_TRACE(c.name);
        KsHandle pin;
        EXPECT_EQ(pin.CreatePin(filter_, c.pin, c.format), c.expected);
    }
    EXPECT_TRUE(Events().empty()) << "a refused create reached the miniport";
    ASSERT_EQ(render_.CreatePin(filter_, kRenderPin, Stereo24()), STATUS_SUCCESS);
    EXPECT_EQ(Events(), Strings{"new stream 0 render"});
    KsHandle second;
    EXPECT_EQ(second.CreatePin(filter_, kRenderPin, Stereo24()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::pnp::QueryRemoveDevice(pdo_), STATUS_DEVICE_BUSY) << "an open pin keeps the device";
}

TEST_F(PinTest, StatesAreTakenOneStepAtATimeAndCloseStops)
{
    ASSERT_EQ(render_.CreatePin(filter_, kRenderPin, Stereo24()), STATUS_SUCCESS);
    Events().clear();
    ASSERT_EQ(render_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(Events(), (Strings{"stream 1", "stream 2", "stream 3"}));
    KSSTATE state = KSSTATE_STOP;
    ASSERT_EQ(render_.Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_GET, nullptr, 0,
                               &state, sizeof state),
              STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_RUN);
    Events().clear();
    ASSERT_EQ(render_.SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(Events(), (Strings{"stream 2", "stream 1"}));
    Events().clear();
    render_.Close();
    EXPECT_EQ(Events(), (Strings{"stream 0", "stream released"}));
}

// Paused, the port copies what it is given into the buffer ahead of the play position, up to one
// notification interval short of a whole buffer; running, it follows the position and counts the
// moment the position overtakes what was written.
TEST_F(PinTest, RenderPacketsGoIntoTheBufferAheadOfThePlayPosition)
{
    ASSERT_EQ(render_.CreatePin(filter_, kRenderPin, Stereo24()), STATUS_SUCCESS);
    ASSERT_EQ(render_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    PUCHAR buffer = LastStreamBuffer();
    std::vector<std::unique_ptr<Packet>> packets;
    for (UCHAR fill = 1; fill <= 10; ++fill) {
        packets.push_back(Send(render_, true, kStreamPeriodBytes, fill));
    }
    // Nine periods fit in front of the position; the tenth waits.
    for (size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(packets[i]->status, STATUS_SUCCESS) << "packet " << i;
        EXPECT_EQ(buffer[i * kStreamPeriodBytes], UCHAR(i + 1));
    }
    EXPECT_EQ(packets[9]->status, STATUS_PENDING);
    KSAUDIO_POSITION position = Position(render_);
    EXPECT_EQ(position.PlayOffset, 0u);
    EXPECT_EQ(position.WriteOffset, 10u * kStreamPeriodBytes);

    // Running, the position moves on and the waiting packet follows it round the buffer end.
    ASSERT_EQ(render_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    SetStreamPosition(2 * kStreamPeriodBytes);
    machine_.RunFor(10 * kMs);
    EXPECT_EQ(packets[9]->status, STATUS_SUCCESS);
    EXPECT_EQ(buffer[9 * kStreamPeriodBytes], 10);
    EXPECT_EQ(Position(render_).PlayOffset, 2u * kStreamPeriodBytes);
    EXPECT_EQ(Counters(render_).starvations, 0u);

    // Nothing more comes: the position passes the last byte written, which the port counts once,
    // and it writes on from the next whole frame after the position.
    SetStreamPosition(15000);
    machine_.RunFor(10 * kMs);
    EXPECT_EQ(Counters(render_).starvations, 0u);
    SetStreamPosition(100);
    machine_.RunFor(10 * kMs);
    const sim::portcls::PinCounters counters = Counters(render_);
    EXPECT_EQ(counters.starvations, 1u);
    EXPECT_EQ(counters.bytesMissed, 102u);
    auto late = Send(render_, true, kStreamPeriodBytes, 0x77);
    EXPECT_EQ(late->status, STATUS_SUCCESS);
    EXPECT_EQ(buffer[102], 0x77);
    EXPECT_EQ(buffer[101], 1) << "behind the resumed write, the buffer is untouched";
}

TEST_F(PinTest, CaptureFillsReadPacketsFromBehindTheRecordPosition)
{
    ASSERT_EQ(capture_.CreatePin(filter_, kCapturePin, Stereo24()), STATUS_SUCCESS);
    ASSERT_EQ(capture_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    PUCHAR buffer = LastStreamBuffer();
    for (ULONG i = 0; i < kStreamBufferBytes; ++i) {
        buffer[i] = UCHAR(i / kStreamPeriodBytes + 1);
    }
    auto first = Send(capture_, false, kStreamPeriodBytes, 0);
    auto second = Send(capture_, false, kStreamPeriodBytes, 0);
    EXPECT_EQ(first->status, STATUS_PENDING) << "nothing recorded yet";
    SetStreamPosition(kStreamPeriodBytes + 6);
    machine_.RunFor(10 * kMs);
    EXPECT_EQ(first->status, STATUS_SUCCESS);
    EXPECT_EQ(first->header.DataUsed, kStreamPeriodBytes);
    EXPECT_EQ(first->data.front(), 1);
    EXPECT_EQ(first->data.back(), 1);
    EXPECT_EQ(second->status, STATUS_PENDING) << "one frame of the second period is in";
    EXPECT_EQ(Position(capture_).PlayOffset, kStreamPeriodBytes + 6u);
    capture_.Close();
    EXPECT_EQ(second->status, STATUS_CANCELLED) << "closing the pin cancels what waits";
}

struct PositionCase {
    const char* name;
    ULONG from;
    ULONG to;
    bool reported;
};

// The verifier watches the miniport's position: it must lie in the buffer, and it only moves on
// (a drop of more than half the buffer is the wrap).
TEST_F(PinTest, APositionThatGoesBackOrPastTheBufferIsReported)
{
    // Each case starts where the position stands, or ahead of it.
    const PositionCase cases[] = {
        {"forward", 1000, 5000, false},
        {"back", 5000, 4000, true},
        {"at the end", 6000, kStreamBufferBytes, true},
        {"round the end", kStreamBufferBytes - 600, 600, false},
    };
    ASSERT_EQ(render_.CreatePin(filter_, kRenderPin, Stereo24()), STATUS_SUCCESS);
    ASSERT_EQ(render_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    machine_.Verify().SetMode(sim::VerifierMode::Record);
    for (const PositionCase& c : cases) {
        SCOPED_TRACE(c.name);
        machine_.Verify().ClearReports();
        SetStreamPosition(c.from);
        Position(render_);
        SetStreamPosition(c.to);
        Position(render_);
        EXPECT_EQ(machine_.Verify().HasReport("WaveCyclic position"), c.reported);
    }
    machine_.Verify().ClearReports();
    machine_.Verify().SetMode(sim::VerifierMode::Abort);
}

TEST_F(PinTest, PortPropertiesAndTheirBasicSupport)
{
    ASSERT_EQ(render_.CreatePin(filter_, kRenderPin, Stereo24()), STATUS_SUCCESS);
    KSPROPERTY_DESCRIPTION description = {};
    ULONG returned = 0;
    ASSERT_EQ(render_.Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_BASICSUPPORT,
                               nullptr, 0, &description, sizeof description, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, sizeof description);
    EXPECT_EQ(description.AccessFlags, ULONG(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET));
    KSAUDIO_POSITION position;
    EXPECT_EQ(render_.Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, KSPROPERTY_TYPE_GET, nullptr, 0,
                               nullptr, 0, &returned),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, sizeof position);
    EXPECT_EQ(render_.Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, KSPROPERTY_TYPE_SET, nullptr, 0,
                               &position, sizeof position),
              STATUS_INVALID_DEVICE_REQUEST);
    ULONG count = 0;
    ASSERT_EQ(filter_.Property(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET, nullptr, 0, &count,
                               sizeof count),
              STATUS_SUCCESS);
    EXPECT_EQ(count, 4u);
    KSPIN_COMMUNICATION communication = KSPIN_COMMUNICATION_NONE;
    ASSERT_EQ(filter_.Property(KSPROPSETID_Pin, KSPROPERTY_PIN_COMMUNICATION, KSPROPERTY_TYPE_GET, &kCapturePin,
                               sizeof kCapturePin, &communication, sizeof communication),
              STATUS_SUCCESS);
    EXPECT_EQ(communication, KSPIN_COMMUNICATION_SINK);
    LONG value = 0;
    EXPECT_EQ(filter_.NodeProperty(0, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_GET, nullptr,
                                   0, &value, sizeof value),
              STATUS_INVALID_DEVICE_REQUEST)
        << "the filter has no nodes";
    EXPECT_EQ(filter_.Property(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, KSPROPERTY_TYPE_GET, nullptr, 0,
                               &value, sizeof value),
              STATUS_NOT_FOUND)
        << "the filter has no automation table";
}

TEST(MasterDmaChannel, AllocatesWithinItsMaximumAndCopiesInsideItsBuffer)
{
    sim::Machine machine;
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    PPORTWAVECYCLIC wave = nullptr;
    ASSERT_EQ(port->QueryInterface(IID_IPortWaveCyclic, reinterpret_cast<PVOID*>(&wave)), STATUS_SUCCESS);
    PDMACHANNEL dma = nullptr;
    ASSERT_EQ(wave->NewMasterDmaChannel(&dma, nullptr, nullptr, 4096, TRUE, FALSE, Width32Bits, TypeF), STATUS_SUCCESS);
    EXPECT_EQ(dma->AllocateBuffer(0, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(dma->AllocateBuffer(4097, nullptr), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(dma->AllocateBuffer(4000, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(dma->BufferSize(), 4000u);
    dma->SetBufferSize(5000);
    EXPECT_EQ(dma->BufferSize(), 4000u);
    dma->SetBufferSize(2000);
    EXPECT_EQ(dma->BufferSize(), 2000u);
    UCHAR data[100];
    std::memset(data, 0x5A, sizeof data);
    auto* buffer = static_cast<PUCHAR>(dma->SystemAddress());
    dma->CopyTo(buffer + 3900, data, sizeof data);
    EXPECT_EQ(buffer[3999], 0x5A);
    machine.Verify().SetMode(sim::VerifierMode::Record);
    dma->CopyTo(buffer + 3950, data, sizeof data);
    EXPECT_TRUE(machine.Verify().HasReport("IDmaChannel")) << "a copy past the common buffer";
    machine.Verify().ClearReports();
    machine.Verify().SetMode(sim::VerifierMode::Abort);
    dma->Release();
    wave->Release();
    port->Release();
}

}  // namespace
}  // namespace portcls_test
