// The COM server as hosts and regsvr32 use it: registration from one path and another, creation
// through CoCreateInstance with the CLSID as interface ID, one driver object per process, one
// host in the system while it streams, and when the module may be unloaded.
#include <string>

#include "asio/class_factory.h"
#include "sim/user/com_servers.h"
#include "sim/user/processes.h"
#include "tests/asio/driver_bench.h"

extern "C" HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out);
extern "C" HRESULT DllCanUnloadNow();
extern "C" HRESULT DllRegisterServer();
extern "C" HRESULT DllUnregisterServer();

namespace asiotest {
namespace {

using asiokerneltest::AsioBench;

const WCHAR kInstalledPath[] = W("C:\\Program Files\\TAVO\\R9\\TVR9ASIO.dll");
const WCHAR kOtherPath[] = W("D:\\Drivers\\tvr9asio.dll");
const WCHAR kClassKey[] = W("CLSID\\{8B530174-8B34-48B8-AA68-B3170BDFC34E}");
const WCHAR kAsioDriverKey[] = W("SOFTWARE\\ASIO\\TAVO R9 ASIO Driver");

void RegisterModules()
{
    for (const WCHAR* path : {kInstalledPath, kOtherPath}) {
        sim::user::RegisterInprocServer(path, {&DllGetClassObject, &DllCanUnloadNow});
    }
}

// A REG_SZ value as text; "(none)" when the key or value is missing.
std::u16string Text(HKEY root, const WCHAR* path, const WCHAR* name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return u"(none)";
    }
    WCHAR text[400] = {};
    DWORD size = sizeof text - sizeof(WCHAR);
    DWORD type = REG_NONE;
    const LSTATUS error = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(key);
    return error == ERROR_SUCCESS && type == REG_SZ ? std::u16string(reinterpret_cast<char16_t*>(text)) : u"(none)";
}

void Mark(HKEY root, const WCHAR* path)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(root, path, 0, KEY_WRITE, &key), ERROR_SUCCESS);
    const WCHAR mark[] = W("mark");
    RegSetValueExW(key, W("mark"), 0, REG_SZ, reinterpret_cast<const BYTE*>(mark), sizeof mark);
    RegCloseKey(key);
}

TEST(AsioComServer, RegistrationFromTheSamePathAndFromAnother)
{
    AsioBench bench;
    RegisterModules();
    EXPECT_EQ(DllRegisterServer(), HRESULT(-1)) << "not loaded: no path to register";
    HMODULE module = LoadLibraryW(kInstalledPath);
    ASSERT_NE(module, nullptr);
    ASSERT_EQ(DllRegisterServer(), S_OK);
    EXPECT_EQ(Text(HKEY_CLASSES_ROOT, kClassKey, nullptr), u"TAVO R9 ASIO Driver");
    const std::u16string server = std::u16string(reinterpret_cast<const char16_t*>(kClassKey)) + u"\\InprocServer32";
    const auto* serverKey = reinterpret_cast<const WCHAR*>(server.c_str());
    EXPECT_EQ(Text(HKEY_CLASSES_ROOT, serverKey, nullptr), u"c:\\program files\\tavo\\r9\\tvr9asio.dll");
    EXPECT_EQ(Text(HKEY_CLASSES_ROOT, serverKey, W("ThreadingModel")), u"Apartment");
    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, kAsioDriverKey, W("CLSID")), u"{8B530174-8B34-48B8-AA68-B3170BDFC34E}");
    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, kAsioDriverKey, W("Description")), u"TAVO R9 ASIO Driver");

    // Again from the same file: the class keys stay, the ASIO key is written anew.
    Mark(HKEY_CLASSES_ROOT, kClassKey);
    Mark(HKEY_LOCAL_MACHINE, kAsioDriverKey);
    ASSERT_EQ(DllRegisterServer(), S_OK);
    EXPECT_EQ(Text(HKEY_CLASSES_ROOT, kClassKey, W("mark")), u"mark");
    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, kAsioDriverKey, W("mark")), u"(none)");

    // From another file: the class keys are replaced.
    ASSERT_TRUE(FreeLibrary(module));
    module = LoadLibraryW(kOtherPath);
    ASSERT_EQ(DllRegisterServer(), S_OK);
    EXPECT_EQ(Text(HKEY_CLASSES_ROOT, kClassKey, W("mark")), u"(none)");
    EXPECT_EQ(Text(HKEY_CLASSES_ROOT, serverKey, nullptr), u"d:\\drivers\\tvr9asio.dll");

    ASSERT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_EQ(Text(HKEY_CLASSES_ROOT, kClassKey, nullptr), u"(none)");
    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, kAsioDriverKey, W("CLSID")), u"(none)");
    HKEY asio = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, W("SOFTWARE\\ASIO"), 0, KEY_READ, &asio), ERROR_SUCCESS)
        << "other drivers' parent key stays";
    RegCloseKey(asio);
    FreeLibrary(module);
}

