#include "tools/asiohost/installed_drivers.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace asiohost {

namespace {

const WCHAR kAsioKey[] = W("SOFTWARE\\ASIO");
// Registry key names are at most 255 characters.
constexpr DWORD kKeyNameCharacters = 256;
constexpr DWORD kTextCharacters = 512;

// A REG_SZ value as UTF-8; false when it is missing or of another type. Values written without
// their terminator (as many drivers write them) are terminated here.
bool ReadText(HKEY key, const WCHAR* name, std::string& text)
{
    WCHAR buffer[kTextCharacters + 1] = {};
    DWORD size = kTextCharacters * sizeof(WCHAR);
    DWORD type = REG_NONE;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return false;
    }
    buffer[size / sizeof(WCHAR)] = 0;
    text = Utf8(buffer);
    return true;
}

void ReadServer(InstalledDriver& driver, const WCHAR* clsidText)
{
    std::basic_string<WCHAR> path = W("CLSID\\");
    path += clsidText;
    path += W("\\InprocServer32");
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return;
    }
    ReadText(key, nullptr, driver.serverPath);
    ReadText(key, W("ThreadingModel"), driver.threadingModel);
    RegCloseKey(key);
}

InstalledDriver ReadDriver(HKEY asio, const WCHAR* name)
{
    InstalledDriver driver;
    driver.name = Utf8(name);
    HKEY key = nullptr;
    if (RegOpenKeyExW(asio, name, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        driver.problem = "its key cannot be opened";
        return driver;
    }
    ReadText(key, W("Description"), driver.description);
    WCHAR clsid[kTextCharacters + 1] = {};
    DWORD size = kTextCharacters * sizeof(WCHAR);
    DWORD type = REG_NONE;
    const LSTATUS error = RegQueryValueExW(key, W("CLSID"), nullptr, &type, reinterpret_cast<BYTE*>(clsid), &size);
    RegCloseKey(key);
    if (error != ERROR_SUCCESS || type != REG_SZ) {
        driver.problem = "no \"CLSID\" value";
        return driver;
    }
    clsid[size / sizeof(WCHAR)] = 0;
    driver.clsidText = Utf8(clsid);
    if (FAILED(CLSIDFromString(clsid, &driver.clsid))) {
        driver.problem = "\"CLSID\" is not a class ID";
        return driver;
    }
    driver.usable = true;
    ReadServer(driver, clsid);
    return driver;
}

bool SameName(const std::string& left, const std::string& right)
{
    return left.size() == right.size() &&
           std::equal(left.begin(), left.end(), right.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

}  // namespace

std::string Utf8(const WCHAR* text)
{
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) {
        return std::string();
    }
    std::string result(size_t(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], bytes, nullptr, nullptr);
    result.resize(size_t(bytes) - 1);
    return result;
}

std::vector<InstalledDriver> ListInstalledDrivers()
{
    std::vector<InstalledDriver> drivers;
    HKEY asio = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAsioKey, 0, KEY_READ, &asio) != ERROR_SUCCESS) {
        return drivers;
    }
    for (DWORD index = 0;; ++index) {
        WCHAR name[kKeyNameCharacters] = {};
        DWORD length = kKeyNameCharacters;
        if (RegEnumKeyExW(asio, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        drivers.push_back(ReadDriver(asio, name));
    }
    RegCloseKey(asio);
    return drivers;
}

const InstalledDriver* FindDriver(const std::vector<InstalledDriver>& drivers, const std::string& nameOrNumber)
{
    for (const InstalledDriver& driver : drivers) {
        if (SameName(driver.name, nameOrNumber)) {
            return &driver;
        }
    }
    char* end = nullptr;
    const unsigned long number = std::strtoul(nameOrNumber.c_str(), &end, 10);
    if (!nameOrNumber.empty() && *end == 0 && number >= 1 && number <= drivers.size()) {
        return &drivers[number - 1];
    }
    return nullptr;
}

}  // namespace asiohost
