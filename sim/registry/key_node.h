// One key of the store. Only the store touches it, under the store's lock; everyone else holds
// a KeyRef, which keeps a deleted key's memory alive until its last handle is closed.
#pragma once

#include <string>
#include <vector>

#include "sim/registry/store.h"

namespace sim::registry {

class Key {
public:
    std::u16string name;
    std::u16string upcasedName;
    Key* parent = nullptr;          // null for the namespace root and for deleted keys
    std::vector<KeyRef> subkeys;    // sorted by upcasedName
    std::vector<Value> values;      // in the order they were first set
    std::u16string linkTarget;      // absolute path; empty unless this key is a link
    bool isVolatile = false;
    bool deleted = false;
    int64_t lastWriteTime = 0;
};

// Takes the key out of its parent's subkeys.
void DetachFromParent(Key& key);
// Marks the key and everything below it deleted and lets go of the subkeys.
void MarkTreeDeleted(Key& key);

}  // namespace sim::registry
