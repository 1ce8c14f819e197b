// The reference-counting bases of the driver's COM objects: every object takes part in the
// module's live-object count (which DllCanUnloadNow reads), and CUnknown gives an object the
// non-delegating IUnknown that aggregation needs.
#pragma once

#include <atomic>

#include "platform/user.h"

struct INonDelegatingUnknown {
    virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** out) = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;
};

class CBaseObject {
public:
    CBaseObject();
    virtual ~CBaseObject();
    CBaseObject(const CBaseObject&) = delete;
    CBaseObject& operator=(const CBaseObject&) = delete;

    // Objects of this module alive in the process.
    static LONG LiveObjects();
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
public:
    // `outer` is the aggregating object's unknown, or null when the object stands alone.
    explicit CUnknown(IUnknown* outer);

    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
    ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

protected:
    // The object's public IUnknown: the aggregating object's, or this object's own.
    HRESULT OwnerQueryInterface(REFIID iid, void** out);
    ULONG OwnerAddRef();
    ULONG OwnerRelease();
    bool IsAggregated() const { return m_Outer != nullptr; }

private:
    IUnknown* m_Outer;
    std::atomic<LONG> m_References;
};
