// The ASIO sequence of a private handle (claim, open, start, stop, close, release): each code only
// in its state, the open record's checks in their order before anything is reserved, and what an
// open holds until the close.
#include <cstring>

#include "driver/adapter/asio_handle.h"
#include "tests/adapter/asio_client.h"

namespace adaptertest {
namespace {

struct OpenRecord {
    ULONG bufferFrames;
    ULONG wantInput;
    ULONG wantOutput;
    ULONG bufferPercent;
    USHORT mode;
};

NTSTATUS OpenStream(AsioClient& client, const OpenRecord& record, ULONG length = 18)
{
    std::memset(client.buffer, 0, sizeof client.buffer);
    std::memcpy(reinterpret_cast<UCHAR*>(client.buffer), &record.bufferFrames, 4);
    std::memcpy(reinterpret_cast<UCHAR*>(client.buffer) + 4, &record.wantInput, 4);
    std::memcpy(reinterpret_cast<UCHAR*>(client.buffer) + 8, &record.wantOutput, 4);
    std::memcpy(reinterpret_cast<UCHAR*>(client.buffer) + 12, &record.bufferPercent, 4);
    std::memcpy(reinterpret_cast<UCHAR*>(client.buffer) + 16, &record.mode, 2);
    return client.Control(code::kOpenStream, length, 0);
}

ULONG HandleState(AsioClient& client) { return static_cast<AsioHandleContext*>(client.File().FsContext2)->state; }

constexpr OpenRecord kDuplex = {256, 1, 1, 50, 0};

TEST(AsioSequence, EachCodeOnlyInItsState)
{
    AdapterBench bench;
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    AsioClient client(bench);
    // Open (1): everything past the claim is out of sequence, whatever the buffers.
    for (ULONG sequenceCode : {code::kStartStream, code::kStopStream, code::kCloseStream, code::kRelease}) {
        EXPECT_EQ(client.Control(sequenceCode, 32, 32), STATUS_UNSUCCESSFUL) << std::hex << sequenceCode;
    }
    EXPECT_EQ(OpenStream(client, kDuplex), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(OpenStream(client, kDuplex, 17), STATUS_UNSUCCESSFUL) << "the state is checked before the length";
    EXPECT_EQ(HandleState(client), ULONG(kHandleOpen));

    // Owner (2): a second claim and the stream's later steps are out of sequence.
    ASSERT_EQ(client.Claim(), STATUS_SUCCESS);
    EXPECT_EQ(HandleState(client), ULONG(kHandleOwner));
    for (ULONG sequenceCode : {code::kClaim, code::kStartStream, code::kStopStream, code::kCloseStream}) {
        EXPECT_EQ(client.Control(sequenceCode), STATUS_UNSUCCESSFUL) << std::hex << sequenceCode;
    }
    EXPECT_EQ(OpenStream(client, kDuplex, 17), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(HandleState(client), ULONG(kHandleOwner));
    EXPECT_EQ(client.Control(code::kRelease), STATUS_SUCCESS);
    EXPECT_EQ(HandleState(client), ULONG(kHandleOpen));
}

TEST(AsioSequence, OpenRecordChecksRunInOrderAndReserveNothing)
{
    struct Case {
        bool nativeDsd;
        OpenRecord record;
        NTSTATUS status;
    };
    const Case cases[] = {
        {true, {0, 1, 1, 50, 0}, STATUS_INVALID_PARAMETER},
        // A zero buffer is refused before the mode is looked at, and so is an empty stream.
        {false, {0, 1, 1, 50, 1}, STATUS_INVALID_PARAMETER},
        // A buffer the rings could not be sized for in reason is refused like a zero one.
        {false, {kMaximumAsioBufferFrames + 1, 1, 1, 50, 0}, STATUS_INVALID_PARAMETER},
        {false, {0xFFFFFFFF, 1, 0, 50, 1}, STATUS_INVALID_PARAMETER},
        {true, {256, 0, 0, 50, 0}, STATUS_INVALID_PARAMETER},
        {false, {256, 0, 0, 50, 1}, STATUS_INVALID_PARAMETER},
        {false, {256, 1, 1, 50, 1}, STATUS_INVALID_DEVICE_REQUEST},
        {false, {256, 0, 1, 100, 1}, STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "DSD " << c.nativeDsd << ", frames " << c.record.bufferFrames << ", in "
                                        << c.record.wantInput << ", out " << c.record.wantOutput << ", mode "
                                        << c.record.mode);
        BenchOptions options;
        options.dsdModeRequest = c.nativeDsd;
        AdapterBench bench(options);
        ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
        AsioClient client(bench);
        ASSERT_EQ(client.Claim(), STATUS_SUCCESS);
        EXPECT_EQ(OpenStream(client, c.record), c.status);
        EXPECT_EQ(client.bytes, 0u);

        // Refused: the handle still owns the device and nothing else changed.
        EXPECT_EQ(HandleState(client), ULONG(kHandleOwner));
        EXPECT_EQ(client.Control(code::kStartStream), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(bench.Adapter().ReserveDirections(TRUE, TRUE, TRUE), STATUS_SUCCESS) << "a reservation was left";
        bench.Adapter().ReleaseDirections(TRUE, TRUE);
        if (c.nativeDsd) {
            EXPECT_EQ(bench.Device().Function().StreamingMode(1), 0u);
            EXPECT_EQ(bench.Device().Function().StreamingMode(2), 0u);
        }
    }
}

// An open holds its directions (all of the device in native DSD) and the mode until the close.
TEST(AsioSequence, AnOpenHoldsItsDirectionsAndModeUntilTheClose)
{
    struct Case {
        bool nativeDsd;
        OpenRecord record;
        bool exclusive;
    };
    const Case cases[] = {
        {false, {256, 1, 1, 50, 2}, false},
        {true, {256, 1, 1, 50, 1}, true},
        {true, {64, 1, 0, 150, 0}, false},
        {true, {64, 0, 1, 0, 0}, false},
        {true, {kMaximumAsioBufferFrames, 1, 1, 100, 1}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "DSD " << c.nativeDsd << ", in " << c.record.wantInput << ", out "
                                        << c.record.wantOutput << ", mode " << c.record.mode);
        BenchOptions options;
        options.dsdModeRequest = c.nativeDsd;
        AdapterBench bench(options);
        ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
        AsioClient client(bench);
        ASSERT_EQ(client.Claim(), STATUS_SUCCESS);
        ASSERT_EQ(OpenStream(client, c.record), STATUS_SUCCESS);
        EXPECT_EQ(HandleState(client), ULONG(kHandlePrepared));
        EXPECT_EQ(bench.Adapter().ReserveDirections(TRUE, TRUE, TRUE), STATUS_DEVICE_BUSY);
        EXPECT_EQ(bench.Adapter().ReserveDirections(TRUE, TRUE, FALSE),
                  c.exclusive ? STATUS_DEVICE_BUSY : STATUS_SUCCESS);
        if (!c.exclusive) {
            bench.Adapter().ReleaseDirections(TRUE, TRUE);
        }
        EXPECT_EQ(bench.Device().Function().StreamingMode(1), c.exclusive ? 1u : 0u);

        EXPECT_EQ(client.Control(code::kCloseStream), STATUS_SUCCESS);
        EXPECT_EQ(HandleState(client), ULONG(kHandleOwner));
        EXPECT_EQ(bench.Device().Function().StreamingMode(1), 0u);
        EXPECT_EQ(bench.Adapter().ReserveDirections(TRUE, TRUE, TRUE), STATUS_SUCCESS);
        bench.Adapter().ReleaseDirections(TRUE, TRUE);
    }
}

}  // namespace
}  // namespace adaptertest
