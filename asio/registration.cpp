#include "asio/registration.h"

#include <vector>

#include "asio/asio_driver.h"
#include "common/trace.h"

namespace {

const WCHAR kModuleName[] = W("tvr9asio.dll");
const WCHAR kDriverTitle[] = W("TAVO R9 ASIO Driver");
const WCHAR kAsioKey[] = W("SOFTWARE\\ASIO");
constexpr DWORD kModulePathCharacters = 360;
constexpr size_t kClsidCharacters = 100;
const HRESULT kRegistrationFailed = HRESULT(-1);

struct ModuleFacts {
    WCHAR path[kModulePathCharacters + 1];
    WCHAR clsid[kClsidCharacters];
};

// The module's path in lower case and the CLSID in registry form; false when either is missing.
bool LearnModule(ModuleFacts& facts)
{
    const HMODULE module = GetModuleHandleW(kModuleName);
    if (module == nullptr) {
        TraceEvent(W("registration: %ls is not loaded (error %lu)"), kModuleName, GetLastError());
        return false;
    }
    const DWORD length = GetModuleFileNameW(module, facts.path, kModulePathCharacters);
    if (length == 0 || length >= kModulePathCharacters) {
        return false;
    }
    CharLowerW(facts.path);
    const GUID& id = CLSID_QyxAsioDriver;
    return swprintf_s(facts.clsid, kClsidCharacters, W("{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}"),
                      static_cast<unsigned long>(id.Data1), unsigned(id.Data2), unsigned(id.Data3),
                      unsigned(id.Data4[0]), unsigned(id.Data4[1]), unsigned(id.Data4[2]), unsigned(id.Data4[3]),
                      unsigned(id.Data4[4]), unsigned(id.Data4[5]), unsigned(id.Data4[6]),
                      unsigned(id.Data4[7])) > 0;
}

void SetText(HKEY key, const WCHAR* name, const WCHAR* text)
{
    // The length counts the characters without the terminator.
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), DWORD(wcslen(text) * sizeof(WCHAR)));
}

bool KeyExists(HKEY parent, const WCHAR* path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// Deletes the key with everything below it, deepest first.
void DeleteTree(HKEY parent, const WCHAR* path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        return;
    }
    std::vector<std::vector<WCHAR>> children;
    for (DWORD index = 0;; ++index) {
        WCHAR name[256];
        DWORD length = ARRAYSIZE(name);
        if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        children.emplace_back(name, name + length + 1);
    }
    for (std::vector<WCHAR>& child : children) {
        DeleteTree(key, child.data());
    }
    RegCloseKey(key);
    RegDeleteKeyW(parent, path);
}

HKEY CreateKey(HKEY parent, const WCHAR* path)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        TraceEvent(W("registration: cannot create %ls"), path);
        return nullptr;
    }
    return key;
}

// The server path the class is registered with, lower-cased; empty when none fits.
void RegisteredPath(const WCHAR* classKey, WCHAR (&path)[kModulePathCharacters + 1])
{
    path[0] = 0;
    WCHAR serverKey[kClsidCharacters + 32];
    swprintf_s(serverKey, ARRAYSIZE(serverKey), W("%ls\\InprocServer32"), classKey);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, serverKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return;
    }
    DWORD type = REG_NONE;
    DWORD size = kModulePathCharacters * sizeof(WCHAR);
    if (RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(path), &size) == ERROR_SUCCESS &&
        type == REG_SZ) {
        path[size / sizeof(WCHAR)] = 0;
        CharLowerW(path);
    } else {
        path[0] = 0;
    }
    RegCloseKey(key);
}

}  // namespace

HRESULT RegisterDriver()
{
    ModuleFacts facts = {};
    if (!LearnModule(facts)) {
        return kRegistrationFailed;
    }
    WCHAR classKey[kClsidCharacters + 8];
    swprintf_s(classKey, ARRAYSIZE(classKey), W("CLSID\\%ls"), facts.clsid);
    bool writeClass = true;
    if (KeyExists(HKEY_CLASSES_ROOT, classKey)) {
        WCHAR registered[kModulePathCharacters + 1];
        RegisteredPath(classKey, registered);
        // Registered from this very file: the class keys stay as they are.
        writeClass = wcscmp(registered, facts.path) != 0;
        if (writeClass) {
            DeleteTree(HKEY_CLASSES_ROOT, classKey);
        }
    }
    if (writeClass) {
        if (HKEY key = CreateKey(HKEY_CLASSES_ROOT, classKey)) {
            SetText(key, nullptr, kDriverTitle);
            if (HKEY server = CreateKey(key, W("InprocServer32"))) {
                SetText(server, nullptr, facts.path);
                SetText(server, W("ThreadingModel"), W("Apartment"));
                RegCloseKey(server);
            }
            RegCloseKey(key);
        }
    }
    if (KeyExists(HKEY_LOCAL_MACHINE, kAsioKey)) {
        HKEY asio = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAsioKey, 0, KEY_ALL_ACCESS, &asio) == ERROR_SUCCESS) {
            DeleteTree(asio, kDriverTitle);
            RegCloseKey(asio);
        }
    }
    if (HKEY asio = CreateKey(HKEY_LOCAL_MACHINE, kAsioKey)) {
        if (HKEY driver = CreateKey(asio, kDriverTitle)) {
            SetText(driver, W("CLSID"), facts.clsid);
            SetText(driver, W("Description"), kDriverTitle);
            RegCloseKey(driver);
        }
        RegCloseKey(asio);
    }
    return S_OK;
}

HRESULT UnregisterDriver()
{
    ModuleFacts facts = {};
    if (!LearnModule(facts)) {
        return kRegistrationFailed;
    }
    WCHAR classKey[kClsidCharacters + 8];
    swprintf_s(classKey, ARRAYSIZE(classKey), W("CLSID\\%ls"), facts.clsid);
    DeleteTree(HKEY_CLASSES_ROOT, classKey);
    HKEY asio = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAsioKey, 0, KEY_ALL_ACCESS, &asio) == ERROR_SUCCESS) {
        DeleteTree(asio, kDriverTitle);
        RegCloseKey(asio);
    }
    return S_OK;
}
