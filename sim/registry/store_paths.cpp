// Set-up and inspection of the store by absolute path, for the machine's own components (Plug and
// Play, the audio service's endpoint store) and tests.
#include <cstring>

#include "sim/registry/key_node.h"
#include "sim/registry/store.h"

namespace sim::registry {

namespace {

std::vector<uint8_t> Bytes(const void* data, size_t size)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    return std::vector<uint8_t>(bytes, bytes + size);
}

}  // namespace

KeyRef Store::CreatePath(std::u16string_view absolutePath)
{
    KeyRef key;
    if (NT_SUCCESS(Open(nullptr, absolutePath, key))) {
        return key;
    }
    size_t lastSeparator = absolutePath.rfind(u'\\');
    if (lastSeparator == 0 || lastSeparator == std::u16string_view::npos) {
        return nullptr;
    }
    if (CreatePath(absolutePath.substr(0, lastSeparator)) == nullptr) {
        return nullptr;
    }
    bool created = false;
    return NT_SUCCESS(Create(nullptr, absolutePath, false, key, created)) ? key : nullptr;
}

bool Store::CreateLink(std::u16string_view absolutePath, std::u16string_view targetPath)
{
    size_t lastSeparator = absolutePath.rfind(u'\\');
    if (lastSeparator == 0 || lastSeparator == std::u16string_view::npos || Exists(absolutePath)) {
        return false;
    }
    KeyRef parent = CreatePath(absolutePath.substr(0, lastSeparator));
    if (parent == nullptr) {
        return false;
    }
    bool created = false;
    KeyRef link;
    if (!NT_SUCCESS(Create(parent, absolutePath.substr(lastSeparator + 1), false, link, created)) || !created) {
        return false;
    }
    std::lock_guard<std::mutex> guard(lock_);
    link->linkTarget = std::u16string(targetPath);
    return true;
}

bool Store::Exists(std::u16string_view absolutePath) const
{
    KeyRef key;
    return NT_SUCCESS(Open(nullptr, absolutePath, key));
}

bool Store::SetValue(std::u16string_view keyPath, std::u16string_view name, ULONG type,
                     const std::vector<uint8_t>& data)
{
    KeyRef key = CreatePath(keyPath);
    return key != nullptr && NT_SUCCESS(SetValue(key, name, type, data.data(), data.size()));
}

bool Store::SetString(std::u16string_view keyPath, std::u16string_view name, std::u16string_view text)
{
    std::u16string terminated(text);
    return SetValue(keyPath, name, REG_SZ, Bytes(terminated.c_str(), (terminated.size() + 1) * sizeof(WCHAR)));
}

bool Store::SetMultiString(std::u16string_view keyPath, std::u16string_view name,
                           const std::vector<std::u16string>& strings)
{
    std::u16string joined;
    for (const std::u16string& text : strings) {
        joined += text;
        joined.push_back(u'\0');
    }
    joined.push_back(u'\0');
    return SetValue(keyPath, name, REG_MULTI_SZ, Bytes(joined.data(), joined.size() * sizeof(WCHAR)));
}

bool Store::SetDword(std::u16string_view keyPath, std::u16string_view name, ULONG value)
{
    return SetValue(keyPath, name, REG_DWORD, Bytes(&value, sizeof value));
}

bool Store::GetValue(std::u16string_view keyPath, std::u16string_view name, Value& value) const
{
    KeyRef key;
    return NT_SUCCESS(Open(nullptr, keyPath, key)) && NT_SUCCESS(QueryValue(key, name, value));
}

bool Store::DeleteValue(std::u16string_view keyPath, std::u16string_view name)
{
    KeyRef key;
    return NT_SUCCESS(Open(nullptr, keyPath, key)) && NT_SUCCESS(DeleteValue(key, name));
}

bool Store::DeleteTree(std::u16string_view absolutePath)
{
    std::unique_lock<std::mutex> guard(lock_);
    KeyRef key;
    if (!NT_SUCCESS(ResolveLocked(nullptr, absolutePath, false, key)) || key == root_) {
        return false;
    }
    Key* parent = key->parent;
    std::vector<std::function<void()>> fired;
    CollectWatchesLocked(parent, REG_NOTIFY_CHANGE_NAME, fired);
    CollectWatchesBelowLocked(key.get(), fired);
    DetachFromParent(*key);
    MarkTreeDeleted(*key);
    parent->lastWriteTime = NowLocked();
    guard.unlock();
    RunFired(fired);
    return true;
}

std::vector<std::u16string> Store::SubkeyNames(std::u16string_view absolutePath) const
{
    std::vector<std::u16string> names;
    KeyRef key;
    if (!NT_SUCCESS(Open(nullptr, absolutePath, key))) {
        return names;
    }
    std::lock_guard<std::mutex> guard(lock_);
    for (const KeyRef& child : key->subkeys) {
        names.push_back(child->name);
    }
    return names;
}

}  // namespace sim::registry
