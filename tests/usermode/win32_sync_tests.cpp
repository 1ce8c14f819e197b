// Named objects, waits and APCs as Win32 gives them to user-mode code, error codes included.
#include <gtest/gtest.h>

#include "sim/kernel/machine.h"
#include "sim/user/processes.h"

namespace {

class Win32SyncTest : public ::testing::Test {
protected:
    sim::Machine machine;
    sim::user::ProcessScope process{u"C:\\sync.exe"};
};

TEST_F(Win32SyncTest, NamedObjectsAreSharedAndTyped)
{
    HANDLE first = CreateEventW(nullptr, TRUE, FALSE, W("shared"));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    HANDLE second = CreateEventW(nullptr, FALSE, TRUE, W("shared"));
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    ASSERT_TRUE(SetEvent(second));
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0) << "one object behind both handles";
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, W("shared")), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, W("SHARED")), nullptr) << "names are case-sensitive";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, W("Global\\shared")), nullptr) << "another namespace";
    HANDLE waitOnly = OpenEventW(SYNCHRONIZE, FALSE, W("Local\\shared"));
    ASSERT_NE(waitOnly, nullptr);
    EXPECT_FALSE(SetEvent(waitOnly));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    for (HANDLE handle : {first, second, waitOnly}) {
        CloseHandle(handle);
    }
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, W("shared")), nullptr) << "the name went with the last handle";
    EXPECT_FALSE(CloseHandle(first));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST_F(Win32SyncTest, MutexIsRecursiveAndOwned)
{
    HANDLE mutex = CreateMutexW(nullptr, TRUE, W("Global\\owned"));
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_OWNER));
    CloseHandle(mutex);
}

TEST_F(Win32SyncTest, WaitsFailOnBadArguments)
{
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    const HANDLE twice[2] = {event, event};
    EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0) << "wait-any may name one twice";
    EXPECT_EQ(WaitForMultipleObjects(0, twice, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(uintptr_t(0x1234)), 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    CloseHandle(event);
}

void CountApc(ULONG_PTR counter) { ++*reinterpret_cast<int*>(counter); }

TEST_F(Win32SyncTest, ApcsRunOnlyInAlertableWaitsAndSleepTakesVirtualTime)
{
    int runs = 0;
    ASSERT_NE(QueueUserAPC(&CountApc, GetCurrentThread(), reinterpret_cast<ULONG_PTR>(&runs)), 0u);
    const ULONGLONG before = GetTickCount64();
    const DWORD beforeMs = timeGetTime();
    Sleep(1000);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(timeGetTime() - beforeMs, 1000u);
    EXPECT_GE(GetTickCount64() - before, 984u) << "the tick count moves in clock-interrupt steps";
    EXPECT_EQ(SleepEx(INFINITE, TRUE), DWORD(WAIT_IO_COMPLETION));
    EXPECT_EQ(runs, 1);
}

TEST_F(Win32SyncTest, MmcssKnowsItsTasks)
{
    DWORD index = 0;
    HANDLE task = AvSetMmThreadCharacteristicsW(W("Pro Audio"), &index);
    ASSERT_NE(task, nullptr);
    EXPECT_NE(index, 0u);
    EXPECT_TRUE(AvSetMmThreadPriority(task, AVRT_PRIORITY_CRITICAL));
    EXPECT_TRUE(AvRevertMmThreadCharacteristics(task));
    index = 0;
    EXPECT_EQ(AvSetMmThreadCharacteristicsW(W("Studio"), &index), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_TASK_NAME));
}

}  // namespace
