// COM on the simulated machine: apartments per thread, task memory, property variants, and
// in-process activation through the registry (com_servers.h). Every class is created on the
// calling thread whatever its ThreadingModel: the product's classes are free-threaded.
#include <cstdlib>
#include <cstring>

#include "sim/pnp/device_tree.h"
#include "sim/registry/machine_registry.h"
#include "sim/user/com_servers.h"
#include "sim/user/mmdevice_server.h"
#include "sim/user/user_machine.h"

namespace sim::user {

namespace {

constexpr char16_t kMmDevicePath[] = u"C:\\Windows\\System32\\MMDevAPI.dll";

struct LoadedModule {
    Process* process;
    std::u16string path;
    HMODULE handle;
    ULONG references;  // LoadLibraryW's and COM's; FreeLibrary gives one back
};

class ComRuntime final : public MachineComponent {
public:
    std::mutex lock;
    std::map<std::u16string, InprocServerExports> servers;  // keyed by the upper-cased path
    std::vector<LoadedModule> loaded;
    ULONG_PTR nextModule = 0x10000000;
    bool systemServersRegistered = false;
};

ComRuntime& Runtime() { return Machine::Current().Component<ComRuntime>(); }

// The classes Windows registers for its own DLLs, written when COM is first used.
void RegisterSystemServers()
{
    ComRuntime& runtime = Runtime();
    {
        std::lock_guard<std::mutex> held(runtime.lock);
        if (runtime.systemServersRegistered) {
            return;
        }
        runtime.systemServersRegistered = true;
        runtime.servers[registry::UpcaseName(kMmDevicePath)] = {&MmDeviceGetClassObject, nullptr};
    }
    const std::u16string key =
        std::u16string(registry::kMachineClassesPath) + u"\\CLSID\\" + pnp::GuidText(CLSID_MMDeviceEnumerator, true) +
        u"\\InprocServer32";
    registry::Store& store = registry::MachineRegistry();
    const std::u16string expandable = u"%SystemRoot%\\System32\\MMDevAPI.dll";
    std::vector<uint8_t> bytes((expandable.size() + 1) * sizeof(WCHAR));
    std::memcpy(bytes.data(), expandable.c_str(), bytes.size());
    store.SetValue(key, u"", REG_EXPAND_SZ, bytes);
    store.SetString(key, u"ThreadingModel", u"Both");
}

// The server's path for a class: the InprocServer32 key's default value, environment expanded.
HRESULT ServerPath(REFCLSID clsid, std::u16string& path)
{
    const std::u16string classKey = u"CLSID\\" + pnp::GuidText(clsid, true) + u"\\InprocServer32";
    HKEY key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, reinterpret_cast<LPCWSTR>(classKey.c_str()), 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return REGDB_E_CLASSNOTREG;
    }
    WCHAR buffer[MAX_PATH + 1] = {};
    DWORD size = sizeof buffer - sizeof(WCHAR);
    DWORD type = 0;
    const LSTATUS error = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size);
    RegCloseKey(key);
    if (error != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return REGDB_E_CLASSNOTREG;
    }
    path = buffer;
    const std::u16string root = u"%SystemRoot%";
    if (registry::NamesEqual(path.substr(0, root.size()), root)) {
        path.replace(0, root.size(), u"C:\\Windows");
    }
    return S_OK;
}

// Loads the server into the calling process (once; each further load only counts) and returns
// its exports and module handle.
HRESULT LoadServer(const std::u16string& path, InprocServerExports& exports, HMODULE* handle = nullptr)
{
    ComRuntime& runtime = Runtime();
    Process* process = &CurrentProcess("CoGetClassObject");
    std::lock_guard<std::mutex> held(runtime.lock);
    auto found = runtime.servers.find(registry::UpcaseName(path));
    if (found == runtime.servers.end()) {
        return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    }
    exports = found->second;
    for (LoadedModule& module : runtime.loaded) {
        if (module.process == process && registry::NamesEqual(module.path, path)) {
            if (handle != nullptr) {
                ++module.references;
                *handle = module.handle;
            }
            return S_OK;
        }
    }
    runtime.loaded.push_back({process, path, reinterpret_cast<HMODULE>(runtime.nextModule), 1});
    if (handle != nullptr) {
        *handle = runtime.loaded.back().handle;
    }
    runtime.nextModule += 0x10000;
    return S_OK;
}

}  // namespace

