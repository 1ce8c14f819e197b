// Kernel objects, their reference counts and the kernel handle table. Objects that the product
// reaches by handle (threads, registry keys, files) or by body pointer (ObReferenceObject) derive
// from KernelObject.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim/api/base_types.h"
#include "sim/api/ntstatus.h"

namespace sim {

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // The pointer the product sees for this object (PKTHREAD, PFILE_OBJECT, …).
    virtual void* Body() = 0;
    virtual const char* TypeName() const = 0;

    long AddRef() { return ++references_; }
    long ReferenceCount() const { return references_; }

private:
    friend class ObjectManager;
    std::atomic<long> references_{1};
};

class ObjectManager {
public:
    ~ObjectManager();

    // Makes the object known by its body pointer; the manager holds the creator's reference.
    void Register(KernelObject* object);
    // Drops one reference; the last one unregisters and deletes the object.
    long Release(KernelObject* object);

    KernelObject* FromBody(void* body);  // no new reference
    long ReferenceBody(void* body);      // -1 if unknown
    long DereferenceBody(void* body);    // -1 if unknown

    // Handles hold one reference each. Kernel handles have the top bit set, as on Windows.
    HANDLE CreateHandle(KernelObject* object);
    KernelObject* ReferenceByHandle(HANDLE handle);  // adds a reference; null if invalid
    NTSTATUS CloseHandle(HANDLE handle);
    size_t OpenHandleCount() const;
    std::vector<std::string> OpenHandleDescriptions() const;

private:
    mutable std::mutex lock_;
    std::unordered_map<void*, KernelObject*> bodies_;
    std::map<uintptr_t, KernelObject*> handles_;
    uintptr_t nextHandle_ = 4;
};

}  // namespace sim
