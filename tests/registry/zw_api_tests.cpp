// The kernel's registry calls on the machine's registry: handles, information classes and the
// buffer rules drivers depend on.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "sim/kernel/machine.h"
#include "sim/registry/machine_registry.h"
#include "tests/registry/registry_test_support.h"

namespace {

using registry_test::Counted;

const std::u16string kVendorKey = u"\\Registry\\Machine\\Software\\Vendor";

NTSTATUS OpenKey(const std::u16string& path, HANDLE root, HANDLE* key, ACCESS_MASK access = KEY_READ)
{
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwOpenKey(key, access, &attributes);
}

NTSTATUS CreateKey(const std::u16string& path, HANDLE root, HANDLE* key, ULONG* disposition)
{
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition);
}

class ZwRegistry : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(machine.Objects().OpenHandleCount(), 0u); }

    sim::Machine machine;
};

TEST_F(ZwRegistry, KeysAreCreatedOpenedRelativeToEachOtherAndClosed)
{
    HANDLE vendor = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(CreateKey(kVendorKey, nullptr, &vendor, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    HANDLE again = nullptr;
    ASSERT_EQ(CreateKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\VENDOR", nullptr, &again, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    EXPECT_NE(again, vendor) << "each open is its own handle";

    HANDLE child = nullptr;
    ASSERT_EQ(CreateKey(u"Device", vendor, &child, nullptr), STATUS_SUCCESS);
    HANDLE reopened = nullptr;
    EXPECT_EQ(OpenKey(u"device", again, &reopened), STATUS_SUCCESS);
    EXPECT_EQ(CreateKey(u"Missing\\Device", vendor, &child, nullptr), STATUS_OBJECT_NAME_NOT_FOUND)
        << "ZwCreateKey makes the last component only";
    EXPECT_EQ(OpenKey(u"Software\\Vendor", nullptr, &child), STATUS_OBJECT_PATH_SYNTAX_BAD);
    for (HANDLE handle : {vendor, again, child, reopened}) {
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    }
}

TEST_F(ZwRegistry, AHandleClosedTwiceIsReportedAndUnusable)
{
    machine.Verify().SetMode(sim::VerifierMode::Record);
    HANDLE key = nullptr;
    ASSERT_EQ(CreateKey(kVendorKey, nullptr, &key, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_TRUE(machine.Verify().Reports().empty());

    EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
    EXPECT_TRUE(machine.Verify().HasReport("invalid handle closed"));
    UNICODE_STRING name = Counted(u"x");
    ULONG length = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, nullptr, 0, &length), STATUS_INVALID_HANDLE);
}

TEST_F(ZwRegistry, RegistryCallsAreRefusedAtDispatchLevel)
{
    machine.Verify().SetMode(sim::VerifierMode::Record);
    HANDLE key = nullptr;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS status = OpenKey(kVendorKey, nullptr, &key);
    KeLowerIrql(old);
    EXPECT_TRUE(machine.Verify().HasReport("paged code above APC_LEVEL"));
    if (NT_SUCCESS(status)) {
        ZwClose(key);
    }
}

// Buffer rules, per information class: no room for the fixed part is STATUS_BUFFER_TOO_SMALL,
// room for it but not the rest STATUS_BUFFER_OVERFLOW; both report the whole length needed.
TEST_F(ZwRegistry, ShortBuffersReportTheLengthNeeded)
{
    sim::registry::MachineRegistry().SetValue(kVendorKey + u"\\Sub", u"Rate", REG_DWORD, {0x80, 0xBB, 0, 0});
    HANDLE key = nullptr;
    ASSERT_EQ(OpenKey(kVendorKey + u"\\Sub", nullptr, &key), STATUS_SUCCESS);
    HANDLE parent = nullptr;
    ASSERT_EQ(OpenKey(kVendorKey, nullptr, &parent), STATUS_SUCCESS);
    UNICODE_STRING rate = Counted(u"Rate");

    struct Case {
        const char* what;
        ULONG fixed;
        ULONG whole;
        NTSTATUS (*query)(HANDLE key, HANDLE parent, PUNICODE_STRING name, PVOID buffer, ULONG length, PULONG result);
    } cases[] = {
        {"partial value", 12, 12 + 4,
         [](HANDLE k, HANDLE, PUNICODE_STRING n, PVOID b, ULONG l, PULONG r) {
             return ZwQueryValueKey(k, n, KeyValuePartialInformation, b, l, r);
         }},
        // Name "Rate" (8 bytes) after 20 fixed bytes, data at the next 32-bit boundary, 28.
        {"full value", 20, 28 + 4,
         [](HANDLE k, HANDLE, PUNICODE_STRING n, PVOID b, ULONG l, PULONG r) {
             return ZwQueryValueKey(k, n, KeyValueFullInformation, b, l, r);
         }},
        {"basic value", 12, 12 + 8,
         [](HANDLE k, HANDLE, PUNICODE_STRING n, PVOID b, ULONG l, PULONG r) {
             return ZwQueryValueKey(k, n, KeyValueBasicInformation, b, l, r);
         }},
        {"enumerated value", 12, 12 + 4,
         [](HANDLE k, HANDLE, PUNICODE_STRING, PVOID b, ULONG l, PULONG r) {
             return ZwEnumerateValueKey(k, 0, KeyValuePartialInformation, b, l, r);
         }},
        {"enumerated subkey", 16, 16 + 6,
         [](HANDLE, HANDLE p, PUNICODE_STRING, PVOID b, ULONG l, PULONG r) {
             return ZwEnumerateKey(p, 0, KeyBasicInformation, b, l, r);
         }},
        {"key node", 24, 24 + 6,
         [](HANDLE, HANDLE p, PUNICODE_STRING, PVOID b, ULONG l, PULONG r) {
             return ZwEnumerateKey(p, 0, KeyNodeInformation, b, l, r);
         }},
        {"key full", 44, 44,
         [](HANDLE k, HANDLE, PUNICODE_STRING, PVOID b, ULONG l, PULONG r) {
             return ZwQueryKey(k, KeyFullInformation, b, l, r);
         }},
        {"key name", 4, ULONG(4 + std::u16string(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\Sub").size() * 2),
         [](HANDLE k, HANDLE, PUNICODE_STRING, PVOID b, ULONG l, PULONG r) {
             return ZwQueryKey(k, KeyNameInformation, b, l, r);
         }},
    };
    for (const Case& test : cases) {
        std::vector<uint8_t> buffer(test.whole, 0xEE);
        ULONG length = 0;
        EXPECT_EQ(test.query(key, parent, &rate, nullptr, 0, &length), STATUS_BUFFER_TOO_SMALL) << test.what;
        EXPECT_EQ(length, test.whole) << test.what;
        length = 0;
        EXPECT_EQ(test.query(key, parent, &rate, buffer.data(), test.fixed - 1, &length), STATUS_BUFFER_TOO_SMALL)
            << test.what;
        EXPECT_EQ(length, test.whole) << test.what;
        EXPECT_EQ(buffer[0], 0xEE) << test.what << ": nothing is written into a buffer that is too small";
        if (test.fixed < test.whole) {
            length = 0;
            EXPECT_EQ(test.query(key, parent, &rate, buffer.data(), test.fixed, &length), STATUS_BUFFER_OVERFLOW)
                << test.what;
            EXPECT_EQ(length, test.whole) << test.what;
        }
        length = 0;
        EXPECT_EQ(test.query(key, parent, &rate, buffer.data(), test.whole, &length), STATUS_SUCCESS) << test.what;
        EXPECT_EQ(length, test.whole) << test.what;
    }
    ZwClose(key);
    ZwClose(parent);
}

TEST_F(ZwRegistry, AnOverflowCutsNamesButNeverData)
{
    sim::registry::MachineRegistry().SetValue(kVendorKey + u"\\Subkey", u"Name", REG_BINARY, {1, 2, 3, 4, 5, 6});
    HANDLE vendor = nullptr;
    ASSERT_EQ(OpenKey(kVendorKey, nullptr, &vendor), STATUS_SUCCESS);
    alignas(8) uint8_t buffer[64];
    ULONG length = 0;

    std::memset(buffer, 0xEE, sizeof buffer);
    ASSERT_EQ(ZwEnumerateKey(vendor, 0, KeyBasicInformation, buffer, 16 + 4, &length), STATUS_BUFFER_OVERFLOW);
    const auto* basic = reinterpret_cast<const KEY_BASIC_INFORMATION*>(buffer);
    EXPECT_EQ(basic->NameLength, 12u) << "the whole name's length";
    EXPECT_EQ(std::u16string(basic->Name, 2), u"Su") << "as much of the name as fits";
    EXPECT_EQ(buffer[20], 0xEE);

    HANDLE subkey = nullptr;
    ASSERT_EQ(OpenKey(u"Subkey", vendor, &subkey), STATUS_SUCCESS);
    UNICODE_STRING name = Counted(u"Name");
    std::memset(buffer, 0xEE, sizeof buffer);
    ASSERT_EQ(ZwQueryValueKey(subkey, &name, KeyValuePartialInformation, buffer, 12 + 5, &length),
              STATUS_BUFFER_OVERFLOW);
    const auto* partial = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    EXPECT_EQ(partial->Type, ULONG(REG_BINARY));
    EXPECT_EQ(partial->DataLength, 6u);
    EXPECT_EQ(partial->Data[0], 0xEE) << "data that does not fit whole is not copied";

    ASSERT_EQ(ZwQueryValueKey(subkey, &name, KeyValueFullInformation, buffer, sizeof buffer, &length), STATUS_SUCCESS);
    const auto* full = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION*>(buffer);
    EXPECT_EQ(full->DataOffset, 28u);
    EXPECT_EQ(full->DataLength, 6u);
    EXPECT_EQ(std::vector<uint8_t>(buffer + full->DataOffset, buffer + full->DataOffset + 6),
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
    ZwClose(subkey);
    ZwClose(vendor);
}

TEST_F(ZwRegistry, KeysReportTheirCountsAndFullNames)
{
    sim::registry::Store& store = sim::registry::MachineRegistry();
    const std::u16string device = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_F0E1&PID_0109";
    store.SetDword(device + u"\\R9A0001", u"ConfigFlags", 0);
    store.SetString(device, u"LongerValueName", u"twelve bytes");
    store.SetDword(device, u"Short", 1);
    store.CreatePath(device + u"\\Instance2");

    HANDLE key = nullptr;
    ASSERT_EQ(OpenKey(device, nullptr, &key), STATUS_SUCCESS);
    alignas(8) uint8_t buffer[512];
    ULONG length = 0;
    ASSERT_EQ(ZwQueryKey(key, KeyFullInformation, buffer, sizeof buffer, &length), STATUS_SUCCESS);
    const auto* full = reinterpret_cast<const KEY_FULL_INFORMATION*>(buffer);
    EXPECT_EQ(full->SubKeys, 2u);
    EXPECT_EQ(full->MaxNameLen, 18u) << "\"Instance2\"";
    EXPECT_EQ(full->Values, 2u);
    EXPECT_EQ(full->MaxValueNameLen, 30u);
    EXPECT_EQ(full->MaxValueDataLen, 26u);
    EXPECT_EQ(full->ClassLength, 0u);

    ASSERT_EQ(ZwQueryKey(key, KeyNameInformation, buffer, sizeof buffer, &length), STATUS_SUCCESS);
    const auto* name = reinterpret_cast<const KEY_NAME_INFORMATION*>(buffer);
    EXPECT_EQ(std::u16string(name->Name, name->NameLength / 2),
              u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Enum\\USB\\VID_F0E1&PID_0109")
        << "the name of where the key lives, not of the link it was opened through";

    EXPECT_EQ(ZwEnumerateKey(key, 2, KeyBasicInformation, buffer, sizeof buffer, &length), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(ZwEnumerateKey(key, 0, KeyNameInformation, buffer, sizeof buffer, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwEnumerateValueKey(key, 2, KeyValueBasicInformation, buffer, sizeof buffer, &length),
              STATUS_NO_MORE_ENTRIES);
    ZwClose(key);
}

TEST_F(ZwRegistry, ValuesAreSetQueriedAndDeleted)
{
    HANDLE key = nullptr;
    ASSERT_EQ(CreateKey(kVendorKey, nullptr, &key, nullptr), STATUS_SUCCESS);
    UNICODE_STRING name = Counted(u"Initialized");
    ULONG one = 1;
    ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &one, sizeof one), STATUS_SUCCESS);
    UNICODE_STRING otherCase = Counted(u"INITIALIZED");
    alignas(8) uint8_t buffer[32];
    ULONG length = 0;
    ASSERT_EQ(ZwQueryValueKey(key, &otherCase, KeyValuePartialInformation, buffer, sizeof buffer, &length),
              STATUS_SUCCESS);
    const auto* partial = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    EXPECT_EQ(partial->Type, ULONG(REG_DWORD));
    EXPECT_EQ(partial->DataLength, 4u);
    EXPECT_EQ(partial->Data[0], 1);

    EXPECT_EQ(ZwDeleteValueKey(key, &otherCase), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &length),
              STATUS_OBJECT_NAME_NOT_FOUND);

    ASSERT_EQ(ZwDeleteKey(key), STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &one, sizeof one), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS) << "a deleted key's handle still closes";
}

TEST_F(ZwRegistry, CheckRegistryKeyLooksFromItsStartingPoint)
{
    sim::registry::MachineRegistry().CreatePath(u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\tvr9audio");
    WCHAR absolute[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tvr9audio";
    WCHAR service[] = u"tvr9audio";
    WCHAR missing[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\other";
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, absolute), STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, service), STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_CONTROL, service), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, missing), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_MAXIMUM, service), STATUS_INVALID_PARAMETER);
}

TEST(MachineRegistry, EachMachineStartsWithItsOwnRegistry)
{
    const std::u16string key = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Leftover";
    {
        sim::Machine first;
        sim::registry::MachineRegistry().SetDword(key, u"value", 1);
        EXPECT_TRUE(sim::registry::MachineRegistry().Exists(key));
    }
    sim::Machine second;
    EXPECT_FALSE(sim::registry::MachineRegistry().Exists(key));
    EXPECT_TRUE(sim::registry::MachineRegistry().Exists(u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum"));
}

}  // namespace