void RegisterInprocServer(const std::u16string& path, InprocServerExports exports)
{
    ComRuntime& runtime = Runtime();
    std::lock_guard<std::mutex> held(runtime.lock);
    runtime.servers[registry::UpcaseName(path)] = exports;
}

void UnloadModules(Process& process)
{
    ComRuntime& runtime = Runtime();
    std::lock_guard<std::mutex> held(runtime.lock);
    std::vector<LoadedModule> kept;
    for (const LoadedModule& module : runtime.loaded) {
        if (module.process != &process) {
            kept.push_back(module);
        }
    }
    runtime.loaded.swap(kept);
}

bool ModulePath(Process& process, HMODULE handle, std::u16string& path)
{
    ComRuntime& runtime = Runtime();
    std::lock_guard<std::mutex> held(runtime.lock);
    for (const LoadedModule& module : runtime.loaded) {
        if (module.process == &process && module.handle == handle) {
            path = module.path;
            return true;
        }
    }
    return false;
}

}  // namespace sim::user

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit)
{
    sim::user::Win32Thread& thread = sim::user::CurrentWin32Thread(__func__);
    if (pvReserved != nullptr || (dwCoInit & ~DWORD(COINIT_APARTMENTTHREADED | 0x4 | 0x8)) != 0) {
        return E_INVALIDARG;
    }
    const DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
    if (thread.comInitializations > 0 && thread.comModel != model) {
        return RPC_E_CHANGED_MODE;
    }
    sim::user::RegisterSystemServers();
    thread.comModel = model;
    return thread.comInitializations++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize()
{
    sim::user::Win32Thread& thread = sim::user::CurrentWin32Thread(__func__);
    if (thread.comInitializations > 0) {
        --thread.comInitializations;
    }
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid, LPVOID* ppv)
{
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (sim::user::CurrentWin32Thread(__func__).comInitializations == 0) {
        return CO_E_NOTINITIALIZED;
    }
    if ((dwClsContext & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)) == 0) {
        return REGDB_E_CLASSNOTREG;
    }
    std::u16string path;
    HRESULT result = sim::user::ServerPath(rclsid, path);
    if (FAILED(result)) {
        return result;
    }
    sim::user::InprocServerExports exports;
    result = sim::user::LoadServer(path, exports);
    if (FAILED(result)) {
        return result;
    }
    return exports.getClassObject(rclsid, riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv)
{
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    IClassFactory* factory = nullptr;
    HRESULT result = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory,
                                      reinterpret_cast<LPVOID*>(&factory));
    if (FAILED(result)) {
        return result;
    }
    result = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    return result;
}

