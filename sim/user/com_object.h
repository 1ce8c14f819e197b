// The IUnknown part of the simulated machine's own COM objects: an interlocked reference count
// and QueryInterface for IUnknown and the one interface the object implements.
#pragma once

#include <atomic>

#include "sim/api/user.h"

namespace sim::user {

template <class Interface> class ComObject : public Interface {
public:
    explicit ComObject(const IID& iid) : iid_(iid) { }
    virtual ~ComObject() = default;

    STDMETHODIMP QueryInterface(REFIID iid, PVOID* object) override
    {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, iid_)) {
            *object = static_cast<Interface*>(this);
            this->AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG left = --references_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

private:
    const IID iid_;
    std::atomic<ULONG> references_{1};
};

}  // namespace sim::user
