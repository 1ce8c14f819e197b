#include "tests/wine/device_free_checks.h"

#include <cstdio>
#include <cstring>

#include "common/change_events.h"
#include "common/format_tables.h"
#include "common/settings_store.h"

namespace {

int g_passes = 0;
int g_failures = 0;

void Check(bool condition, const char* what)
{
    std::printf("%s %s\n", condition ? "pass" : "FAIL", what);
    ++(condition ? g_passes : g_failures);
}

const WCHAR kReadyName[] = W("r9-wine-checks-ready");

void DeleteSettingsKey()
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKeyPath, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        for (const SettingDesc& setting : kSettingsTable) {
            RegDeleteValueW(key, setting.valueName);
        }
        RegCloseKey(key);
        RegDeleteKeyW(HKEY_CURRENT_USER, kSettingsKeyPath);
    }
}

HANDLE StartChild(const WCHAR* role)
{
    WCHAR image[MAX_PATH];
    GetModuleFileNameW(nullptr, image, MAX_PATH);
    WCHAR command[MAX_PATH + 16];
    swprintf_s(command, ARRAYSIZE(command), W("\"%ls\" %ls"), image, role);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    if (!CreateProcessW(image, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child)) {
        return nullptr;
    }
    CloseHandle(child.hThread);
    return child.hProcess;
}

DWORD ExitCodeAfterWait(HANDLE process)
{
    DWORD code = 0xFFFFFFFF;
    if (process != nullptr && WaitForSingleObject(process, 20000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process, &code);
    }
    if (process != nullptr) {
        CloseHandle(process);
    }
    return code;
}

void CheckTables()
{
    Check(kPcmRates[0].rate == 44100 && kPcmRates[1].rate == 88200, "PCM rates");
    Check(IsDsdRate(2822400) && IsDsdRate(11289600) && !IsDsdRate(88200), "DSD rates are 32 times a PCM rate");
    Check(kProbeRates[0] == 32000 && kProbeRates[10] == 768000, "probe rates");
}

void CheckSettings()
{
    DeleteSettingsKey();
    CSettingsStore store;
    DWORD value = 0;
    Check(store.WriteSetting(kSettingSamplingRate, &value, sizeof value) == kSettingsCannotOpen, "write needs the key");
    Check(store.ReadSetting(kSettingBufferSizeIndex, &value, sizeof value) == kSettingsOk && value == 14,
          "first read creates the defaults");
    WCHAR selected[64];
    Check(store.ReadSetting(kSettingSelected, selected, sizeof selected) == kSettingsQueryFailed,
          "selected unreadable after creation");
    const WCHAR id[] = W("USB\\VID_3A5C&PID_0009\\R9-00000001");
    store.WriteSetting(kSettingSelected, id, DWORD(wcslen(id) * sizeof(WCHAR)));
    std::memset(selected, 0xFF, sizeof selected);
    Check(store.ReadSetting(kSettingSelected, selected, sizeof selected) == kSettingsOk && wcscmp(selected, id) == 0,
          "selected stored without terminator reads terminated");
    unsigned char small[2];
    Check(store.ReadSetting(kSettingBufferSizeIndex, small, sizeof small) == kSettingsBadArgument, "2-byte buffer");
    HKEY key;
    RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKeyPath, 0, KEY_ALL_ACCESS, &key);
    RegSetValueExW(key, W("buffer_size_index"), 0, REG_SZ, reinterpret_cast<const BYTE*>(W("14")), 6);
    const unsigned char shortDword[2] = {14, 0};
    RegSetValueExW(key, W("sampling_rate"), 0, REG_DWORD, shortDword, sizeof shortDword);
    RegCloseKey(key);
    Check(store.ReadSetting(kSettingBufferSizeIndex, &value, sizeof value) == kSettingsQueryFailed, "REG_SZ index");
    Check(store.ReadSetting(kSettingSamplingRate, &value, sizeof value) == kSettingsQueryFailed, "2-byte REG_DWORD");
    Check(store.WriteSetting(5, &value, sizeof value) == kSettingsOk, "identifier 5 is dropped with success");
    Check(!store.CreateDefaultSettings(), "defaults only into a new key");
}