HMODULE LoadLibraryW(LPCWSTR lpLibFileName)
{
    if (lpLibFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Only the in-process servers the machine knows are there to load.
    sim::user::InprocServerExports exports;
    HMODULE handle = nullptr;
    if (FAILED(sim::user::LoadServer(lpLibFileName, exports, &handle))) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return handle;
}

BOOL FreeLibrary(HMODULE hLibModule)
{
    sim::user::ComRuntime& runtime = sim::user::Runtime();
    sim::user::Process* process = &sim::user::CurrentProcess(__func__);
    std::lock_guard<std::mutex> held(runtime.lock);
    for (auto module = runtime.loaded.begin(); module != runtime.loaded.end(); ++module) {
        if (module->process == process && module->handle == hLibModule) {
            if (--module->references == 0) {
                runtime.loaded.erase(module);
            }
            return TRUE;
        }
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
}

HMODULE GetModuleHandleW(LPCWSTR lpModuleName)
{
    if (lpModuleName == nullptr) {
        // Where a 64-bit program's image is mapped by default.
        return reinterpret_cast<HMODULE>(ULONG_PTR(0x140000000));
    }
    if (sim::user::IsKernel32(lpModuleName)) {
        return sim::user::Kernel32Module();
    }
    // A name without a folder matches a loaded module's file name, a full path its path.
    const std::u16string name(lpModuleName);
    const bool withFolder = name.find(u'\\') != std::u16string::npos;
    sim::user::ComRuntime& runtime = sim::user::Runtime();
    sim::user::Process* process = &sim::user::CurrentProcess(__func__);
    std::lock_guard<std::mutex> held(runtime.lock);
    for (const sim::user::LoadedModule& module : runtime.loaded) {
        const std::u16string fileName = module.path.substr(module.path.rfind(u'\\') + 1);
        if (module.process == process && sim::registry::NamesEqual(withFolder ? module.path : fileName, name)) {
            return module.handle;
        }
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

namespace {

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" with hex digits of either case, nothing around it.
bool ParseRegistryGuid(const WCHAR* text, GUID& guid)
{
    static const char kShape[] = "{________-____-____-____-____________}";
    if (wcslen(text) != sizeof kShape - 1) {
        return false;
    }
    uint8_t bytes[16] = {};
    int digits = 0;
    for (size_t i = 0; kShape[i] != 0; ++i) {
        const WCHAR c = text[i];
        if (kShape[i] != '_') {
            if (c != WCHAR(kShape[i])) {
                return false;
            }
            continue;
        }
        int value;
        if (c >= '0' && c <= '9') {
            value = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            value = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            value = c - 'A' + 10;
        } else {
            return false;
        }
        bytes[digits / 2] = uint8_t(bytes[digits / 2] << 4 | value);
        ++digits;
    }
    // The text reads the first three fields as numbers, the last eight bytes in order.
    guid.Data1 = ULONG(bytes[0]) << 24 | ULONG(bytes[1]) << 16 | ULONG(bytes[2]) << 8 | bytes[3];
    guid.Data2 = USHORT(bytes[4] << 8 | bytes[5]);
    guid.Data3 = USHORT(bytes[6] << 8 | bytes[7]);
    std::memcpy(guid.Data4, bytes + 8, 8);
    return true;
}

}  // namespace

// As ole32 does: the braced form, or else a ProgID looked up in HKEY_CLASSES_ROOT. Anything
// else is CO_E_CLASSSTRING, and the CLSID is then zeroed.
HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid)
{
    if (pclsid == nullptr) {
        return E_INVALIDARG;
    }
    *pclsid = CLSID{};
    if (lpsz == nullptr) {
        return S_OK;  // a null string names CLSID_NULL
    }
    if (ParseRegistryGuid(lpsz, *pclsid)) {
        return S_OK;
    }
    if (lpsz[0] == '{') {
        return CO_E_CLASSSTRING;
    }
    const std::u16string key = std::u16string(reinterpret_cast<const char16_t*>(lpsz)) + u"\\CLSID";
    HKEY progId = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, reinterpret_cast<LPCWSTR>(key.c_str()), 0, KEY_READ, &progId) !=
        ERROR_SUCCESS) {
        return CO_E_CLASSSTRING;
    }
    WCHAR text[40] = {};
    DWORD size = sizeof text - sizeof(WCHAR);
    DWORD type = REG_NONE;
    const LSTATUS error = RegQueryValueExW(progId, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(text), &size);
    RegCloseKey(progId);
    if (error != ERROR_SUCCESS || type != REG_SZ || !ParseRegistryGuid(text, *pclsid)) {
        *pclsid = CLSID{};
        return CO_E_CLASSSTRING;
    }
    return S_OK;
}

LPVOID CoTaskMemAlloc(SIZE_T cb) { return std::malloc(cb == 0 ? 1 : cb); }

void CoTaskMemFree(LPVOID pv) { std::free(pv); }

HRESULT PropVariantClear(PROPVARIANT* pvar)
{
    if (pvar == nullptr) {
        return S_OK;
    }
    switch (pvar->vt) {
    case VT_EMPTY:
    case VT_UI4:
        break;
    case VT_LPWSTR:
        CoTaskMemFree(pvar->pwszVal);
        break;
    case VT_BLOB:
        CoTaskMemFree(pvar->blob.pBlobData);
        break;
    default:
        return DISP_E_BADVARTYPE;
    }
    PropVariantInit(pvar);
    return S_OK;
}
