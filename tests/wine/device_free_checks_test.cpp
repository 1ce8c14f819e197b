// The same device-free checks the Windows build runs under Wine, here on the simulated machine's
// Win32: one program, two independent implementations.
#include <gtest/gtest.h>

#include "sim/kernel/machine.h"
#include "sim/user/processes.h"
#include "tests/wine/device_free_checks.h"

TEST(DeviceFreeChecks, PassOnTheSimulatedMachine)
{
    sim::Machine machine;
    sim::user::RegisterProgram(u"C:\\checks\\r9common_checks.exe", &DeviceFreeChecksMain);
    sim::user::ProcessScope shell(u"C:\\Windows\\explorer.exe");
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION checks = {};
    ASSERT_TRUE(CreateProcessW(W("C:\\checks\\r9common_checks.exe"), nullptr, nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &checks));
    ASSERT_EQ(WaitForSingleObject(checks.hProcess, INFINITE), WAIT_OBJECT_0);
    DWORD failures = 0;
    GetExitCodeProcess(checks.hProcess, &failures);
    EXPECT_EQ(failures, 0u);
    CloseHandle(checks.hProcess);
    CloseHandle(checks.hThread);
}
