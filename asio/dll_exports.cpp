// The five entry points of tvr9asio.dll.
#include <new>

#include "asio/class_factory.h"
#include "asio/registration.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved)
{
    // The run-time's own start-up and shut-down run around this; nothing else is needed.
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out)
{
    if (!IsEqualGUID(iid, IID_IUnknown) && !IsEqualGUID(iid, IID_IClassFactory)) {
        return E_NOINTERFACE;
    }
    const ClassTableEntry* entry = FindClass(clsid);
    if (entry == nullptr) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    auto* factory = new (std::nothrow) CClassFactory(*entry);
    if (factory == nullptr) {
        return E_OUTOFMEMORY;
    }
    factory->AddRef();
    *out = static_cast<IClassFactory*>(factory);
    return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return CClassFactory::ServerLocks() > 0 || CBaseObject::LiveObjects() != 0 ? S_FALSE : S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() { return RegisterDriver(); }

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() { return UnregisterDriver(); }
