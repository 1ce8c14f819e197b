// The private interface's handles on the R9: the file name "\asio" beside PortCls's filters on the
// same device object, one owner per device with cleanup giving ownership up, and removal refusing
// new handles and requests. Every handle is closed before the bench unplugs the device, whose
// driver unload then checks that nothing was leaked (contexts, adapter references).
#include <cstring>
#include <string>

#include "driver/adapter/asio_handle.h"
#include "sim/pnp/pnp_manager.h"
#include "tests/adapter/asio_client.h"

namespace adaptertest {
namespace {

ULONG FirstUlong(const void* context)
{
    ULONG value = 0;
    std::memcpy(&value, context, sizeof value);
    return value;
}

TEST(PrivateHandle, AsioNameOpensAPrivateHandleAndOtherNamesReachPortCls)
{
    AdapterBench bench;
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    struct Case {
        const char16_t* name;
        NTSTATUS open;
        bool isPrivate;
    };
    const Case cases[] = {
        {u"\\asio", STATUS_SUCCESS, true},
        {u"\\ASIO", STATUS_SUCCESS, true},
        {u"\\wave_44100", STATUS_SUCCESS, false},
        {u"\\asio2", STATUS_OBJECT_NAME_NOT_FOUND, false},
        {u"asio", STATUS_OBJECT_NAME_NOT_FOUND, false},
        {u"\\wave_48000", STATUS_OBJECT_NAME_NOT_FOUND, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name)));
        AsioClient client(bench, c.name);
        ASSERT_EQ(client.OpenStatus(), c.open);
        if (!NT_SUCCESS(c.open)) {
            continue;
        }
        FILE_OBJECT& file = client.File();
        if (c.isPrivate) {
            ASSERT_NE(file.FsContext2, nullptr);
            EXPECT_EQ(FirstUlong(file.FsContext2), 0x6173696Fu);
            EXPECT_EQ(static_cast<AsioHandleContext*>(file.FsContext2)->state, ULONG(kHandleOpen));
            EXPECT_EQ(file.FsContext, nullptr);
            // No ASIO stream runs, so there is no audio to exchange.
            EXPECT_EQ(client.Send(IRP_MJ_READ), STATUS_UNSUCCESSFUL);
            EXPECT_EQ(client.Send(IRP_MJ_WRITE), STATUS_UNSUCCESSFUL);
        } else {
            // PortCls's filter: its port in FsContext, and it answers the requests it does not know.
            EXPECT_NE(file.FsContext, nullptr);
            EXPECT_EQ(client.Control(code::kRate, 0, 4), STATUS_INVALID_DEVICE_REQUEST);
            EXPECT_EQ(client.Send(IRP_MJ_READ), STATUS_INVALID_DEVICE_REQUEST);
        }
        EXPECT_EQ(client.Cleanup(), STATUS_SUCCESS);
        EXPECT_EQ(client.Close(), STATUS_SUCCESS);
        EXPECT_EQ(file.FsContext2, nullptr);
    }
}

TEST(PrivateHandle, OneOwnerAtATimeAndCleanupGivesTheDeviceUp)
{
    AdapterBench bench;
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    AsioClient first(bench);
    AsioClient second(bench);
    ASSERT_EQ(first.OpenStatus(), STATUS_SUCCESS);
    ASSERT_EQ(second.OpenStatus(), STATUS_SUCCESS);

    EXPECT_EQ(first.Claim(), STATUS_SUCCESS);
    EXPECT_EQ(second.Claim(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(second.Claim(), STATUS_DEVICE_BUSY);
    // The refused handle stays open and keeps the requests that need no ownership.
    EXPECT_EQ(second.Control(code::kRate, 0, 4), STATUS_SUCCESS);
    EXPECT_EQ(second.buffer[0], 44100u);
    EXPECT_EQ(second.Control(code::kRelease), STATUS_UNSUCCESSFUL);

    // Cleanup alone gives the device up, before the close.
    EXPECT_EQ(first.Cleanup(), STATUS_SUCCESS);
    EXPECT_EQ(static_cast<AsioHandleContext*>(first.File().FsContext2)->state, ULONG(kHandleOpen));
    EXPECT_EQ(second.Claim(), STATUS_SUCCESS);
    EXPECT_EQ(first.Claim(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(first.Close(), STATUS_SUCCESS);

    // The release code gives it up as well, and the handle may claim it again.
    EXPECT_EQ(second.Control(code::kRelease), STATUS_SUCCESS);
    AsioClient third(bench);
    EXPECT_EQ(third.Claim(), STATUS_SUCCESS);
    EXPECT_EQ(second.Claim(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(third.Cleanup(), STATUS_SUCCESS);
    EXPECT_EQ(second.Claim(), STATUS_SUCCESS);
    // A cleanup of a handle that owns nothing leaves the owner alone.
    EXPECT_EQ(third.Cleanup(), STATUS_SUCCESS);
    EXPECT_EQ(third.Claim(), STATUS_DEVICE_BUSY);
}

TEST(PrivateHandle, CreateIsRefusedOnceAQueryRemoveCameEvenWhenCancelled)
{
    AdapterBench bench;
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    ASSERT_EQ(sim::pnp::QueryRemoveDevice(bench.Bus().Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(sim::pnp::CancelRemoveDevice(bench.Bus().Pdo()), STATUS_SUCCESS);

    AsioClient refused(bench);
    EXPECT_EQ(refused.OpenStatus(), STATUS_DELETE_PENDING);
    EXPECT_EQ(refused.File().FsContext2, nullptr);
    // PortCls's filters open again after the cancel; the private interface stays shut.
    AsioClient filter(bench, u"\\wave_44100");
    EXPECT_EQ(filter.OpenStatus(), STATUS_SUCCESS);
}

TEST(PrivateHandle, RequestsOnOpenHandlesAreRefusedOnceRemovalBegan)
{
    AdapterBench bench;
    ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
    AsioClient client(bench);
    ASSERT_EQ(client.Claim(), STATUS_SUCCESS);

    // The query-remove runs the adapter's removal: the rundown guard closes.
    ASSERT_EQ(sim::pnp::QueryRemoveDevice(bench.Bus().Pdo()), STATUS_SUCCESS);
    for (ULONG controlCode : {code::kRate, code::kRelease, code::kSetRate, 0x222014u}) {
        EXPECT_EQ(client.Control(controlCode, 4, 4, 48000), STATUS_DELETE_PENDING) << std::hex << controlCode;
        EXPECT_EQ(client.bytes, 0u);
    }
    EXPECT_EQ(client.Send(IRP_MJ_READ), STATUS_DELETE_PENDING);
    EXPECT_EQ(client.Send(IRP_MJ_WRITE), STATUS_DELETE_PENDING);
    EXPECT_EQ(client.Cleanup(), STATUS_DELETE_PENDING);
    // The close still lets the handle go, with its context and its adapter reference.
    EXPECT_EQ(client.Close(), STATUS_SUCCESS);
    EXPECT_EQ(client.File().FsContext2, nullptr);
    EXPECT_EQ(sim::pnp::CancelRemoveDevice(bench.Bus().Pdo()), STATUS_SUCCESS);
}

}  // namespace
}  // namespace adaptertest
