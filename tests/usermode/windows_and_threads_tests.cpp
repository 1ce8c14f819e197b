// What the ASIO driver uses of user32 and kernel32 beyond waits: windows, message queues and
// timers, messages sent from another thread, critical sections, TerminateThread, the exit code of
// a process whose threads end, and the ANSI code page.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/kernel/machine.h"
#include "sim/user/com_servers.h"
#include "sim/user/processes.h"
#include "sim/user/window_manager.h"

namespace {

class WindowsTest : public ::testing::Test {
protected:
    sim::Machine machine;
    sim::user::ProcessScope process{u"C:\\windows.exe"};
};

struct Seen {
    std::vector<UINT> messages;
    std::vector<DWORD> threads;
    LPVOID createParameter = nullptr;
    int64_t firstTimerNs = 0;
    int timers = 0;
};
Seen* g_Seen = nullptr;

LRESULT RecordingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    g_Seen->messages.push_back(message);
    g_Seen->threads.push_back(GetCurrentThreadId());
    if (message == WM_CREATE) {
        g_Seen->createParameter = reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams;
    }
    if (message == WM_TIMER && g_Seen->timers++ == 0) {
        g_Seen->firstTimerNs = sim::Machine::Current().Now();
    }
    if (message == WM_USER + 1) {
        return LRESULT(wParam + 1);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND NewWindow(LPVOID parameter = nullptr)
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = RecordingProcedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = W("Recorder");
    RegisterClassW(&windowClass);
    return CreateWindowExW(0, W("recorder"), W(""), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, nullptr,
                           nullptr, GetModuleHandleW(nullptr), parameter);
}

void PumpUntilQuit()
{
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
}

TEST_F(WindowsTest, WindowLifeAndPostedMessagesInOrder)
{
    Seen seen;
    g_Seen = &seen;
    int marker = 0;
    HWND window = NewWindow(&marker);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(seen.createParameter, &marker);
    ASSERT_TRUE(PostMessageW(window, WM_USER + 2, 0, 0));
    ASSERT_TRUE(PostMessageW(window, WM_USER + 3, 0, 0));
    ASSERT_TRUE(PostMessageW(window, WM_QUIT, 0, 0));
    PumpUntilQuit();
    EXPECT_EQ(UnregisterClassW(W("Recorder"), GetModuleHandleW(nullptr)), FALSE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_CLASS_HAS_WINDOWS));
    ASSERT_TRUE(DestroyWindow(window));
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(UnregisterClassW(W("RECORDER"), GetModuleHandleW(nullptr)));
    const std::vector<UINT> expected = {WM_NCCREATE, WM_CREATE, WM_USER + 2, WM_USER + 3, WM_DESTROY, WM_NCDESTROY};
    EXPECT_EQ(seen.messages, expected);
    EXPECT_FALSE(PostMessageW(window, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_WINDOW_HANDLE));
    g_Seen = nullptr;
}

struct PumpThread {
    HWND window = nullptr;
    HANDLE ready = nullptr;
};

DWORD WINAPI OwnWindowAndPump(LPVOID parameter)
{
    auto* pump = static_cast<PumpThread*>(parameter);
    pump->window = NewWindow();
    SetEvent(pump->ready);
    PumpUntilQuit();
    DestroyWindow(pump->window);
    return 0;
}

TEST_F(WindowsTest, SentMessagesRunOnTheOwningThreadAndTheSenderWaits)
{
    Seen seen;
    g_Seen = &seen;
    PumpThread pump;
    pump.ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD owner = 0;
    HANDLE thread = CreateThread(nullptr, 0, OwnWindowAndPump, &pump, 0, &owner);
    WaitForSingleObject(pump.ready, INFINITE);
    EXPECT_EQ(SendMessageW(pump.window, WM_USER + 1, 41, 0), 42);
    EXPECT_EQ(sim::user::SendToAllWindows(WM_POWERBROADCAST, PBT_APMSUSPEND, 0), 1u);
    EXPECT_FALSE(DestroyWindow(pump.window)) << "only the owner may destroy it";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(SetTimer(pump.window, 1, 100, nullptr), UINT_PTR(0)) << "timers belong to the owner";
    PostMessageW(pump.window, WM_QUIT, 0, 0);
    WaitForSingleObject(thread, INFINITE);
    ASSERT_GE(seen.messages.size(), 4u);
    EXPECT_EQ(seen.messages[2], UINT(WM_USER + 1));
    EXPECT_EQ(seen.messages[3], UINT(WM_POWERBROADCAST));
    for (DWORD id : seen.threads) {
        EXPECT_EQ(id, owner);
    }
    CloseHandle(thread);
    CloseHandle(pump.ready);
    g_Seen = nullptr;
}

TEST_F(WindowsTest, TimersTickAtTheirPeriodUntilKilled)
{
    Seen seen;
    g_Seen = &seen;
    HWND window = NewWindow();
    const int64_t start = sim::Machine::Current().Now();
    ASSERT_EQ(SetTimer(window, 2, 25, nullptr), UINT_PTR(2));
    MSG message;
    while (seen.timers < 4 && GetMessageW(&message, nullptr, 0, 0) > 0) {
        EXPECT_EQ(message.message, UINT(WM_TIMER));
        EXPECT_EQ(message.wParam, WPARAM(2));
        DispatchMessageW(&message);
    }
    EXPECT_EQ(seen.firstTimerNs - start, 25 * 1000000);
    EXPECT_EQ(sim::Machine::Current().Now() - start, 4 * 25 * 1000000);
    EXPECT_TRUE(KillTimer(window, 2));
    EXPECT_FALSE(KillTimer(window, 2));
    PostMessageW(window, WM_QUIT, 0, 0);
    PumpUntilQuit();
    EXPECT_EQ(seen.timers, 4) << "no tick after KillTimer";
    DestroyWindow(window);
    g_Seen = nullptr;
}

