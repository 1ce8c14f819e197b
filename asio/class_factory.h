// The COM server's class factory and its class table, and what DllCanUnloadNow asks of them.
#pragma once

#include "asio/com_base.h"

struct ClassTableEntry {
    const WCHAR* name;
    const GUID* clsid;
    // Makes the object (as `outer`'s inner object when given); null when it cannot.
    CUnknown* (*create)(IUnknown* outer, HRESULT* result);
};

// The entry for `clsid`; null when the server has no such class.
const ClassTableEntry* FindClass(REFCLSID clsid);

class CClassFactory : public IClassFactory, public CBaseObject {
public:
    explicit CClassFactory(const ClassTableEntry& entry);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

    // LockServer's count in this process.
    static LONG ServerLocks();

private:
    const ClassTableEntry& m_Entry;
    LONG m_References;
};
