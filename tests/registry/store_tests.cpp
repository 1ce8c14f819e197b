// The registry store on its own: names, order, links, deletion, path rules, saving and loading.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "sim/api/wide_text.h"
#include "sim/registry/store.h"

namespace {

using sim::registry::KeyRef;
using sim::registry::Store;
using sim::registry::Value;

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> bytes) { return std::vector<uint8_t>(bytes); }

TEST(RegistryStore, NamesMatchInAnyCaseAndKeepTheirOwn)
{
    Store store;
    ASSERT_NE(store.CreatePath(u"\\REGISTRY\\MACHINE\\Software\\Vendor"), nullptr);
    KeyRef key;
    ASSERT_EQ(store.Open(nullptr, u"\\registry\\machine\\SOFTWARE\\vendor", key), STATUS_SUCCESS);
    EXPECT_EQ(store.SubkeyNames(u"\\REGISTRY\\MACHINE"), std::vector<std::u16string>{u"Software"});

    ASSERT_EQ(store.SetValue(key, u"Rate", REG_DWORD, "\x44\xac\x00\x00", 4), STATUS_SUCCESS);
    ASSERT_EQ(store.SetValue(key, u"RATE", REG_BINARY, "\x80", 1), STATUS_SUCCESS);
    Value value;
    ASSERT_EQ(store.EnumerateValue(key, 0, value), STATUS_SUCCESS);
    EXPECT_EQ(value.name, u"Rate") << "setting a value again keeps the name it was created with";
    EXPECT_EQ(value.type, ULONG(REG_BINARY));
    EXPECT_EQ(value.data, Bytes({0x80}));
    EXPECT_EQ(store.EnumerateValue(key, 1, value), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(store.QueryValue(key, u"rate", value), STATUS_SUCCESS);
}

TEST(RegistryStore, SubkeysEnumerateByUpperCaseNameAndValuesInTheirOrder)
{
    Store store;
    for (const char16_t* name : {u"b", u"_x", u"A", u"c"}) {
        store.CreatePath(std::u16string(u"\\REGISTRY\\MACHINE\\Order\\") + name);
    }
    // Upper-cased, "_" (0x5F) sorts after the letters; lower-cased it would sort before them.
    EXPECT_EQ(store.SubkeyNames(u"\\REGISTRY\\MACHINE\\Order"), (std::vector<std::u16string>{u"A", u"b", u"c", u"_x"}));

    KeyRef key = store.CreatePath(u"\\REGISTRY\\MACHINE\\Order");
    for (const char16_t* name : {u"z", u"a", u"m"}) {
        store.SetValue(key, name, REG_NONE, nullptr, 0);
    }
    std::vector<std::u16string> names;
    Value value;
    for (ULONG index = 0; store.EnumerateValue(key, index, value) == STATUS_SUCCESS; ++index) {
        names.push_back(value.name);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"z", u"a", u"m"}));
}

