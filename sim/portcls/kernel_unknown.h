// The IUnknown part of PortCls's own objects: a count that starts with the creator's reference and
// deletes the object on its last release, and QueryInterface answered as kernel-mode COM answers
// it (STATUS_INVALID_PARAMETER and a null pointer for an interface the object does not have).
#pragma once

#include <initializer_list>

#include "sim/api/kernel.h"

namespace sim::portcls {

class KernelReferences {
protected:
    KernelReferences() = default;
    // Virtual, so that the last release deletes the whole object, through its own operator delete.
    virtual ~KernelReferences() = default;
    KernelReferences(const KernelReferences&) = delete;
    KernelReferences& operator=(const KernelReferences&) = delete;

    ULONG AddReference() { return ULONG(InterlockedIncrement(&references_)); }
    ULONG DropReference()
    {
        const LONG left = InterlockedDecrement(&references_);
        if (left == 0) {
            delete this;
        }
        return ULONG(left);
    }

private:
    LONG references_ = 1;
};

// `answer`, with a reference added, for IID_IUnknown and each of `ids`.
inline NTSTATUS AnswerQuery(REFIID id, PVOID* object, PUNKNOWN answer, std::initializer_list<const GUID*> ids)
{
    if (object == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    bool known = IsEqualGUID(id, IID_IUnknown) != FALSE;
    for (const GUID* candidate : ids) {
        known = known || IsEqualGUID(id, *candidate) != FALSE;
    }
    if (!known) {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    *object = answer;
    answer->AddRef();
    return STATUS_SUCCESS;
}

}  // namespace sim::portcls