void CheckNamedObjects()
{
    CChangeEvents events;
    Check(events.Create(), "the four events");
    CChangeEvents second;
    Check(second.Create(), "opening existing named events succeeds");
    HANDLE streaming = OpenEventW(SYNCHRONIZE, FALSE, kStreamingEventName);
    Check(streaming != nullptr && !IsHostStreaming(streaming), "streaming event starts reset");
    events.SetStreaming(true);
    Check(IsHostStreaming(streaming), "streaming seen through another handle");
    CloseHandle(streaming);
    second.Close();
    events.Close();
    HANDLE gone = OpenEventW(SYNCHRONIZE, FALSE, kListenerEventName);
    Check(gone == nullptr && GetLastError() == ERROR_FILE_NOT_FOUND, "events go with their last handle");
    NotifySettingsChanged();
    Check(OpenEventW(SYNCHRONIZE, FALSE, kChangeEventName) == nullptr, "notify without a listener opens nothing");
    CSettingsLock lock;
    Check(lock.Create() && lock.Acquire() && lock.Acquire(), "settings lock is recursive");
    lock.Release();
    lock.Release();
}

void CheckTwoProcesses()
{
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, kReadyName);
    HANDLE listener = StartChild(W("listen"));
    Check(listener != nullptr && WaitForSingleObject(ready, 20000) == WAIT_OBJECT_0, "listener started");
    CSettingsLock lock;
    lock.Create();
    {
        CSettingsLockHolder held(lock);
        const DWORD rate = 88200;
        CSettingsStore().WriteSetting(kSettingSamplingRate, &rate, sizeof rate);
        NotifySettingsChanged();
    }
    Check(ExitCodeAfterWait(listener) == 88200, "the other process read the new rate after the signal");
    CloseHandle(ready);

    Check(ExitCodeAfterWait(StartChild(W("die"))) == 9, "holder died inside the lock");
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kSettingsLockName);
    Check(mutex != nullptr && WaitForSingleObject(mutex, 0) == WAIT_ABANDONED, "the lock is abandoned");
    Check(ReleaseMutex(mutex) != FALSE, "and owned by the waiter");
    Check(lock.Acquire(), "the lock is usable afterwards");
    lock.Release();
    CloseHandle(mutex);
}

int Listen()
{
    CChangeEvents events;
    CSettingsLock lock;
    HANDLE listener, change, quit;
    if (!events.Create() || !lock.Create() || !events.GetWatchHandles(&listener, &change, &quit)) {
        return 1;
    }
    SetEvent(listener);
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, kReadyName);
    SetEvent(ready);
    CloseHandle(ready);
    HANDLE waits[2] = {change, quit};
    if (WaitForMultipleObjects(2, waits, FALSE, 20000) != WAIT_OBJECT_0) {
        return 2;
    }
    DWORD rate = 0;
    CSettingsLockHolder held(lock);
    CSettingsStore().ReadSetting(kSettingSamplingRate, &rate, sizeof rate);
    return int(rate);
}

int Die()
{
    CSettingsLock lock;
    if (!lock.Create() || !lock.Acquire()) {
        return 1;
    }
    ExitProcess(9);
}

}  // namespace

int DeviceFreeChecksMain(int argc, WCHAR** argv)
{
    if (argc > 1 && wcscmp(argv[1], W("listen")) == 0) {
        return Listen();
    }
    if (argc > 1 && wcscmp(argv[1], W("die")) == 0) {
        return Die();
    }
    g_passes = 0;
    g_failures = 0;
    CheckTables();
    CheckSettings();
    CheckNamedObjects();
    CheckTwoProcesses();
    DeleteSettingsKey();
    std::printf("%d passed, %d failed\n", g_passes, g_failures);
    std::fflush(stdout);
    return g_failures;
}