TEST(RegistryStore, LinksLeadToTheirTargetAndNamesShowWhereKeysLive)
{
    Store store;
    store.CreatePath(u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Enum\\USB");
    ASSERT_TRUE(store.CreateLink(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet",
                                 u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001"));
    KeyRef key;
    ASSERT_EQ(store.Open(nullptr, u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB", key), STATUS_SUCCESS);
    std::u16string name;
    ASSERT_EQ(store.FullName(key, name), STATUS_SUCCESS);
    EXPECT_EQ(name, u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Enum\\USB");

    bool created = false;
    ASSERT_EQ(store.Create(nullptr, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services", false, key, created),
              STATUS_SUCCESS);
    EXPECT_TRUE(created);
    EXPECT_TRUE(store.Exists(u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services"));

    ASSERT_TRUE(store.CreateLink(u"\\REGISTRY\\MACHINE\\Loop", u"\\REGISTRY\\MACHINE\\Loop"));
    EXPECT_EQ(store.Open(nullptr, u"\\REGISTRY\\MACHINE\\Loop", key), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(RegistryStore, ADeletedKeyAnswersOnlyThatItIsDeleted)
{
    Store store;
    KeyRef parent = store.CreatePath(u"\\REGISTRY\\MACHINE\\Parent");
    KeyRef child = store.CreatePath(u"\\REGISTRY\\MACHINE\\Parent\\Child");
    EXPECT_EQ(store.Delete(parent), STATUS_CANNOT_DELETE);
    ASSERT_EQ(store.Delete(child), STATUS_SUCCESS);

    Value value;
    EXPECT_EQ(store.SetValue(child, u"x", REG_DWORD, "\0\0\0\0", 4), STATUS_KEY_DELETED);
    EXPECT_EQ(store.QueryValue(child, u"x", value), STATUS_KEY_DELETED);
    EXPECT_EQ(store.Delete(child), STATUS_KEY_DELETED);
    EXPECT_FALSE(store.Exists(u"\\REGISTRY\\MACHINE\\Parent\\Child"));

    KeyRef grandchild = store.CreatePath(u"\\REGISTRY\\MACHINE\\Parent\\Child\\Grandchild");
    ASSERT_TRUE(store.DeleteTree(u"\\REGISTRY\\MACHINE\\Parent"));
    sim::registry::KeySummary summary;
    EXPECT_EQ(store.Summarize(grandchild, summary), STATUS_KEY_DELETED) << "deleting a tree deletes what is below";
    EXPECT_EQ(store.Summarize(parent, summary), STATUS_KEY_DELETED);
}

TEST(RegistryStore, PathsFollowTheNamespaceRules)
{
    Store store;
    KeyRef machine = store.CreatePath(u"\\REGISTRY\\MACHINE");
    store.CreatePath(u"\\REGISTRY\\MACHINE\\a");
    const std::u16string longest(255, u'k');
    struct Case {
        const char* what;
        bool relative;
        std::u16string path;
        NTSTATUS expected;
    } cases[] = {
        {"a name of 255 characters", true, longest, STATUS_SUCCESS},
        {"a name of 256 characters", true, longest + u"k", STATUS_OBJECT_NAME_INVALID},
        {"an empty component", true, u"a\\\\b", STATUS_OBJECT_NAME_INVALID},
        {"a trailing separator", true, u"a\\", STATUS_OBJECT_NAME_INVALID},
        {"a missing parent", true, u"missing\\child", STATUS_OBJECT_NAME_NOT_FOUND},
        {"a relative name with a leading separator", true, u"\\x", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {"an absolute name without one", false, u"REGISTRY\\MACHINE\\x", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {"a name outside the registry", false, u"\\Device\\x", STATUS_OBJECT_NAME_NOT_FOUND},
    };
    for (const Case& test : cases) {
        KeyRef key;
        bool created = false;
        EXPECT_EQ(store.Create(test.relative ? machine : nullptr, test.path, false, key, created), test.expected)
            << test.what;
    }
    KeyRef key;
    EXPECT_EQ(store.Open(machine, u"a\\\\b", key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(store.Open(machine, u"", key), STATUS_SUCCESS);
    EXPECT_EQ(key, machine) << "an empty relative name opens the key itself";
}

// A store with every kind of thing the file must carry.
void Populate(Store& store)
{
    store.SetDword(u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Enum\\USB\\VID_F0E1&PID_0109\\R9\\Device Parameters",
                   u"IN URB Size", 4);
    store.SetString(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor % Co", u"", u"default value");
    store.SetMultiString(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor % Co", u"ids", {u"a", u"b"});
    store.SetValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Caf\u00e9 \u4e2d", u"tab\there", REG_BINARY,
                   Bytes({0, 0xff, 0, 7}));
    store.SetValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Empty", u"nothing", REG_SZ, {});
    store.CreatePath(u"\\REGISTRY\\USER\\.DEFAULT");
    store.CreateLink(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet", u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001");
    KeyRef machine = store.CreatePath(u"\\REGISTRY\\MACHINE");
    KeyRef scratch;
    bool created = false;
    store.Create(machine, u"Volatile", true, scratch, created);
    store.SetDword(u"\\REGISTRY\\MACHINE\\Volatile", u"gone", 1);
}

TEST(RegistryStore, SavedTextLoadsBackToTheSameRegistry)
{
    Store original;
    Populate(original);
    const std::string text = original.Serialize();

    Store loaded;
    std::string error;
    ASSERT_TRUE(loaded.Deserialize(text, error)) << error;
    EXPECT_EQ(loaded.Serialize(), text);

    Value value;
    ASSERT_TRUE(loaded.GetValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Caf\u00e9 \u4e2d", u"tab\there", value));
    EXPECT_EQ(value.type, ULONG(REG_BINARY));
    EXPECT_EQ(value.data, Bytes({0, 0xff, 0, 7}));
    ASSERT_TRUE(loaded.GetValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Empty", u"nothing", value));
    EXPECT_TRUE(value.data.empty());
    ASSERT_TRUE(loaded.GetValue(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_F0E1&PID_0109\\R9\\"
                                u"Device Parameters",
                                u"IN URB Size", value))
        << "the link survives";
    EXPECT_EQ(value.data, Bytes({4, 0, 0, 0}));
    EXPECT_FALSE(loaded.Exists(u"\\REGISTRY\\MACHINE\\Volatile")) << "volatile keys are not saved";
    EXPECT_TRUE(loaded.Exists(u"\\REGISTRY\\USER\\.DEFAULT"));
}

TEST(RegistryStore, FilesKeepTheRegistryBetweenRuns)
{
    const std::string fileName = ::testing::TempDir() + "registry_round_trip.txt";
    std::string error;
    {
        Store first;
        Populate(first);
        ASSERT_TRUE(first.SaveToFile(fileName, error)) << error;
    }
    Store second;
    ASSERT_TRUE(second.LoadFromFile(fileName, error)) << error;
    Value value;
    EXPECT_TRUE(second.GetValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor % Co", u"ids", value));
    std::remove(fileName.c_str());
    EXPECT_FALSE(second.LoadFromFile(fileName, error));
    EXPECT_NE(error.find("cannot read"), std::string::npos);
}

// Files are written as regedit writes them: UTF-16LE with its byte-order mark, the version line,
// CRLF, and values in their plain forms where the type has one.
TEST(RegistryStore, FilesAreWindowsRegFiles)
{
    Store store;
    Populate(store);
    store.SetValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Shapes", u"short dword", REG_DWORD, Bytes({1, 2}));
    store.SetString(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Shapes", u"quote\"back\\slash", u"C:\\\"x\"");
    const std::string bytes = store.SerializeRegFile();
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
    std::u16string text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
        text.push_back(char16_t(uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8));
    }
    EXPECT_EQ(text.rfind(u"Windows Registry Editor Version 5.00\r\n\r\n", 0), 0u);
    for (const char16_t* expected :
         {u"[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\USB\\VID_F0E1&PID_0109\\R9\\Device Parameters]\r\n"
          u"\"IN URB Size\"=dword:00000004\r\n",
          u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor % Co]\r\n@=\"default value\"\r\n",
          u"\"ids\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n", u"\"short dword\"=hex(4):01,02\r\n",
          u"\"quote\\\"back\\\\slash\"=\"C:\\\\\\\"x\\\"\"\r\n", u"\"nothing\"=hex(1):\r\n", u"[HKEY_USERS\\.DEFAULT]"}) {
        EXPECT_NE(text.find(expected), std::u16string::npos) << sim::Utf16ToUtf8(expected);
    }
    EXPECT_EQ(text.find(u"CurrentControlSet"), std::u16string::npos) << "links are the machine's to make";
    EXPECT_EQ(text.find(u"Volatile"), std::u16string::npos);

    Store loaded;
    std::string error;
    ASSERT_TRUE(loaded.ImportRegFile(text, error)) << error;
    EXPECT_EQ(loaded.SerializeRegFile(), bytes) << "what is written reads back the same";
}

TEST(RegistryStore, RegFilesImportAsRegeditImportsThem)
{
    Store store;
    store.SetDword(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Old\\Inner", u"v", 1);
    store.SetDword(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Kept", u"gone", 1);
    store.SetDword(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Kept", u"stays", 2);
    const std::u16string text = u"Windows Registry Editor Version 5.00\r\n\r\n; a comment\r\n"
                                u"[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\r\n"
                                u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kept]\r\n\"gone\"=-\r\n"
                                u"\"long\"=hex:00,01,\\\r\n  02,03\r\n"
                                u"[HKEY_CLASSES_ROOT\\CLSID]\r\n@=\"classes\"\r\n";
    std::string error;
    ASSERT_TRUE(store.ImportRegFile(text, error)) << error;
    Value value;
    EXPECT_FALSE(store.Exists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Old"));
    EXPECT_FALSE(store.GetValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Kept", u"gone", value));
    EXPECT_TRUE(store.GetValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Kept", u"stays", value)) << "an import merges";
    ASSERT_TRUE(store.GetValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Kept", u"long", value));
    EXPECT_EQ(value.data, Bytes({0, 1, 2, 3}));
    EXPECT_TRUE(store.GetValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\CLSID", u"", value));

    struct Case {
        const char16_t* text;
        const char* error;
    } bad[] = {
        {u"REGEDIT5\r\n", "line 1"},
        {u"Windows Registry Editor Version 5.00\r\n\"v\"=dword:00000001\r\n", "line 2"},
        {u"Windows Registry Editor Version 5.00\r\n[HKEY_NOWHERE\\A]\r\n", "line 2"},
        {u"Windows Registry Editor Version 5.00\r\n[HKEY_USERS\\A]\r\n\"v\"=dword:1\r\n", "line 3"},
        {u"Windows Registry Editor Version 5.00\r\n[HKEY_USERS\\A]\r\n\"v\"=hex:0g\r\n", "line 3"},
        {u"Windows Registry Editor Version 5.00\r\n[HKEY_USERS\\A]\r\n\"v=\"x\"\r\n", "line 3"},
    };
    for (const Case& row : bad) {
        Store untouched;
        EXPECT_FALSE(untouched.ImportRegFile(row.text, error));
        EXPECT_NE(error.find(row.error), std::string::npos) << error;
        EXPECT_FALSE(untouched.Exists(u"\\REGISTRY\\USER\\A")) << "a bad file changes nothing";
    }
}

// A machine saved before the .reg format still comes up with what it saved.
TEST(RegistryStore, FilesInTheEarlierFormatStillLoad)
{
    const std::string fileName = ::testing::TempDir() + "registry_earlier_format.txt";
    Store first;
    Populate(first);
    {
        std::ofstream file(fileName, std::ios::binary);
        file << first.Serialize();
    }
    Store second;
    std::string error;
    ASSERT_TRUE(second.LoadFromFile(fileName, error)) << error;
    Value value;
    EXPECT_TRUE(second.GetValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor % Co", u"ids", value));
    std::remove(fileName.c_str());
}

TEST(RegistryStore, ABadFileIsRefusedAndChangesNothing)
{
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"", "empty file"},
        {"registry\n", "line 1"},
        {"r9sim registry 1\nvalue 4 01000000 x\n", "line 2"},
        {"r9sim registry 1\nkey \\REGISTRY\\A\nvalue 4 0100000 x\n", "line 3"},
        {"r9sim registry 1\nkey \\REGISTRY\\A\nvalue 4 01000000\n", "line 3"},
        {"r9sim registry 1\nkey \\OTHER\\A\n", "line 2"},
        {"r9sim registry 1\nkey \\REGISTRY\\A\\\\B\n", "line 2"},
        {"r9sim registry 1\nkey \\REGISTRY\\A%00\n", "line 2"},
        {"r9sim registry 1\nlink \\REGISTRY\\L\nkey \\REGISTRY\\A\n", "line 3"},
        {"r9sim registry 1\nlink \\REGISTRY\\L\n", "a link without its target"},
        {"r9sim registry 1\nlink \\REGISTRY\\L\ntarget \\REGISTRY\\A\nkey \\REGISTRY\\L\\B\n", "line 4"},
        {"r9sim registry 1\nstray line\n", "unknown record"},
    };
    for (const Case& test : cases) {
        Store store;
        store.SetDword(u"\\REGISTRY\\MACHINE\\Kept", u"value", 7);
        const std::string before = store.Serialize();
        std::string error;
        EXPECT_FALSE(store.Deserialize(test.text, error)) << test.text;
        EXPECT_NE(error.find(test.error), std::string::npos) << test.text << " gave: " << error;
        EXPECT_EQ(store.Serialize(), before) << test.text;
    }
}

}  // namespace
