// The registry of the simulated machine: a tree of keys with typed values, shared by the kernel's
// Zw* calls and, later, user mode's Reg* calls, which both sit on top of this store.
//
// As in Windows: key and value names compare case-insensitively (upper-cased character by
// character) and keep the case they were created with; subkeys enumerate in the order of their
// upper-cased names, values in the order they were first set; a key name is at most 255
// characters, a value name at most 16383; a link key redirects every path through it to its
// target; a deleted key stays usable only for closing (STATUS_KEY_DELETED); volatile keys are
// not saved. Paths separate components with '\'; an absolute path starts with "\REGISTRY\".
//
// Every member takes the store's lock, so kernel and user threads may call it at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "sim/api/kernel.h"

namespace sim::registry {

struct Value {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

// What KEY_BASIC/NODE/FULL_INFORMATION report about a key; lengths in bytes.
struct KeySummary {
    std::u16string name;
    int64_t lastWriteTime = 0;
    ULONG subkeys = 0;
    ULONG maxSubkeyNameBytes = 0;
    ULONG values = 0;
    ULONG maxValueNameBytes = 0;
    ULONG maxValueDataBytes = 0;
};

class Key;
using KeyRef = std::shared_ptr<Key>;

inline constexpr size_t kMaxKeyNameCharacters = 255;
inline constexpr size_t kMaxValueNameCharacters = 16383;

class Store {
public:
    Store();
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Opens `path` below `base`, or from the namespace root when `base` is null. An empty
    // relative path opens `base` itself.
    NTSTATUS Open(const KeyRef& base, std::u16string_view path, KeyRef& key) const;
    // Opens or creates the last component of `path`; the keys before it must exist.
    NTSTATUS Create(const KeyRef& base, std::u16string_view path, bool isVolatile, KeyRef& key,
                    bool& created);
    // A key that still has subkeys cannot be deleted (STATUS_CANNOT_DELETE).
    NTSTATUS Delete(const KeyRef& key);

    NTSTATUS SetValue(const KeyRef& key, std::u16string_view name, ULONG type, const void* data,
                      size_t size);
    NTSTATUS QueryValue(const KeyRef& key, std::u16string_view name, Value& value) const;
    NTSTATUS EnumerateValue(const KeyRef& key, ULONG index, Value& value) const;
    NTSTATUS DeleteValue(const KeyRef& key, std::u16string_view name);

    NTSTATUS Summarize(const KeyRef& key, KeySummary& summary) const;
    NTSTATUS EnumerateSubkey(const KeyRef& key, ULONG index, KeySummary& summary) const;
    // "\REGISTRY\MACHINE\…" with each key's own case; links resolved to where the key lives.
    NTSTATUS FullName(const KeyRef& key, std::u16string& name) const;

    // Set-up and inspection on absolute paths, for the simulated machine's own components and
    // tests. CreatePath creates every missing key along the path.
    KeyRef CreatePath(std::u16string_view absolutePath);
    bool CreateLink(std::u16string_view absolutePath, std::u16string_view targetPath);
    bool Exists(std::u16string_view absolutePath) const;
    bool SetValue(std::u16string_view keyPath, std::u16string_view name, ULONG type,
                  const std::vector<uint8_t>& data);
    bool SetString(std::u16string_view keyPath, std::u16string_view name, std::u16string_view text);
    bool SetMultiString(std::u16string_view keyPath, std::u16string_view name,
                        const std::vector<std::u16string>& strings);
    bool SetDword(std::u16string_view keyPath, std::u16string_view name, ULONG value);
    bool GetValue(std::u16string_view keyPath, std::u16string_view name, Value& value) const;
    bool DeleteValue(std::u16string_view keyPath, std::u16string_view name);
    // Deletes the key and everything below it.
    bool DeleteTree(std::u16string_view absolutePath);
    std::vector<std::u16string> SubkeyNames(std::u16string_view absolutePath) const;

    // The whole registry as text, and back (the earlier r9sim format, store_file.cpp). Loading
    // replaces the contents; on a parse error nothing changes and `error` names the line.
    std::string Serialize() const;
    bool Deserialize(std::string_view text, std::string& error);
    // The registry as a Windows .reg file (reg_file.cpp): the file's bytes, and an import of its
    // text as regedit imports it; a bad file changes nothing and `error` names the line.
    std::string SerializeRegFile() const;
    bool ImportRegFile(std::u16string_view text, std::string& error);
    // Files are written in the .reg format; either format is read.
    bool SaveToFile(const std::string& fileName, std::string& error) const;
    bool LoadFromFile(const std::string& fileName, std::string& error);

    // Where last-write times come from (100 ns units); zero until set.
    void SetClock(std::function<int64_t()> clock);

    // Change notification (ZwNotifyChangeKey, RegNotifyChangeKeyValue): `fire` runs once, after
    // the change and outside the store's lock, when the key (or, with `subtree`, a key below it)
    // changes in a way `filter` names: REG_NOTIFY_CHANGE_NAME for a subkey created or deleted,
    // REG_NOTIFY_CHANGE_LAST_SET for a value set or deleted. Deleting the watched key fires too.
    // CancelWatch returns false when the watch had fired already.
    uint64_t Watch(const KeyRef& key, bool subtree, ULONG filter, std::function<void()> fire);
    bool CancelWatch(uint64_t watch);

private:
    NTSTATUS ResolveLocked(const KeyRef& base, std::u16string_view path, bool followLastLink,
                           KeyRef& key) const;
    int64_t NowLocked() const;
    // Takes the watches that a change of kind `filter` to `key` fires; the caller runs them
    // after releasing the lock.
    void CollectWatchesLocked(const Key* key, ULONG filter, std::vector<std::function<void()>>& fired);
    // Takes every watch on `top` or a key below it (a deleted tree).
    void CollectWatchesBelowLocked(const Key* top, std::vector<std::function<void()>>& fired);
    void RunFired(std::vector<std::function<void()>>& fired);

    struct PendingWatch {
        uint64_t id;
        const Key* key;
        bool subtree;
        ULONG filter;
        std::function<void()> fire;
    };

    mutable std::mutex lock_;
    KeyRef root_;
    std::function<int64_t()> clock_;
    std::vector<PendingWatch> watches_;
    uint64_t nextWatch_ = 1;
};

// Upper-cases as the registry compares names.
std::u16string UpcaseName(std::u16string_view name);
bool NamesEqual(std::u16string_view left, std::u16string_view right);

}  // namespace sim::registry
