// The settings store on the simulated machine's registry: defaults, table rules, wrong types and
// sizes, and the key's absence.
#include <gtest/gtest.h>

#include <cstring>

#include "common/settings_store.h"
#include "sim/registry/machine_registry.h"
#include "sim/kernel/machine.h"
#include "sim/user/processes.h"

namespace {

const std::u16string kKey = std::u16string(sim::registry::kCurrentUserPath) + u"\\SOFTWARE\\TAVO\\R9 Driver";

class SettingsStoreTest : public ::testing::Test {
protected:
    sim::Machine machine;
    sim::user::ProcessScope process{u"C:\\settings-test.exe"};
    CSettingsStore store;
    sim::registry::Store& registry = sim::registry::MachineRegistry();
};

TEST_F(SettingsStoreTest, FirstReadCreatesTheKeyWithEveryDefault)
{
    DWORD value = 0;
    EXPECT_EQ(store.ReadSetting(kSettingBufferSizeIndex, &value, sizeof value), kSettingsOk);
    EXPECT_EQ(value, 14u);
    sim::registry::Value selected;
    ASSERT_TRUE(registry.GetValue(kKey, u"selected", selected));
    EXPECT_EQ(selected.type, ULONG(REG_SZ));
    EXPECT_EQ(selected.data, std::vector<uint8_t>(256, 0));
    struct Expected {
        const char16_t* name;
        ULONG type;
        std::vector<uint8_t> data;
    } expected[] = {
        {u"buffer_size_index", REG_DWORD, {14, 0, 0, 0}}, {u"sampling_rate", REG_DWORD, {0x44, 0xAC, 0, 0}},
        {u"bit_depth", REG_DWORD, {16, 0, 0, 0}},         {u"format", REG_BINARY, {0}},
        {u"lock", REG_BINARY, {0}},                       {u"notify", REG_BINARY, {0}},
    };
    for (const Expected& row : expected) {
        sim::registry::Value stored;
        ASSERT_TRUE(registry.GetValue(kKey, row.name, stored)) << sim::Utf16ToUtf8(row.name);
        EXPECT_EQ(stored.type, row.type) << sim::Utf16ToUtf8(row.name);
        EXPECT_EQ(stored.data, row.data) << sim::Utf16ToUtf8(row.name);
    }
}

TEST_F(SettingsStoreTest, SelectedIsUnreadableRightAfterCreation)
{
    WCHAR selected[64] = {};
    EXPECT_EQ(store.ReadSetting(kSettingSelected, selected, sizeof selected), kSettingsQueryFailed);
    const WCHAR id[] = W("USB\\VID_3A5C&PID_0009\\R9-00000001");
    ASSERT_EQ(store.WriteSetting(kSettingSelected, id, DWORD(wcslen(id) * sizeof(WCHAR))), kSettingsOk);
    EXPECT_EQ(store.ReadSetting(kSettingSelected, selected, sizeof selected), kSettingsOk);
    EXPECT_EQ(std::u16string(selected), std::u16string(id)) << "the text stored without a terminator ends";
}

TEST_F(SettingsStoreTest, DeletedValueFailsWithoutRecreatingAnything)
{
    DWORD value = 0;
    ASSERT_EQ(store.ReadSetting(kSettingBufferSizeIndex, &value, sizeof value), kSettingsOk);
    ASSERT_TRUE(registry.DeleteValue(kKey, u"sampling_rate"));
    EXPECT_EQ(store.ReadSetting(kSettingSamplingRate, &value, sizeof value), kSettingsQueryFailed);
    sim::registry::Value stored;
    EXPECT_FALSE(registry.GetValue(kKey, u"sampling_rate", stored));
}

TEST_F(SettingsStoreTest, BuffersValuesAndIdentifiersAreChecked)
{
    DWORD value = 0;
    ASSERT_EQ(store.ReadSetting(kSettingBufferSizeIndex, &value, sizeof value), kSettingsOk);
    uint16_t small = 0xAAAA;
    EXPECT_EQ(store.ReadSetting(kSettingBufferSizeIndex, &small, sizeof small), kSettingsBadArgument);
    EXPECT_EQ(small, 0xAAAA);
    uint8_t large[8];
    std::memset(large, 0xEE, sizeof large);
    EXPECT_EQ(store.ReadSetting(kSettingBufferSizeIndex, large, sizeof large), kSettingsOk);
    EXPECT_EQ(large[0], 14);
    EXPECT_EQ(large[4], 0xEE) << "only the setting's 4 bytes are filled";
    EXPECT_EQ(store.ReadSetting(-1, &value, sizeof value), kSettingsBadArgument);
    EXPECT_EQ(store.ReadSetting(kSettingSamplingRate, nullptr, 4), kSettingsBadArgument);
    EXPECT_EQ(store.ReadSetting(kSettingSamplingRate, &value, 0), kSettingsBadArgument);
    value = 77;
    EXPECT_EQ(store.ReadSetting(5, &value, sizeof value), kSettingsOk);
    EXPECT_EQ(value, 77u) << "an identifier not in the table reads nothing";
    EXPECT_EQ(store.WriteSetting(5, &value, sizeof value), kSettingsOk);
    sim::registry::KeyRef key;
    ASSERT_TRUE(NT_SUCCESS(registry.Open(nullptr, kKey, key)));
    sim::registry::Value stored;
    ULONG count = 0;
    while (NT_SUCCESS(registry.EnumerateValue(key, count, stored))) {
        ++count;
    }
    EXPECT_EQ(count, 7u) << "identifier 5 wrote nothing";
    EXPECT_EQ(store.WriteSetting(kSettingSamplingRate, nullptr, 4), kSettingsBadArgument);
    EXPECT_EQ(store.WriteSetting(kSettingSamplingRate, &value, 0), kSettingsBadArgument);
}

// Values another program left behind that do not fit the table read as absent.
TEST_F(SettingsStoreTest, ValuesOfTheWrongTypeOrSizeReadAsAbsent)
{
    DWORD value = 0;
    ASSERT_EQ(store.ReadSetting(kSettingBufferSizeIndex, &value, sizeof value), kSettingsOk);
    struct Case {
        const char16_t* name;
        SettingId id;
        ULONG type;
        std::vector<uint8_t> data;
    } cases[] = {
        {u"buffer_size_index", kSettingBufferSizeIndex, REG_SZ, {'1', 0, '4', 0, 0, 0}},
        {u"buffer_size_index", kSettingBufferSizeIndex, REG_DWORD, {14, 0}},
        {u"sampling_rate", kSettingSamplingRate, REG_DWORD, {0x44, 0xAC, 0, 0, 0, 0, 0, 0}},
        {u"lock", kSettingLock, REG_BINARY, {}},
        {u"selected", kSettingSelected, REG_BINARY, {'A', 0}},
    };
    for (const Case& row : cases) {
        ASSERT_TRUE(registry.SetValue(kKey, row.name, row.type, row.data));
        uint8_t buffer[256];
        std::memset(buffer, 0xCC, sizeof buffer);
        EXPECT_EQ(store.ReadSetting(row.id, buffer, sizeof buffer), kSettingsQueryFailed) << sim::Utf16ToUtf8(row.name);
    }
}

TEST_F(SettingsStoreTest, WritesNeedTheKeyAndUseTheTablesType)
{
    const DWORD rate = 88200;
    EXPECT_EQ(store.WriteSetting(kSettingSamplingRate, &rate, sizeof rate), kSettingsCannotOpen);
    EXPECT_FALSE(registry.Exists(kKey)) << "a write never creates the key";
    ASSERT_TRUE(store.CreateDefaultSettings());
    EXPECT_FALSE(store.CreateDefaultSettings()) << "defaults go only into a key just created";
    ASSERT_EQ(store.WriteSetting(kSettingSamplingRate, &rate, sizeof rate), kSettingsOk);
    DWORD read = 0;
    EXPECT_EQ(store.ReadSetting(kSettingSamplingRate, &read, sizeof read), kSettingsOk);
    EXPECT_EQ(read, rate);
}

}  // namespace
