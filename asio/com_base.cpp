#include "asio/com_base.h"

namespace {
ProcessLocal<std::atomic<LONG>> g_LiveObjects;
}

CBaseObject::CBaseObject() { ++g_LiveObjects.Get(); }

CBaseObject::~CBaseObject() { --g_LiveObjects.Get(); }

LONG CBaseObject::LiveObjects() { return g_LiveObjects.Get(); }

CUnknown::CUnknown(IUnknown* outer) : m_Outer(outer), m_References(0) { }

HRESULT CUnknown::OwnerQueryInterface(REFIID iid, void** out)
{
    return m_Outer != nullptr ? m_Outer->QueryInterface(iid, out) : NonDelegatingQueryInterface(iid, out);
}

ULONG CUnknown::OwnerAddRef() { return m_Outer != nullptr ? m_Outer->AddRef() : NonDelegatingAddRef(); }

ULONG CUnknown::OwnerRelease() { return m_Outer != nullptr ? m_Outer->Release() : NonDelegatingRelease(); }

HRESULT STDMETHODCALLTYPE CUnknown::NonDelegatingQueryInterface(REFIID iid, void** out)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    if (IsEqualGUID(iid, IID_IUnknown)) {
        *out = static_cast<INonDelegatingUnknown*>(this);
        NonDelegatingAddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingAddRef()
{
    const LONG count = ++m_References;
    return count < 1 ? 1 : ULONG(count);
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingRelease()
{
    const LONG count = --m_References;
    if (count == 0) {
        // The destructor may AddRef and Release the object again; it must not delete it twice.
        m_References = 1;
        delete this;
        return 0;
    }
    return count < 1 ? 1 : ULONG(count);
}
