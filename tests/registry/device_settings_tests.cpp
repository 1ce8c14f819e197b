// The driver's settings in the hardware key, its path building and key tests, and how it finds
// the device's instance path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/registry/registry_access.h"
#include "tests/registry/registry_test_support.h"

namespace {

using registry_test::Counted;
using registry_test::CountedBuffer;
using registry_test::DeviceFixture;

TEST(RegistryPath, ComponentsJoinWithOneSeparatorAndOverflowChangesNothing)
{
    sim::Machine machine;
    CountedBuffer path(12);
    const std::u16string usb = u"USB", empty, device = u"VID_F0E1", tooLong = u"PID";
    UNICODE_STRING part = Counted(empty);
    EXPECT_EQ(AppendPathComponent(&path.string, &part), STATUS_SUCCESS);
    EXPECT_EQ(path.Text(), u"");
    part = Counted(usb);
    EXPECT_EQ(AppendPathComponent(&path.string, &part), STATUS_SUCCESS);
    EXPECT_EQ(path.Text(), u"USB") << "no separator before the first part";
    part = Counted(empty);
    EXPECT_EQ(AppendPathComponent(&path.string, &part), STATUS_SUCCESS);
    EXPECT_EQ(path.Text(), u"USB") << "no separator for an empty part";
    part = Counted(device);
    EXPECT_EQ(AppendPathComponent(&path.string, &part), STATUS_SUCCESS);
    EXPECT_EQ(path.Text(), u"USB\\VID_F0E1");
    part = Counted(tooLong);
    EXPECT_EQ(AppendPathComponent(&path.string, &part), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(path.Text(), u"USB\\VID_F0E1");
    EXPECT_EQ(path.storage[12], u'#') << "nothing written past the capacity";
}

using DeviceSettings = DeviceFixture;

TEST_F(DeviceSettings, DwordsGoToTheHardwareKey)
{
    ASSERT_EQ(WriteDeviceDword(&pdo, W("IN URB Size"), 4), STATUS_SUCCESS);
    sim::registry::Value value;
    ASSERT_TRUE(Registry().GetValue(node.HardwareKeyPath(), u"IN URB Size", value));
    EXPECT_EQ(value.type, ULONG(REG_DWORD));
    ULONG read = 0;
    ASSERT_EQ(ReadDeviceDword(&pdo, W("in urb size"), &read), STATUS_SUCCESS);
    EXPECT_EQ(read, 4u);
    EXPECT_EQ(ReadDeviceDword(&pdo, W("Initialized"), &read), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(read, 4u) << "a failed read leaves the caller's value alone";
}

TEST_F(DeviceSettings, AValueOfAnotherTypeGivesItsFirstFourBytes)
{
    struct Case {
        const char* what;
        ULONG type;
        std::vector<uint8_t> data;
        NTSTATUS status;
        ULONG value;
    } cases[] = {
        {"text \"8\"", REG_SZ, {'8', 0, 0, 0}, STATUS_SUCCESS, 0x38},
        {"a 64-bit number", REG_QWORD, {0x44, 0xAC, 0, 0, 1, 0, 0, 0}, STATUS_SUCCESS, 44100},
        {"two bytes", REG_BINARY, {1, 0}, STATUS_OBJECT_TYPE_MISMATCH, 0},
        {"no data", REG_DWORD, {}, STATUS_OBJECT_TYPE_MISMATCH, 0},
    };
    for (const Case& test : cases) {
        Registry().SetValue(node.HardwareKeyPath(), u"gDumpCapture", test.type, test.data);
        ULONG value = 0;
        EXPECT_EQ(ReadDeviceDword(&pdo, W("gDumpCapture"), &value), test.status) << test.what;
        EXPECT_EQ(value, test.value) << test.what;
    }
}

TEST_F(DeviceSettings, KeyExistenceIsCheckedOnPathsOfUpTo255Characters)
{
    const std::u16string enumRoot = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";
    UNICODE_STRING path = Counted(enumRoot);
    EXPECT_EQ(RegistryKeyExists(&path), STATUS_SUCCESS);
    const std::u16string missing = enumRoot + u"\\PCI";
    path = Counted(missing);
    EXPECT_EQ(RegistryKeyExists(&path), STATUS_OBJECT_NAME_NOT_FOUND);
    const std::u16string longest = enumRoot + u"\\" + std::u16string(255 - enumRoot.size() - 1, u'x');
    path = Counted(longest);
    EXPECT_EQ(RegistryKeyExists(&path), STATUS_OBJECT_NAME_NOT_FOUND);
    const std::u16string overLong = longest + u"x";
    path = Counted(overLong);
    EXPECT_EQ(RegistryKeyExists(&path), STATUS_INVALID_PARAMETER);
}

TEST_F(DeviceSettings, SubkeySearchStopsAtTheFirstMatchOrTheFirstUnreadableValue)
{
    const std::u16string base = u"\\Registry\\Machine\\Software\\Search";
    Registry().SetString(base + u"\\A\\Properties", u"Id", u"other");
    Registry().SetDword(base + u"\\B\\Properties", u"Id", 7);  // not text: compares unequal, the walk goes on
    Registry().SetString(base + u"\\C\\Properties", u"Id", u"Wanted");
    Registry().SetString(base + u"\\D\\Properties", u"Id", u"wanted");
    UNICODE_STRING basePath = Counted(base);
    const std::u16string properties = u"Properties", id = u"Id", wanted = u"WANTED";
    UNICODE_STRING subPath = Counted(properties);
    UNICODE_STRING valueName = Counted(id);
    UNICODE_STRING text = Counted(wanted);

    CountedBuffer name(38);
    ASSERT_EQ(FindSubkeyByValue(&basePath, &subPath, &valueName, &text, nullptr, &name.string), STATUS_SUCCESS);
    EXPECT_EQ(name.Text(), u"C") << "case-insensitive by default, first in enumeration order";

    auto exactCase = [](PCUNICODE_STRING stored, PCUNICODE_STRING expected) {
        return RtlEqualUnicodeString(stored, expected, FALSE);
    };
    EXPECT_EQ(FindSubkeyByValue(&basePath, &subPath, &valueName, &text, exactCase, &name.string), STATUS_NO_MATCH);

    CountedBuffer none(0);
    EXPECT_EQ(FindSubkeyByValue(&basePath, &subPath, &valueName, &text, nullptr, &none.string),
              STATUS_BUFFER_TOO_SMALL);

    Registry().CreatePath(base + u"\\B2\\Properties");
    EXPECT_EQ(FindSubkeyByValue(&basePath, &subPath, &valueName, &text, nullptr, &name.string),
              STATUS_OBJECT_NAME_NOT_FOUND)
        << "B2 has no value to compare, which ends the walk before C";
    Registry().CreatePath(base + u"\\B1");
    EXPECT_EQ(FindSubkeyByValue(&basePath, &subPath, &valueName, &text, nullptr, &name.string),
              STATUS_OBJECT_NAME_NOT_FOUND)
        << "B1 has no Properties key";

    const std::u16string missingBase = base + u"\\Missing";
    basePath = Counted(missingBase);
    EXPECT_EQ(FindSubkeyByValue(&basePath, &subPath, &valueName, &text, nullptr, &name.string),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(DeviceSettings, TheInstancePathIsTheDeviceIdWithoutRevisionAndTheInstanceId)
{
    ASSERT_EQ(node.HardwareIds().front(), u"USB\\VID_F0E1&PID_0109&REV_0100") << "the revision form comes first";
    CountedBuffer path(201);
    ASSERT_EQ(GetDeviceInstancePath(&pdo, &path.string), STATUS_SUCCESS);
    EXPECT_EQ(path.Text(), u"USB\\VID_F0E1&PID_0109\\R9A0001");
}

TEST_F(DeviceSettings, TheContainerIdPicksTheInstanceAmongSeveral)
{
    // Another R9 was plugged in earlier; its instance key sorts before this one's.
    sim::pnp::CreateUsbDeviceNode(
        registry_test::TestIdentity(u"R9A0000", GUID{0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}}));
    CountedBuffer path(201);
    ASSERT_EQ(GetDeviceInstancePath(&pdo, &path.string), STATUS_SUCCESS);
    EXPECT_EQ(path.Text(), u"USB\\VID_F0E1&PID_0109\\R9A0001");
}

TEST_F(DeviceSettings, WithoutAContainerMatchTheHardwareKeyNamesTheInstance)
{
    Registry().DeleteValue(node.EnumKeyPath(), u"ContainerID");
    CountedBuffer path(201);
    ASSERT_EQ(GetDeviceInstancePath(&pdo, &path.string), STATUS_SUCCESS);
    EXPECT_EQ(path.Text(), u"USB\\VID_F0E1&PID_0109\\R9A0001");
}

TEST_F(DeviceSettings, InstancePathFailuresAreCleanAndReturned)
{
    struct Case {
        const char* what;
        void (*breakRegistry)(sim::registry::Store& store, const sim::pnp::DeviceNode& node);
        size_t capacity;
        NTSTATUS expected;
    } cases[] = {
        {"the result does not fit", [](sim::registry::Store&, const sim::pnp::DeviceNode&) {}, 20,
         STATUS_BUFFER_OVERFLOW},
        {"no hardware ID names a key",
         [](sim::registry::Store& store, const sim::pnp::DeviceNode& node) {
             store.SetMultiString(node.EnumKeyPath(), u"HardwareID", {u"USB\\VID_FFFF&PID_FFFF"});
         },
         201, STATUS_OBJECT_NAME_NOT_FOUND},
        {"an over-long path",
         [](sim::registry::Store& store, const sim::pnp::DeviceNode& node) {
             store.SetMultiString(node.EnumKeyPath(), u"HardwareID", {u"USB\\" + std::u16string(230, u'X')});
         },
         201, STATUS_BUFFER_OVERFLOW},
        {"a missing Enum key",
         [](sim::registry::Store& store, const sim::pnp::DeviceNode&) {
             store.DeleteTree(u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB");
         },
         201, STATUS_OBJECT_NAME_NOT_FOUND},
    };
    for (const Case& test : cases) {
        std::string saved = Registry().Serialize();
        test.breakRegistry(Registry(), node);
        CountedBuffer path(test.capacity);
        EXPECT_EQ(GetDeviceInstancePath(&pdo, &path.string), test.expected) << test.what;
        EXPECT_EQ(path.string.Length, 0) << test.what;
        std::string error;
        ASSERT_TRUE(Registry().Deserialize(saved, error)) << error;
    }
}

TEST_F(DeviceSettings, EveryAllocationFailureIsReturnedWithNothingLeft)
{
    CountedBuffer path(201);
    ULONG covered = 0;
    for (ULONG nth = 1; nth < 100; ++nth) {
        const uint64_t failedBefore = machine.Pools().FailedCount();
        machine.Pools().InjectFailure(nth, registry_test::kDriverTag);
        const NTSTATUS status = GetDeviceInstancePath(&pdo, &path.string);
        machine.Pools().InjectFailure(0);
        EXPECT_EQ(machine.Objects().OpenHandleCount(), 0u) << "allocation " << nth;
        EXPECT_TRUE(machine.Pools().LiveAllocations(registry_test::kDriverTag).empty()) << "allocation " << nth;
        if (machine.Pools().FailedCount() == failedBefore) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            break;
        }
        // A failure while matching the container ID is recovered through the hardware key.
        EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_SUCCESS) << "allocation " << nth;
        covered = nth;
    }
    EXPECT_GE(covered, 10u) << "the path buffers, the hardware IDs, the key tests, the searches";
}

}  // namespace
