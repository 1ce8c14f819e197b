#include "sim/registry/store.h"

#include <algorithm>

#include "sim/registry/key_node.h"

namespace sim::registry {

namespace {

// Link chains are cut off after a fixed number of hops, so that a loop fails instead of hanging.
constexpr int kMaxLinkHops = 32;

const KeyRef* FindChild(const Key& parent, std::u16string_view name)
{
    std::u16string wanted = UpcaseName(name);
    auto found =
        std::lower_bound(parent.subkeys.begin(), parent.subkeys.end(), wanted,
                         [](const KeyRef& key, const std::u16string& text) { return key->upcasedName < text; });
    if (found == parent.subkeys.end() || (*found)->upcasedName != wanted) {
        return nullptr;
    }
    return &*found;
}

void InsertChild(Key& parent, const KeyRef& child)
{
    auto position =
        std::lower_bound(parent.subkeys.begin(), parent.subkeys.end(), child->upcasedName,
                         [](const KeyRef& key, const std::u16string& text) { return key->upcasedName < text; });
    child->parent = &parent;
    parent.subkeys.insert(position, child);
}

std::vector<std::u16string_view> SplitPath(std::u16string_view path)
{
    std::vector<std::u16string_view> components;
    if (path.empty()) {
        return components;
    }
    size_t start = 0;
    while (true) {
        size_t end = path.find(u'\\', start);
        components.push_back(path.substr(start, end == std::u16string_view::npos ? end : end - start));
        if (end == std::u16string_view::npos) {
            return components;
        }
        start = end + 1;
    }
}

NTSTATUS ValidateKeyName(std::u16string_view name)
{
    if (name.empty() || name.size() > kMaxKeyNameCharacters) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    return STATUS_SUCCESS;
}

// Splits `path` into its starting key and the components below it.
NTSTATUS StartOfPath(const KeyRef& root, const KeyRef& base, std::u16string_view path, KeyRef& start,
                     std::vector<std::u16string_view>& components)
{
    if (base != nullptr) {
        if (base->deleted) {
            return STATUS_KEY_DELETED;
        }
        if (!path.empty() && path.front() == u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        start = base;
        components = SplitPath(path);
        return STATUS_SUCCESS;
    }
    if (path.empty() || path.front() != u'\\') {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    components = SplitPath(path.substr(1));
    if (components.empty() || !NamesEqual(components.front(), root->name)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    components.erase(components.begin());
    start = root;
    return STATUS_SUCCESS;
}

NTSTATUS Resolve(const KeyRef& root, const KeyRef& base, std::u16string_view path, bool followLastLink, int hops,
                 KeyRef& key)
{
    KeyRef node;
    std::vector<std::u16string_view> components;
    NTSTATUS status = StartOfPath(root, base, path, node, components);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (size_t i = 0; i < components.size(); ++i) {
        status = ValidateKeyName(components[i]);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        const KeyRef* child = FindChild(*node, components[i]);
        if (child == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        node = *child;
        if (!node->linkTarget.empty() && (i + 1 < components.size() || followLastLink)) {
            if (hops >= kMaxLinkHops) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            status = Resolve(root, nullptr, node->linkTarget, true, hops + 1, node);
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
    }
    key = node;
    return STATUS_SUCCESS;
}

Value* FindValue(Key& key, std::u16string_view name)
{
    for (Value& value : key.values) {
        if (NamesEqual(value.name, name)) {
            return &value;
        }
    }
    return nullptr;
}

void Summarize(const Key& key, KeySummary& summary)
{
    summary = KeySummary{};
    summary.name = key.name;
    summary.lastWriteTime = key.lastWriteTime;
    summary.subkeys = ULONG(key.subkeys.size());
    summary.values = ULONG(key.values.size());
    for (const KeyRef& child : key.subkeys) {
        summary.maxSubkeyNameBytes = std::max(summary.maxSubkeyNameBytes, ULONG(child->name.size() * sizeof(WCHAR)));
    }
    for (const Value& value : key.values) {
        summary.maxValueNameBytes = std::max(summary.maxValueNameBytes, ULONG(value.name.size() * sizeof(WCHAR)));
        summary.maxValueDataBytes = std::max(summary.maxValueDataBytes, ULONG(value.data.size()));
    }
}

}  // namespace

void DetachFromParent(Key& key)
{
    Key* parent = key.parent;
    auto found = std::find_if(parent->subkeys.begin(), parent->subkeys.end(),
                              [&](const KeyRef& child) { return child.get() == &key; });
    KeyRef keepAlive = *found;
    parent->subkeys.erase(found);
    key.parent = nullptr;
}

void MarkTreeDeleted(Key& key)
{
    for (const KeyRef& child : key.subkeys) {
        child->parent = nullptr;
        MarkTreeDeleted(*child);
    }
    key.subkeys.clear();
    key.deleted = true;
}

std::u16string UpcaseName(std::u16string_view name)
{
    std::u16string upcased(name);
    for (char16_t& character : upcased) {
        character = RtlUpcaseUnicodeChar(character);
    }
    return upcased;
}

bool NamesEqual(std::u16string_view left, std::u16string_view right)
{
    if (left.size() != right.size()) {
        return false;
    }
    for (size_t i = 0; i < left.size(); ++i) {
        if (RtlUpcaseUnicodeChar(left[i]) != RtlUpcaseUnicodeChar(right[i])) {
            return false;
        }
    }
    return true;
}

Store::Store() : root_(std::make_shared<Key>())
{
    root_->name = u"REGISTRY";
    root_->upcasedName = root_->name;
}

Store::~Store() { MarkTreeDeleted(*root_); }

void Store::SetClock(std::function<int64_t()> clock)
{
    std::lock_guard<std::mutex> guard(lock_);
    clock_ = std::move(clock);
}

int64_t Store::NowLocked() const { return clock_ ? clock_() : 0; }

NTSTATUS Store::ResolveLocked(const KeyRef& base, std::u16string_view path, bool followLastLink, KeyRef& key) const
{
    return Resolve(root_, base, path, followLastLink, 0, key);
}

NTSTATUS Store::Open(const KeyRef& base, std::u16string_view path, KeyRef& key) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return ResolveLocked(base, path, true, key);
}

NTSTATUS Store::Create(const KeyRef& base, std::u16string_view path, bool isVolatile, KeyRef& key, bool& created)
{
    std::unique_lock<std::mutex> guard(lock_);
    created = false;
    if (base != nullptr && !path.empty() && path.front() == u'\\') {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    size_t lastSeparator = path.rfind(u'\\');
    std::u16string_view parentPath =
        lastSeparator == std::u16string_view::npos ? std::u16string_view() : path.substr(0, lastSeparator);
    std::u16string_view name = lastSeparator == std::u16string_view::npos ? path : path.substr(lastSeparator + 1);
    KeyRef parent;
    NTSTATUS status;
    if (base == nullptr && parentPath.empty()) {
        // "\REGISTRY" itself, or a name outside the registry's part of the namespace.
        return ResolveLocked(nullptr, path, true, key);
    }
    status = ResolveLocked(base, parentPath, true, parent);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (base != nullptr && path.empty()) {
        key = parent;
        return STATUS_SUCCESS;
    }
    status = ValidateKeyName(name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (const KeyRef* existing = FindChild(*parent, name)) {
        if ((*existing)->linkTarget.empty()) {
            key = *existing;
            return STATUS_SUCCESS;
        }
        return Resolve(root_, nullptr, (*existing)->linkTarget, true, 1, key);
    }
    auto child = std::make_shared<Key>();
    child->name = std::u16string(name);
    child->upcasedName = UpcaseName(name);
    child->isVolatile = isVolatile;
    child->lastWriteTime = NowLocked();
    InsertChild(*parent, child);
    parent->lastWriteTime = child->lastWriteTime;
    key = child;
    created = true;
    std::vector<std::function<void()>> fired;
    CollectWatchesLocked(parent.get(), REG_NOTIFY_CHANGE_NAME, fired);
    guard.unlock();
    RunFired(fired);
    return STATUS_SUCCESS;
}

NTSTATUS Store::Delete(const KeyRef& key)
{
    std::unique_lock<std::mutex> guard(lock_);
    if (key->deleted) {
        return STATUS_KEY_DELETED;
    }
    if (key == root_) {
        return STATUS_ACCESS_DENIED;
    }
    if (!key->subkeys.empty()) {
        return STATUS_CANNOT_DELETE;
    }
    Key* parent = key->parent;
    std::vector<std::function<void()>> fired;
    CollectWatchesLocked(key.get(), REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, fired);
    CollectWatchesLocked(parent, REG_NOTIFY_CHANGE_NAME, fired);
    DetachFromParent(*key);
    key->deleted = true;
    parent->lastWriteTime = NowLocked();
    guard.unlock();
    RunFired(fired);
    return STATUS_SUCCESS;
}

NTSTATUS Store::SetValue(const KeyRef& key, std::u16string_view name, ULONG type, const void* data, size_t size)
{
    std::unique_lock<std::mutex> guard(lock_);
    if (key->deleted) {
        return STATUS_KEY_DELETED;
    }
    if (name.size() > kMaxValueNameCharacters) {
        return STATUS_INVALID_PARAMETER;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    Value* value = FindValue(*key, name);
    if (value == nullptr) {
        key->values.push_back(Value{std::u16string(name), type, {}});
        value = &key->values.back();
    }
    value->type = type;
    value->data.assign(bytes, bytes + size);
    key->lastWriteTime = NowLocked();
    std::vector<std::function<void()>> fired;
    CollectWatchesLocked(key.get(), REG_NOTIFY_CHANGE_LAST_SET, fired);
    guard.unlock();
    RunFired(fired);
    return STATUS_SUCCESS;
}

NTSTATUS Store::QueryValue(const KeyRef& key, std::u16string_view name, Value& value) const
{
    std::lock_guard<std::mutex> guard(lock_);
    if (key->deleted) {
        return STATUS_KEY_DELETED;
    }
    const Value* found = FindValue(*key, name);
    if (found == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    value = *found;
    return STATUS_SUCCESS;
}

NTSTATUS Store::EnumerateValue(const KeyRef& key, ULONG index, Value& value) const
{
    std::lock_guard<std::mutex> guard(lock_);
    if (key->deleted) {
        return STATUS_KEY_DELETED;
    }
    if (index >= key->values.size()) {
        return STATUS_NO_MORE_ENTRIES;
    }
    value = key->values[index];
    return STATUS_SUCCESS;
}

NTSTATUS Store::DeleteValue(const KeyRef& key, std::u16string_view name)
{
    std::unique_lock<std::mutex> guard(lock_);
    if (key->deleted) {
        return STATUS_KEY_DELETED;
    }
    auto found = std::find_if(key->values.begin(), key->values.end(),
                              [&](const Value& value) { return NamesEqual(value.name, name); });
    if (found == key->values.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    key->values.erase(found);
    key->lastWriteTime = NowLocked();
    std::vector<std::function<void()>> fired;
    CollectWatchesLocked(key.get(), REG_NOTIFY_CHANGE_LAST_SET, fired);
    guard.unlock();
    RunFired(fired);
    return STATUS_SUCCESS;
}

uint64_t Store::Watch(const KeyRef& key, bool subtree, ULONG filter, std::function<void()> fire)
{
    std::lock_guard<std::mutex> guard(lock_);
    const uint64_t id = nextWatch_++;
    watches_.push_back({id, key.get(), subtree, filter, std::move(fire)});
    return id;
}

bool Store::CancelWatch(uint64_t watch)
{
    std::lock_guard<std::mutex> guard(lock_);
    auto found = std::find_if(watches_.begin(), watches_.end(),
                              [watch](const PendingWatch& pending) { return pending.id == watch; });
    if (found == watches_.end()) {
        return false;
    }
    watches_.erase(found);
    return true;
}

void Store::CollectWatchesLocked(const Key* key, ULONG filter, std::vector<std::function<void()>>& fired)
{
    for (auto it = watches_.begin(); it != watches_.end();) {
        bool matches = false;
        if ((it->filter & filter) != 0) {
            for (const Key* node = key; node != nullptr && !matches; node = node->parent) {
                matches = it->key == node && (node == key || it->subtree);
            }
        }
        if (matches) {
            fired.push_back(std::move(it->fire));
            it = watches_.erase(it);
        } else {
            ++it;
        }
    }
}

void Store::CollectWatchesBelowLocked(const Key* top, std::vector<std::function<void()>>& fired)
{
    for (auto it = watches_.begin(); it != watches_.end();) {
        bool below = false;
        for (const Key* node = it->key; node != nullptr && !below; node = node->parent) {
            below = node == top;
        }
        if (below) {
            fired.push_back(std::move(it->fire));
            it = watches_.erase(it);
        } else {
            ++it;
        }
    }
}

void Store::RunFired(std::vector<std::function<void()>>& fired)
{
    for (std::function<void()>& fire : fired) {
        fire();
    }
}

NTSTATUS Store::Summarize(const KeyRef& key, KeySummary& summary) const
{
    std::lock_guard<std::mutex> guard(lock_);
    if (key->deleted) {
        return STATUS_KEY_DELETED;
    }
    registry::Summarize(*key, summary);
    return STATUS_SUCCESS;
}

NTSTATUS Store::EnumerateSubkey(const KeyRef& key, ULONG index, KeySummary& summary) const
{
    std::lock_guard<std::mutex> guard(lock_);
    if (key->deleted) {
        return STATUS_KEY_DELETED;
    }
    if (index >= key->subkeys.size()) {
        return STATUS_NO_MORE_ENTRIES;
    }
    registry::Summarize(*key->subkeys[index], summary);
    return STATUS_SUCCESS;
}

NTSTATUS Store::FullName(const KeyRef& key, std::u16string& name) const
{
    std::lock_guard<std::mutex> guard(lock_);
    if (key->deleted) {
        return STATUS_KEY_DELETED;
    }
    name.clear();
    for (const Key* node = key.get(); node != nullptr; node = node->parent) {
        name.insert(0, u"\\" + node->name);
    }
    return STATUS_SUCCESS;
}

}  // namespace sim::registry
