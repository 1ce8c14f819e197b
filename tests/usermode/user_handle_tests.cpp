// User-mode handles on a driver's device, end to end: CreateFileW through a device interface,
// create, cleanup and close in Windows' order, reads that pend and complete later, completion
// routines, cancellation, a handle closed with reads pending, and removal held back by an open
// handle.
#include <gtest/gtest.h>

#include <memory>

#include "sim/devices/r9/r9_device.h"
#include "sim/kernel/machine.h"
#include "sim/pnp/driver_store.h"
#include "sim/pnp/plug_and_play.h"
#include "sim/user/processes.h"
#include "tests/usermode/queue_driver.h"

namespace {

using Log = std::vector<std::string>;

// The queue driver on a plugged device; the test thread is a process's thread.
class UserHandleTest : public ::testing::Test {
protected:
    UserHandleTest()
    {
        usb_ = std::make_unique<sim::usb::HostController>();
        EXPECT_EQ(sim::pnp::InstallDriver({u"queue", &queuedriver::DriverEntry, {u"USB\\VID_3A5C&PID_0009"}}),
                  STATUS_SUCCESS);
        sim::pnp::PlugResult result = sim::pnp::PlugDevice(*usb_, std::make_unique<sim::devices::R9Device>());
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        device_ = &result.device;
        process_ = std::make_unique<sim::user::ProcessScope>(u"C:\\client.exe");
        queuedriver::ClearLog();
    }
    ~UserHandleTest() override
    {
        process_.reset();
        if (device_ != nullptr) {
            sim::pnp::UnplugDevice(*usb_, *device_);
        }
    }

    HANDLE Open(DWORD flags, const char16_t* suffix = u"\\stream")
    {
        const std::u16string path =
            u"\\\\?\\USB#VID_3A5C&PID_0009#R9-00000001#{3c0f4e2a-6b1d-4a8e-9f52-7d2e1b0c9a11}" + std::u16string(suffix);
        return CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, flags, nullptr);
    }

    // An overlapped handle with a read of 8 bytes pending on it, into `pendingRead_`.
    HANDLE OpenWithReadPending()
    {
        HANDLE file = Open(FILE_FLAG_OVERLAPPED);
        pendingRead_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        EXPECT_FALSE(ReadFile(file, pendingBuffer_, sizeof pendingBuffer_, nullptr, &pendingRead_));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
        return file;
    }

    sim::Machine machine_;
    unsigned char pendingBuffer_[8] = {};
    OVERLAPPED pendingRead_ = {};
    std::unique_ptr<sim::usb::HostController> usb_;
    sim::usb::BusDevice* device_ = nullptr;
    std::unique_ptr<sim::user::ProcessScope> process_;
};

TEST_F(UserHandleTest, PendingReadCompletesLaterIntoTheCallersBuffer)
{
    HANDLE file = Open(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    unsigned char buffer[16] = {};
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    DWORD bytes = 99;
    EXPECT_FALSE(ReadFile(file, buffer, sizeof buffer, &bytes, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    EXPECT_FALSE(GetOverlappedResult(file, &overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_INCOMPLETE));
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), DWORD(WAIT_TIMEOUT)) << "the read reset the event";

    ASSERT_TRUE(queuedriver::CompleteOldestRead(0x5A));
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(file, &overlapped, &bytes, TRUE));
    EXPECT_EQ(bytes, 16u);
    EXPECT_EQ(buffer[0], 0x5A);
    EXPECT_EQ(buffer[15], 0x5A) << "direct I/O wrote through an MDL over the caller's buffer";
    CloseHandle(overlapped.hEvent);
    CloseHandle(file);
    EXPECT_EQ(queuedriver::Log(), (Log{"create \\stream", "read 16", "cleanup", "close"}));
}