struct Shared {
    CRITICAL_SECTION lock;
    int inside = 0;
    int most = 0;
};

DWORD WINAPI EnterTwice(LPVOID parameter)
{
    auto* shared = static_cast<Shared*>(parameter);
    for (int i = 0; i < 3; ++i) {
        EnterCriticalSection(&shared->lock);
        EnterCriticalSection(&shared->lock);  // recursion
        ++shared->inside;
        shared->most = shared->inside > shared->most ? shared->inside : shared->most;
        Sleep(5);
        --shared->inside;
        LeaveCriticalSection(&shared->lock);
        LeaveCriticalSection(&shared->lock);
    }
    return 0;
}

TEST_F(WindowsTest, CriticalSectionsAreRecursiveAndExclusive)
{
    Shared shared;
    InitializeCriticalSection(&shared.lock);
    HANDLE threads[2] = {CreateThread(nullptr, 0, EnterTwice, &shared, 0, nullptr),
                         CreateThread(nullptr, 0, EnterTwice, &shared, 0, nullptr)};
    EXPECT_EQ(WaitForMultipleObjects(2, threads, TRUE, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(shared.most, 1);
    DeleteCriticalSection(&shared.lock);
    CloseHandle(threads[0]);
    CloseHandle(threads[1]);
}

DWORD WINAPI WaitForever(LPVOID parameter)
{
    WaitForSingleObject(static_cast<HANDLE>(parameter), INFINITE);
    return 5;
}

TEST_F(WindowsTest, TerminatedThreadEndsAtItsWait)
{
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, WaitForever, never, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 100), DWORD(WAIT_TIMEOUT));
    ASSERT_TRUE(TerminateThread(thread, 9));
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(never);
}

DWORD WINAPI EndAtOnce(LPVOID) { return 5; }

int MainWhoseHelperEndsFirst(int, WCHAR**)
{
    HANDLE helper = CreateThread(nullptr, 0, EndAtOnce, nullptr, 0, nullptr);
    WaitForSingleObject(helper, INFINITE);
    CloseHandle(helper);
    return 7;
}

TEST_F(WindowsTest, ProcessTakesTheExitCodeOfItsLastThread)
{
    sim::user::RegisterProgram(u"C:\\helper.exe", &MainWhoseHelperEndsFirst);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION information = {};
    ASSERT_TRUE(CreateProcessW(W("C:\\helper.exe"), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &information));
    WaitForSingleObject(information.hProcess, INFINITE);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(information.hProcess, &code));
    EXPECT_EQ(code, 7u);
    CloseHandle(information.hThread);
    CloseHandle(information.hProcess);
}

TEST_F(WindowsTest, AnsiCodePageIsWindows1252)
{
    char text[16];
    std::memset(text, 'x', sizeof text);
    BOOL usedDefault = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, W("\u00E9\u20AC\u4E2D"), -1, text, sizeof text, nullptr, &usedDefault), 4);
    EXPECT_STREQ(text, "\xE9\x80?");
    EXPECT_TRUE(usedDefault);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, W("abcdef"), -1, nullptr, 0, nullptr, nullptr), 7);
    std::memset(text, 0, sizeof text);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, W("abcdef"), -1, text, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_STREQ(text, "abc") << "filled as far as it goes";
    WCHAR wide[8] = {};
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xC3\xA9", -1, wide, 8), 2);
    EXPECT_EQ(wide[0], WCHAR(0xE9));
}

HRESULT NoClassObject(REFCLSID, REFIID, LPVOID*) { return CLASS_E_CLASSNOTAVAILABLE; }

TEST_F(WindowsTest, ModulesLoadByPathAndAreFoundByName)
{
    EXPECT_EQ(LoadLibraryW(W("C:\\nowhere\\absent.dll")), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    sim::user::RegisterInprocServer(u"C:\\Program Files\\Vendor\\Server.dll", {&NoClassObject, nullptr});
    HMODULE module = LoadLibraryW(W("c:\\program files\\vendor\\server.dll"));
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(LoadLibraryW(W("C:\\Program Files\\Vendor\\Server.dll")), module) << "loaded once, counted twice";
    EXPECT_EQ(GetModuleHandleW(W("SERVER.DLL")), module);
    WCHAR path[MAX_PATH] = {};
    EXPECT_GT(GetModuleFileNameW(module, path, MAX_PATH), 0u);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(GetModuleHandleW(W("server.dll")), module);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(GetModuleHandleW(W("server.dll")), nullptr);
    EXPECT_FALSE(FreeLibrary(module));
    WCHAR text[] = W("C:\\\u00C0B\\Z");
    EXPECT_EQ(CharLowerW(text), text);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(text)), u"c:\\\u00E0b\\z");
}

}  // namespace
