// Where late mixing puts ASIO output: the margin ahead of the oldest submitted render request, from
// the smallest one at 0 % of the client's buffer range to 16 ms at 100 % (40 ms of the pipeline
// when asked for all of it), or what "USB Margin" says.
#include <cstring>
#include <ostream>

#include "driver/driver_tuning.h"
#include "tests/adapter/asio_client.h"

namespace asiokerneltest {
namespace {

using adaptertest::AdapterBench;
using adaptertest::AsioClient;
namespace code = adaptertest::code;

struct MarginCase {
    const char* name;
    ULONG rate;
    ULONG percent;
    ULONG usbMargin;     // 0: not set
    LONG marginFrames;   // expected, in render frames
    bool oldFashioned = false;
    ULONG inUrbSize = 1;
};

void PrintTo(const MarginCase& c, std::ostream* out) { *out << c.name; }

// Default tuning: 8 render requests of 8 ms, capture requests of 1 ms: the pipeline allows
// 7 x 8 - 1 = 55 ms, of which 16 count at 100 % (768 frames at 48 kHz).
const MarginCase kMarginCases[] = {
    {"SmallestAt48k", 48000, 0, 0, 72},
    {"HalfAt48k", 48000, 50, 0, 420},          // 72 + (768 - 72) / 2
    {"FullAt48k", 48000, 100, 0, 48 * 40},     // the 100 % case: 40 ms of the pipeline
    {"PercentAbove100CountsAs100", 48000, 150, 0, 48 * 40},
    {"SmallestAt96k", 96000, 0, 0, 112},
    {"SmallestAt192k", 192000, 0, 0, 216},
    // Above 192 kHz 216 frames would be less than the frame the host controller fetches ahead.
    {"SmallestAt384kSpansTheSameTime", 384000, 0, 0, 432},
    {"UsbMarginOverrides", 48000, 100, 64, 64},
    // Old-fashioned transfer (3 requests of 2 ms) with 3-ms capture requests leaves 1 ms of
    // pipeline, less than the smallest margin: the setting then brings the margin down towards it.
    {"PipelineShorterThanTheSmallestMargin", 48000, 50, 0, 60, true, 3},
    // A pipeline shorter than one capture request wraps, as unsigned arithmetic does, to the caps.
    {"PipelineShorterThanACaptureRequest", 48000, 100, 0, 48 * 40, true, 8},
};

class MarginAtStart : public ::testing::TestWithParam<MarginCase> {};

TEST_P(MarginAtStart, FollowsTheBufferSettingAndTheRate)
{
    const MarginCase& c = GetParam();
    AdapterBench bench;
    bench.SetDeviceSetting(u"Initialized", 1);
    bench.SaveEndpointFormats(c.rate);
    if (c.usbMargin != 0) {
        bench.SetDeviceSetting(u"USB Margin", c.usbMargin);
    }
    bench.SetDeviceSetting(u"ForceOldFashionedTransfer", c.oldFashioned ? 1 : 0);
    bench.SetDeviceSetting(u"IN URB Size", c.inUrbSize);
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    {
        AsioClient client(bench);
        ASSERT_EQ(client.Claim(), STATUS_SUCCESS);
        const ULONG record[4] = {256, 1, 1, c.percent};
        const USHORT mode = 0;
        std::memcpy(client.buffer, record, sizeof record);
        std::memcpy(reinterpret_cast<UCHAR*>(client.buffer) + sizeof record, &mode, sizeof mode);
        ASSERT_EQ(client.Control(code::kOpenStream, 18, 0), STATUS_SUCCESS);
        ASSERT_EQ(client.Control(code::kStartStream), STATUS_SUCCESS);
        const LONG frameBytes = LONG(bench.Adapter().Engine().UsbFormat(kDirectionOut).bytesPerFrame);
        EXPECT_EQ(bench.Adapter().Engine().Asio().Margin(), c.marginFrames * frameBytes);
        // The render ring starts one buffer of fill ahead, and with old-fashioned transfer one
        // 2 ms render request more, as requests take their output from it whole.
        const ULONG fillFrames = 256 + (c.oldFashioned ? 2 * c.rate / 1000 : 0);
        EXPECT_EQ(bench.Adapter().Engine().Asio().RenderRing().Filled(), fillFrames * ULONG(frameBytes));
    }
    EXPECT_FALSE(bench.Adapter().Engine().Asio().IsOpen()) << "closing the owner's handle closes the stream";
}

INSTANTIATE_TEST_SUITE_P(Asio, MarginAtStart, ::testing::ValuesIn(kMarginCases),
                         [](const ::testing::TestParamInfo<MarginCase>& info) { return info.param.name; });

}  // namespace
}  // namespace asiokerneltest