TEST_F(UserHandleTest, HandleClosedWithAReadPendingHasItCompletedBeforeTheClose)
{
    HANDLE file = OpenWithReadPending();
    ASSERT_TRUE(CloseHandle(file));
    EXPECT_EQ(queuedriver::Log(), (Log{"create \\stream", "read 8", "cleanup", "close"}));
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(file, &pendingRead_, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
    CloseHandle(pendingRead_.hEvent);
}

TEST_F(UserHandleTest, ReadLeftPendingAfterCleanupIsReportedAndDelaysTheClose)
{
    machine_.Verify().SetMode(sim::VerifierMode::Record);
    queuedriver::SetCleanupReads(queuedriver::CleanupReads::Leave);
    HANDLE file = OpenWithReadPending();
    CloseHandle(file);
    EXPECT_TRUE(machine_.Verify().HasReport("IRP left pending after cleanup"));
    EXPECT_EQ(queuedriver::Log().back(), "cleanup") << "the read still holds the file object";
    ASSERT_TRUE(queuedriver::CompleteOldestRead(1));
    EXPECT_EQ(queuedriver::Log().back(), "close");
    CloseHandle(pendingRead_.hEvent);
}

TEST_F(UserHandleTest, ReadCleanupHandedToAnotherThreadIsNotReportedAsLeftPending)
{
    machine_.Verify().SetMode(sim::VerifierMode::Record);
    queuedriver::SetCleanupReads(queuedriver::CleanupReads::CompleteLater);
    HANDLE file = OpenWithReadPending();
    const int64_t closedAt = machine_.Now();
    CloseHandle(file);
    EXPECT_FALSE(machine_.Verify().HasReport("IRP left pending after cleanup"));
    EXPECT_EQ(machine_.Now(), closedAt) << "the completion ran at the instant of the close";
    EXPECT_EQ(queuedriver::Log().back(), "close");
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(file, &pendingRead_, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
    CloseHandle(pendingRead_.hEvent);
}

DWORD g_routineErrors = 0;
DWORD g_routineBytes = 0;
void CountCompletion(DWORD error, DWORD bytes, LPOVERLAPPED)
{
    g_routineErrors = error;
    g_routineBytes += bytes;
}

TEST_F(UserHandleTest, CompletionRoutineRunsOnlyInAnAlertableWait)
{
    g_routineBytes = 0;
    HANDLE file = Open(FILE_FLAG_OVERLAPPED);
    unsigned char buffer[4];
    OVERLAPPED overlapped = {};
    ASSERT_TRUE(ReadFileEx(file, buffer, sizeof buffer, &overlapped, &CountCompletion));
    ASSERT_TRUE(queuedriver::CompleteOldestRead(7));
    EXPECT_EQ(SleepEx(10, FALSE), 0u);
    EXPECT_EQ(g_routineBytes, 0u) << "no routine runs outside an alertable wait";
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObjectEx(never, INFINITE, TRUE), DWORD(WAIT_IO_COMPLETION));
    EXPECT_EQ(g_routineBytes, 4u);
    EXPECT_EQ(g_routineErrors, DWORD(ERROR_SUCCESS));
    CloseHandle(never);
    CloseHandle(file);
}

TEST_F(UserHandleTest, CancelIoCancelsTheThreadsRequestsAndWaitsForThem)
{
    HANDLE file = Open(FILE_FLAG_OVERLAPPED);
    unsigned char buffer[2][4];
    OVERLAPPED overlapped[2] = {};
    for (int i = 0; i < 2; ++i) {
        overlapped[i].hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_FALSE(ReadFile(file, buffer[i], 4, nullptr, &overlapped[i]));
    }
    ASSERT_TRUE(CancelIo(file));
    EXPECT_EQ(queuedriver::QueuedReads(), 0u);
    for (OVERLAPPED& one : overlapped) {
        EXPECT_EQ(NTSTATUS(one.Internal), STATUS_CANCELLED);
        CloseHandle(one.hEvent);
    }
    CloseHandle(file);
}

TEST_F(UserHandleTest, SynchronousHandleWaitsForTheRead)
{
    HANDLE file = Open(0);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    // Another thread of the process completes the read the first one waits for.
    HANDLE helper = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            while (!queuedriver::CompleteOldestRead(3)) {
                Sleep(1);
            }
            return 0;
        },
        nullptr, 0, nullptr);
    unsigned char buffer[6] = {};
    DWORD bytes = 0;
    EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &bytes, nullptr));
    EXPECT_EQ(bytes, 6u);
    EXPECT_EQ(buffer[5], 3);
    EXPECT_EQ(WaitForSingleObject(helper, INFINITE), WAIT_OBJECT_0);
    CloseHandle(helper);
    CloseHandle(file);
}

TEST_F(UserHandleTest, NamesThatLeadNowhereFailLikeWindows)
{
    struct Case {
        const char16_t* path;
        DWORD error;
    } cases[] = {
        {u"\\\\?\\USB#VID_3A5C&PID_0009#R9-00000002#{3c0f4e2a-6b1d-4a8e-9f52-7d2e1b0c9a11}\\stream",
         ERROR_FILE_NOT_FOUND},
        {u"C:\\Windows\\nothing.txt", ERROR_PATH_NOT_FOUND},
        {u"nothing.txt", ERROR_FILE_NOT_FOUND},
        {u"", ERROR_PATH_NOT_FOUND},
    };
    for (const Case& row : cases) {
        EXPECT_EQ(CreateFileW(reinterpret_cast<LPCWSTR>(row.path), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), row.error) << sim::Utf16ToUtf8(row.path);
    }
    HANDLE lower = Open(0, u"\\lower-case-works");
    EXPECT_NE(lower, INVALID_HANDLE_VALUE);
    CloseHandle(lower);
}

TEST_F(UserHandleTest, RemovalWaitsForTheLastHandle)
{
    HANDLE file = Open(0);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim::pnp::UnplugDevice(*usb_, *device_), STATUS_PENDING);
    device_ = nullptr;
    EXPECT_EQ(queuedriver::Log().back(), "surprise removal");
    EXPECT_NE(sim::pnp::LoadedDriver(u"queue"), nullptr);
    EXPECT_EQ(Open(0), INVALID_HANDLE_VALUE) << "the interface went with the surprise removal";
    CloseHandle(file);
    const Log log = queuedriver::Log();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(Log(log.end() - 4, log.end()), (Log{"cleanup", "close", "remove", "unload"}));
    EXPECT_EQ(sim::pnp::LoadedDriver(u"queue"), nullptr);
}

// A child process that tries the handle value its parent got: handle tables are per process.
int TryParentsHandle(int argc, WCHAR** argv)
{
    const HANDLE parents = reinterpret_cast<HANDLE>(uintptr_t(_wtoi(argv[1])));
    return CloseHandle(parents) ? 0 : int(GetLastError());
}

TEST_F(UserHandleTest, EachProcessHasItsOwnHandles)
{
    sim::user::RegisterProgram(u"C:\\child.exe", &TryParentsHandle);
    HANDLE file = Open(0);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::u16string command = u"C:\\child.exe " + sim::Utf8ToUtf16(std::to_string(uintptr_t(file)));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(CreateProcessW(nullptr, reinterpret_cast<LPWSTR>(command.data()), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &child));
    ASSERT_EQ(WaitForSingleObject(child.hProcess, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    EXPECT_EQ(code, DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(queuedriver::Log(), (Log{"create \\stream"})) << "the parent's file is untouched";
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    CloseHandle(file);
}

}  // namespace
