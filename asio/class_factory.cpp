#include "asio/class_factory.h"

#include <new>

#include "asio/asio_driver.h"

namespace {

ProcessLocal<LONG> g_ServerLocks;
// The driver object alive in this process: hosts get one at a time.
ProcessLocal<CQyxAsioDriver*> g_Driver;

CUnknown* CreateDriver(IUnknown* outer, HRESULT* result)
{
    if (g_Driver.Get() != nullptr) {
        return nullptr;
    }
    CQyxAsioDriver* driver = new (std::nothrow) CQyxAsioDriver(outer, &g_Driver.Get());
    if (driver == nullptr) {
        *result = E_OUTOFMEMORY;
    }
    g_Driver.Get() = driver;
    return driver;
}

const ClassTableEntry kClasses[] = {
    {W("QyxAsioDriver"), &CLSID_QyxAsioDriver, &CreateDriver},
};

}  // namespace

const ClassTableEntry* FindClass(REFCLSID clsid)
{
    for (const ClassTableEntry& entry : kClasses) {
        if (IsEqualGUID(clsid, *entry.clsid)) {
            return &entry;
        }
    }
    return nullptr;
}

// A factory counts among the module's live objects: a host that holds one may still create
// objects, so the module must stay loaded.
CClassFactory::CClassFactory(const ClassTableEntry& entry) : m_Entry(entry), m_References(0) { }

HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID iid, void** out)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IClassFactory)) {
        *out = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CClassFactory::AddRef() { return ULONG(++m_References); }

ULONG STDMETHODCALLTYPE CClassFactory::Release()
{
    if (--m_References == 0) {
        delete this;
        return 0;
    }
    return ULONG(m_References);
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    if (outer != nullptr && !IsEqualGUID(iid, IID_IUnknown)) {
        return E_NOINTERFACE;
    }
    HRESULT result = S_OK;
    CUnknown* object = m_Entry.create(outer, &result);
    if (object == nullptr) {
        return E_OUTOFMEMORY;
    }
    if (FAILED(result)) {
        delete object;
        return result;
    }
    // The query's reference is the caller's; when it fails the last release deletes the object.
    object->NonDelegatingAddRef();
    result = object->NonDelegatingQueryInterface(iid, out);
    object->NonDelegatingRelease();
    return result;
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL lock)
{
    g_ServerLocks.Get() += lock ? 1 : -1;
    return S_OK;
}

LONG CClassFactory::ServerLocks() { return g_ServerLocks.Get(); }
