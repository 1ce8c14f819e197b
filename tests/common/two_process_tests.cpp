// The control panel and an ASIO driver in two processes: a setting changed under the settings
// lock and signalled reaches the other side; a process that dies holding the lock leaves it
// abandoned and the other side still gets it.
#include <gtest/gtest.h>

#include "common/change_events.h"
#include "common/settings_store.h"
#include "sim/kernel/machine.h"
#include "sim/user/processes.h"

namespace {

const WCHAR kReadyEventName[] = W("r9-test-listener-ready");

// The ASIO driver's side: listens for the change event, then re-reads the rate under the lock.
// Its exit code is the rate it read.
int ListeningDriverMain(int, WCHAR**)
{
    CChangeEvents events;
    CSettingsLock lock;
    if (!events.Create() || !lock.Create()) {
        return 1;
    }
    HANDLE listener, change, quit;
    events.GetWatchHandles(&listener, &change, &quit);
    SetEvent(listener);
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, kReadyEventName);
    SetEvent(ready);
    CloseHandle(ready);
    HANDLE waits[2] = {change, quit};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        return 2;
    }
    DWORD rate = 0;
    {
        CSettingsLockHolder held(lock);
        if (!held.Held() || CSettingsStore().ReadSetting(kSettingSamplingRate, &rate, sizeof rate) != kSettingsOk) {
            return 3;
        }
    }
    ResetEvent(listener);
    return int(rate);
}

// Takes the settings lock and dies holding it.
int DyingHolderMain(int, WCHAR**)
{
    CSettingsLock lock;
    if (!lock.Create() || !lock.Acquire()) {
        return 1;
    }
    ExitProcess(9);
}

DWORD StartAndWait(const WCHAR* image, HANDLE* process)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION information = {};
    if (!CreateProcessW(image, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &information)) {
        return GetLastError();
    }
    CloseHandle(information.hThread);
    *process = information.hProcess;
    return ERROR_SUCCESS;
}

class TwoProcessTest : public ::testing::Test {
protected:
    TwoProcessTest()
    {
        sim::user::RegisterProgram(u"C:\\driver.exe", &ListeningDriverMain);
        sim::user::RegisterProgram(u"C:\\dying.exe", &DyingHolderMain);
    }
    sim::Machine machine;
    sim::user::ProcessScope panel{u"C:\\Program Files\\TAVO\\tvr9audiocp.exe"};
};

TEST_F(TwoProcessTest, ChangeUnderTheLockWakesTheOtherSide)
{
    CSettingsStore store;
    DWORD rate = 0;
    ASSERT_EQ(store.ReadSetting(kSettingSamplingRate, &rate, sizeof rate), kSettingsOk);
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, kReadyEventName);
    HANDLE driver = nullptr;
    ASSERT_EQ(StartAndWait(W("C:\\driver.exe"), &driver), DWORD(ERROR_SUCCESS));
    ASSERT_EQ(WaitForSingleObject(ready, INFINITE), WAIT_OBJECT_0);

    CSettingsLock lock;
    ASSERT_TRUE(lock.Create());
    {
        CSettingsLockHolder held(lock);
        ASSERT_TRUE(held.Held());
        const DWORD newRate = 88200;
        ASSERT_EQ(store.WriteSetting(kSettingSamplingRate, &newRate, sizeof newRate), kSettingsOk);
        NotifySettingsChanged();
    }
    ASSERT_EQ(WaitForSingleObject(driver, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(driver, &code));
    EXPECT_EQ(code, 88200u);
    CloseHandle(driver);
    CloseHandle(ready);
}

TEST_F(TwoProcessTest, NotifyWithoutAListenerOpensNothing)
{
    NotifySettingsChanged();
    EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, kChangeEventName), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND)) << "no change event was made by the notification";
}

TEST_F(TwoProcessTest, LockLeftByADeadProcessIsAbandonedAndStillAcquired)
{
    CSettingsLock lock;
    ASSERT_TRUE(lock.Create());
    HANDLE dying = nullptr;
    ASSERT_EQ(StartAndWait(W("C:\\dying.exe"), &dying), DWORD(ERROR_SUCCESS));
    ASSERT_EQ(WaitForSingleObject(dying, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(dying, &code);
    EXPECT_EQ(code, 9u) << "the holder died inside its lock";
    CloseHandle(dying);

    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kSettingsLockName);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_ABANDONED) << "the first waiter learns of the abandonment";
    ASSERT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(lock.Acquire()) << "afterwards the lock is an ordinary one";
    lock.Release();
    CloseHandle(mutex);
}

}  // namespace
