// Finding drivers as hosts find them, in the registry of a machine with no device: none without
// the ASIO key, subkeys without a usable CLSID listed but not usable, several drivers in order and
// found by name or number; and the program's list of them.
#include <gtest/gtest.h>

#include <sstream>

#include "sim/kernel/machine.h"
#include "sim/user/processes.h"
#include "tools/asiohost/installed_drivers.h"
#include "tools/asiohost/program.h"

namespace asiohost {
namespace {

const char kClsid[] = "{8B530174-8B34-48B8-AA68-B3170BDFC34E}";

class InstalledDriversTest : public ::testing::Test {
protected:
    void SetText(HKEY root, const std::string& path, const WCHAR* name, const std::string& text)
    {
        const std::u16string widePath = sim::Utf8ToUtf16(path);
        const std::u16string wideText = sim::Utf8ToUtf16(text);
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(root, reinterpret_cast<LPCWSTR>(widePath.c_str()), 0, nullptr, 0, KEY_WRITE,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        // Without the terminator, as drivers often write their keys.
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(wideText.c_str()),
                       DWORD(wideText.size() * sizeof(WCHAR)));
        RegCloseKey(key);
    }
    void AddDriver(const std::string& name, const std::string& clsid, const std::string& description)
    {
        SetText(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\" + name, W("CLSID"), clsid);
        SetText(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\" + name, W("Description"), description);
    }
    std::string List()
    {
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(RunProgram({"--list"}, out, err), 0) << err.str();
        return out.str();
    }

    sim::Machine machine_;
    sim::user::ProcessScope process_{u"C:\\Tools\\asiohost.exe"};
};

TEST_F(InstalledDriversTest, NoAsioKeyNoDrivers)
{
    EXPECT_TRUE(ListInstalledDrivers().empty());
    EXPECT_EQ(List(), "ASIO drivers: 0\n");
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunProgram({"TAVO R9 ASIO Driver"}, out, err), 2);
    EXPECT_NE(err.str().find("no ASIO driver 'TAVO R9 ASIO Driver'"), std::string::npos) << err.str();
}

TEST_F(InstalledDriversTest, KeysWithoutAUsableClsidAreListedButNotUsable)
{
    SetText(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\No Class", W("Description"), "No Class");
    AddDriver("Braceless", "8B530174-8B34-48B8-AA68-B3170BDFC34E", "Braceless");
    AddDriver("Short", "{8B530174-8B34-48B8-AA68-B3170BDFC34}", "Short");
    const std::vector<InstalledDriver> drivers = ListInstalledDrivers();
    ASSERT_EQ(drivers.size(), 3u);
    for (const InstalledDriver& driver : drivers) {
        EXPECT_FALSE(driver.usable) << driver.name;
    }
    const InstalledDriver* none = FindDriver(drivers, "no class");
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none->problem, "no \"CLSID\" value");
    EXPECT_EQ(FindDriver(drivers, "Short")->problem, "\"CLSID\" is not a class ID");
    EXPECT_NE(List().find("No Class\n       description: No Class\n       not usable: no \"CLSID\" value"),
              std::string::npos);
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunProgram({"Braceless"}, out, err), 1);
    EXPECT_EQ(out.str(), "driver: Braceless is not usable: \"CLSID\" is not a class ID\n");
}

TEST_F(InstalledDriversTest, TwoDriversFoundByNameOrNumber)
{
    AddDriver("TAVO R9 ASIO Driver", kClsid, "TAVO R9 ASIO Driver");
    AddDriver("Other Interface", "{00112233-4455-6677-8899-aabbccddeeff}", "Other Interface ASIO");
    SetText(HKEY_CLASSES_ROOT, std::string("CLSID\\") + kClsid + "\\InprocServer32", nullptr,
            "c:\\program files\\tavo\\r9\\tvr9asio.dll");
    SetText(HKEY_CLASSES_ROOT, std::string("CLSID\\") + kClsid + "\\InprocServer32", W("ThreadingModel"),
            "Apartment");
    const std::vector<InstalledDriver> drivers = ListInstalledDrivers();
    ASSERT_EQ(drivers.size(), 2u);
    const InstalledDriver* r9 = FindDriver(drivers, "tavo r9 asio driver");
    ASSERT_NE(r9, nullptr);
    EXPECT_TRUE(r9->usable);
    EXPECT_EQ(r9->clsid.Data1, 0x8B530174u);
    EXPECT_EQ(r9->clsid.Data4[7], 0x4E);
    EXPECT_EQ(r9->serverPath, "c:\\program files\\tavo\\r9\\tvr9asio.dll");
    EXPECT_EQ(r9->threadingModel, "Apartment");
    const InstalledDriver* other = FindDriver(drivers, "Other Interface");
    ASSERT_NE(other, nullptr);
    EXPECT_TRUE(other->usable) << "lower-case hex digits are a class ID too";
    EXPECT_EQ(other->clsid.Data2, 0x4455);
    EXPECT_EQ(other->clsid.Data4[0], 0x88);
    EXPECT_EQ(other->description, "Other Interface ASIO");
    EXPECT_TRUE(other->serverPath.empty());
    // Numbers count from 1 in the registry's order.
    EXPECT_EQ(FindDriver(drivers, "1"), &drivers[0]);
    EXPECT_EQ(FindDriver(drivers, "2"), &drivers[1]);
    EXPECT_EQ(FindDriver(drivers, "3"), nullptr);
    EXPECT_EQ(FindDriver(drivers, "Other"), nullptr);
    const std::string list = List();
    EXPECT_NE(list.find("ASIO drivers: 2\n"), std::string::npos) << list;
    EXPECT_NE(list.find("server: c:\\program files\\tavo\\r9\\tvr9asio.dll (ThreadingModel Apartment)"),
              std::string::npos) << list;
    EXPECT_NE(list.find("Other Interface\n       description: Other Interface ASIO\n       CLSID: "
                        "{00112233-4455-6677-8899-aabbccddeeff}\n       not registered with COM"),
              std::string::npos) << list;
    // Neither can be created: COM does not know the one class, and the other's DLL is not there.
    const struct {
        const char* driver;
        const char* answer;
    } creations[] = {{"Other Interface", "create: failed, CoCreateInstance answers 0x80040154"},
                     {"TAVO R9 ASIO Driver", "create: failed, CoCreateInstance answers 0x8007007e"}};
    for (const auto& c : creations) {
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(RunProgram({c.driver}, out, err), 1);
        EXPECT_NE(out.str().find(c.answer), std::string::npos) << out.str();
    }
}

// The simulated ole32 reads a class ID's text as Windows does: braces, hex digits of either case,
// nothing around them; otherwise a ProgID registered under HKEY_CLASSES_ROOT.
TEST_F(InstalledDriversTest, ClassIdTextsAsOle32ReadsThem)
{
    SetText(HKEY_CLASSES_ROOT, "Tavo.R9Asio\\CLSID", nullptr, kClsid);
    const struct {
        const WCHAR* text;
        HRESULT result;
    } cases[] = {
        {W("{8B530174-8B34-48B8-AA68-B3170BDFC34E}"), S_OK},
        {W("{8b530174-8b34-48b8-aa68-b3170bdfc34e}"), S_OK},
        {W("Tavo.R9Asio"), S_OK},
        {W("{8B530174-8B34-48B8-AA68-B3170BDFC34E} "), CO_E_CLASSSTRING},
        {W("{8B530174-8B34-48B8-AA68B3170BDFC34E}"), CO_E_CLASSSTRING},
        {W("{8B530174-8B34-48B8-AA68-B3170BDFC34G}"), CO_E_CLASSSTRING},
        {W("Tavo.Unknown"), CO_E_CLASSSTRING},
    };
    for (const auto& c : cases) {
        CLSID clsid = {1, 2, 3, {4}};
        EXPECT_EQ(CLSIDFromString(c.text, &clsid), c.result) << Utf8(c.text);
        if (c.result == S_OK) {
            EXPECT_EQ(clsid.Data1, 0x8B530174u) << Utf8(c.text);
            EXPECT_EQ(clsid.Data3, 0x48B8) << Utf8(c.text);
            EXPECT_EQ(clsid.Data4[0], 0xAA) << Utf8(c.text);
        } else {
            EXPECT_EQ(clsid.Data1 | clsid.Data2 | clsid.Data3 | clsid.Data4[0], 0u) << "zeroed: " << Utf8(c.text);
        }
    }
}

TEST_F(InstalledDriversTest, ArgumentsItCannotTake)
{
    const struct {
        std::vector<std::string> arguments;
        const char* error;
    } cases[] = {
        {{"1", "--stream", "0"}, "--stream takes a number from 1 to 3600"},
        {{"1", "--bits", "40"}, "--bits takes a number from 8 to 32"},
        {{"1", "--buffer"}, "--buffer takes a number"},
        {{"1", "2"}, "one driver at a time"},
        {{"--loud"}, "unknown option '--loud'"},
    };
    for (const auto& c : cases) {
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(RunProgram(c.arguments, out, err), 2) << c.error;
        EXPECT_NE(err.str().find(c.error), std::string::npos) << err.str();
    }
}

}  // namespace
}  // namespace asiohost