IASIO* CreateAsHostsDo(HRESULT* result)
{
    IASIO* driver = nullptr;
    *result = CoCreateInstance(CLSID_QyxAsioDriver, nullptr, CLSCTX_INPROC_SERVER, CLSID_QyxAsioDriver,
                               reinterpret_cast<void**>(&driver));
    return driver;
}

TEST(AsioComServer, OneDriverObjectPerProcessAndUnloadingFollowsTheObjects)
{
    AsioBench bench;
    RegisterModules();
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    HMODULE module = LoadLibraryW(kInstalledPath);
    ASSERT_EQ(DllRegisterServer(), S_OK);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);

    HRESULT result = E_FAIL;
    IASIO* first = CreateAsHostsDo(&result);
    ASSERT_EQ(result, S_OK);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->init(nullptr), ASIOTrue);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    EXPECT_EQ(CreateAsHostsDo(&result), nullptr);
    EXPECT_EQ(result, E_OUTOFMEMORY);
    IUnknown* unknown = nullptr;
    ASSERT_EQ(first->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(unknown->Release(), 1u);
    EXPECT_EQ(first->Release(), 0u);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    IASIO* again = CreateAsHostsDo(&result);
    ASSERT_EQ(result, S_OK) << "the first object's end made room";
    again->Release();

    IClassFactory* factory = nullptr;
    EXPECT_EQ(DllGetClassObject(CLSID_QyxAsioDriver, IID_IPropertyStore, reinterpret_cast<void**>(&factory)),
              E_NOINTERFACE);
    EXPECT_EQ(DllGetClassObject(IID_IPropertyStore, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
              CLASS_E_CLASSNOTAVAILABLE);
    ASSERT_EQ(DllGetClassObject(CLSID_QyxAsioDriver, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "a factory in a host's hands";
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->Release(), 0u);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "locked";
    ASSERT_EQ(DllGetClassObject(CLSID_QyxAsioDriver, IID_IUnknown, reinterpret_cast<void**>(&factory)), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    IUnknown* aggregated = nullptr;
    EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown*>(factory), CLSID_QyxAsioDriver,
                                      reinterpret_cast<void**>(&aggregated)),
              E_NOINTERFACE);
    factory->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    FreeLibrary(module);
    CoUninitialize();
}

// A second host program while the first streams: its driver is made through COM and refused.
int ComHostMain(int, WCHAR**)
{
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HRESULT result = E_FAIL;
    IASIO* driver = CreateAsHostsDo(&result);
    if (driver == nullptr) {
        return 10;
    }
    const int code = driver->init(nullptr) == ASIOTrue ? 3 : ErrorText(driver) == "Used by another ASIO host\n" ? 1 : 2;
    driver->Release();
    CoUninitialize();
    return code;
}

TEST(AsioComServer, SecondHostProcessIsRefusedWhileTheFirstStreams)
{
    AsioBench bench;
    RegisterModules();
    sim::user::RegisterProgram(u"C:\\Program Files\\Other\\other.exe", &ComHostMain);
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    HMODULE module = LoadLibraryW(kInstalledPath);
    ASSERT_EQ(DllRegisterServer(), S_OK);
    HRESULT result = E_FAIL;
    IASIO* driver = CreateAsHostsDo(&result);
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    TestHost host;
    ASIOBufferInfo infos[2] = {{ASIOTrue, 0, {}}, {ASIOFalse, 0, {}}};
    ASSERT_EQ(driver->createBuffers(infos, 2, 256, host.Callbacks()), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    Sleep(50);

    EXPECT_EQ(RunProgram(W("C:\\Program Files\\Other\\other.exe")), 1u);

    const int switches = host.switches;
    Sleep(50);
    EXPECT_GT(host.switches, switches + 5) << "the first host streams on";
    EXPECT_EQ(host.resetRequests, 0);
    driver->Release();  // stops and disposes on its way out
    FreeLibrary(module);
    CoUninitialize();
}

}  // namespace
}  // namespace asiotest
