// The object behind a registry key handle: the key it opened. Kernel-mode callers are not held to
// the access they asked for, as on Windows, so the handle keeps no granted access.
#pragma once

#include "sim/kernel/object_manager.h"
#include "sim/registry/store.h"

namespace sim::registry {

class KeyObject : public KernelObject {
public:
    explicit KeyObject(KeyRef key) : key_(std::move(key)) { }

    void* Body() override { return this; }
    const char* TypeName() const override { return "Key"; }

    const KeyRef& OpenedKey() const { return key_; }

private:
    KeyRef key_;
};

// Makes a kernel handle for an opened key.
HANDLE CreateKeyHandle(const KeyRef& key);

// The key behind a handle: STATUS_INVALID_HANDLE for a handle that is not open,
// STATUS_OBJECT_TYPE_MISMATCH for one that is not a key's.
NTSTATUS ReferenceKey(HANDLE handle, KeyRef& key);

}  // namespace sim::registry
