// The registry watcher: how many threads it runs, that every change of the key or below it
// reaches each of them once, and a key that does not exist yet; the processor count it is given.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "common/settings_store.h"
#include "controlpanel/processor_count.h"
#include "controlpanel/registry_watcher.h"
#include "sim/kernel/machine.h"
#include "sim/user/processes.h"

namespace {

class CountingWatcher final : public CRegKeyWatcher {
public:
    CountingWatcher() : CRegKeyWatcher(HKEY_CURRENT_USER, kSettingsKeyPath) { }
    ~CountingWatcher() override { Stop(); }
    std::atomic<int> changes{0};

protected:
    void OnChange() override { ++changes; }
};

// A machine with the settings key present, the test thread in a process of its own.
class WatcherMachine {
public:
    explicit WatcherMachine(bool withKey = true, ULONG processors = 2) : machine_(Options(processors)), process_(u"C:\\watcher.exe")
    {
        if (withKey) {
            DWORD unused = 0;
            CSettingsStore().ReadSetting(kSettingBufferSizeIndex, &unused, sizeof unused);
        }
    }

private:
    static sim::MachineOptions Options(ULONG processors)
    {
        sim::MachineOptions options;
        options.processors = processors;
        return options;
    }
    sim::Machine machine_;
    sim::user::ProcessScope process_;
};

void WriteValue(const WCHAR* subkey, const WCHAR* name, DWORD value)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, subkey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value), ERROR_SUCCESS);
    RegCloseKey(key);
}

size_t Occurrences(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

TEST(RegistryWatcher, OneThreadMoreThanTheClampedCountAndOneChangeEachPerWrite)
{
    const struct {
        UINT count;
        size_t threads;
    } cases[] = {{0, 2}, {8, 9}, {40, 17}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count);
        WatcherMachine machine;
        CountingWatcher watcher;
        watcher.SetThreadCount(c.count);
        ASSERT_EQ(watcher.Start(), 0u);
        EXPECT_EQ(watcher.RunningThreadCount(), c.threads);
        Sleep(10);
        WriteValue(kSettingsKeyPath, W("buffer_size_index"), 20);
        Sleep(10);
        EXPECT_EQ(watcher.changes, int(c.threads));
        // Each thread registers again after a change: the next write is seen as well.
        WriteValue(kSettingsKeyPath, W("sampling_rate"), 88200);
        Sleep(10);
        EXPECT_EQ(watcher.changes, 2 * int(c.threads));
        watcher.Stop();
        EXPECT_EQ(Occurrences(sim::Machine::Current().DebuggerOutput(), "end\n"), c.threads);
    }
}

TEST(RegistryWatcher, AValueInASubkeyCountsAsAChange)
{
    WatcherMachine machine;
    CountingWatcher watcher;
    watcher.SetThreadCount(1);
    ASSERT_EQ(watcher.Start(), 0u);
    Sleep(10);
    WriteValue(W("SOFTWARE\\TAVO\\R9 Driver\\Extra"), W("anything"), 1);
    Sleep(10);
    // Creating the subkey and writing its value may come as one change or two for each thread.
    EXPECT_GE(watcher.changes, 2);
    const int seen = watcher.changes;
    WriteValue(W("SOFTWARE\\TAVO\\Other"), W("anything"), 1);
    Sleep(10);
    EXPECT_EQ(watcher.changes, seen) << "a key beside the watched one is not watched";
}

TEST(RegistryWatcher, WithTheKeyAbsentEveryThreadEndsAndNoChangeIsReported)
{
    WatcherMachine machine(false);
    CountingWatcher watcher;
    watcher.SetThreadCount(3);
    ASSERT_EQ(watcher.Start(), 0u);
    Sleep(10);
    const std::string output = sim::Machine::Current().DebuggerOutput();
    EXPECT_EQ(Occurrences(output, "Error in RegOpenKeyEx (2).\n"), 4u);
    EXPECT_EQ(Occurrences(output, "end\n"), 4u);
    DWORD unused = 0;
    CSettingsStore().ReadSetting(kSettingBufferSizeIndex, &unused, sizeof unused);
    WriteValue(kSettingsKeyPath, W("buffer_size_index"), 20);
    Sleep(10);
    EXPECT_EQ(watcher.changes, 0);
}

TEST(RegistryWatcher, StartWritesEachThreadsHandle)
{
    WatcherMachine machine;
    CountingWatcher watcher;
    watcher.SetThreadCount(2);
    ASSERT_EQ(watcher.Start(), 0u);
    EXPECT_EQ(Occurrences(sim::Machine::Current().DebuggerOutput(), "start: "), 3u);
}

TEST(ProcessorCount, TheLogicalProcessorsOfTheMachine)
{
    for (ULONG processors : {1u, 2u, 4u}) {
        SCOPED_TRACE(processors);
        WatcherMachine machine(false, processors);
        EXPECT_EQ(CountLogicalProcessors(), processors);
        EXPECT_NE(sim::Machine::Current().DebuggerOutput().find("logical processors: " + std::to_string(processors)),
                  std::string::npos);
    }
}

}  // namespace
