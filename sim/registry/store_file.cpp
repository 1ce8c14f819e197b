// The registry as text in the simulated machine's own earlier format, still read from files and
// used to snapshot a registry in tests; files are written in the .reg format (reg_file.cpp).
//
// The text is UTF-8, one record per line:
//
//   r9sim registry 1                       first line: format and version
//   key <full path>                        a key; the value lines after it belong to it
//   value <type> <data> <name>             type in decimal, data as hex bytes ("-" when empty)
//   link <full path>                       a link key, followed by
//   target <full path>                     the absolute path it leads to
//
// Keys come parents first, subkeys in enumeration order, values in their order. Names and paths
// keep printable ASCII as it is; '%' and every other UTF-16 unit are written as %XXXX (four hex
// digits), so that any name survives the round trip. Volatile keys are not saved, as on Windows.
// Last-write times are not kept: a loaded key was last written when it was loaded.
#include <sstream>

#include "sim/registry/key_node.h"
#include "sim/registry/store.h"

namespace sim::registry {

namespace {

constexpr const char* kHeader = "r9sim registry 1";

std::string EncodeText(std::u16string_view text)
{
    static const char* const kDigits = "0123456789ABCDEF";
    std::string encoded;
    for (char16_t unit : text) {
        if (unit >= 0x20 && unit < 0x7F && unit != u'%') {
            encoded.push_back(char(unit));
        } else {
            encoded.push_back('%');
            for (int shift = 12; shift >= 0; shift -= 4) {
                encoded.push_back(kDigits[(unit >> shift) & 0xF]);
            }
        }
    }
    return encoded;
}

int HexDigit(char character)
{
    if (character >= '0' && character <= '9')
        return character - '0';
    if (character >= 'a' && character <= 'f')
        return character - 'a' + 10;
    if (character >= 'A' && character <= 'F')
        return character - 'A' + 10;
    return -1;
}

bool DecodeText(std::string_view text, std::u16string& decoded)
{
    decoded.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded.push_back(char16_t(static_cast<unsigned char>(text[i])));
            continue;
        }
        if (text.size() - i < 5) {
            return false;
        }
        char16_t unit = 0;
        for (size_t k = 1; k <= 4; ++k) {
            int digit = HexDigit(text[i + k]);
            if (digit < 0) {
                return false;
            }
            unit = char16_t((unit << 4) | digit);
        }
        decoded.push_back(unit);
        i += 4;
    }
    return true;
}

std::string EncodeData(const std::vector<uint8_t>& data)
{
    static const char* const kDigits = "0123456789abcdef";
    if (data.empty()) {
        return "-";
    }
    std::string encoded;
    for (uint8_t byte : data) {
        encoded.push_back(kDigits[byte >> 4]);
        encoded.push_back(kDigits[byte & 0xF]);
    }
    return encoded;
}

bool DecodeData(std::string_view text, std::vector<uint8_t>& data)
{
    data.clear();
    if (text == "-") {
        return true;
    }
    if (text.empty() || text.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = HexDigit(text[i]);
        int low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        data.push_back(uint8_t(high << 4 | low));
    }
    return true;
}

void WriteKey(const Key& key, const std::u16string& path, std::ostringstream& out)
{
    if (key.isVolatile) {
        return;
    }
    if (!key.linkTarget.empty()) {
        out << "link " << EncodeText(path) << "\ntarget " << EncodeText(key.linkTarget) << "\n";
        return;
    }
    out << "key " << EncodeText(path) << "\n";
    for (const Value& value : key.values) {
        out << "value " << value.type << " " << EncodeData(value.data) << " " << EncodeText(value.name) << "\n";
    }
    for (const KeyRef& child : key.subkeys) {
        WriteKey(*child, path + u"\\" + child->name, out);
    }
}

// Finds or makes the key at an absolute path in a tree being loaded.
bool MakeKey(const KeyRef& root, std::u16string_view path, int64_t now, KeyRef& key)
{
    std::u16string prefix = u"\\" + root->name;
    if (path.size() < prefix.size() || !NamesEqual(path.substr(0, prefix.size()), prefix)) {
        return false;
    }
    path.remove_prefix(prefix.size());
    KeyRef node = root;
    while (!path.empty()) {
        if (path.front() != u'\\') {
            return false;
        }
        path.remove_prefix(1);
        size_t end = path.find(u'\\');
        std::u16string_view name = path.substr(0, end);
        path.remove_prefix(end == std::u16string_view::npos ? path.size() : end);
        if (name.empty() || name.size() > kMaxKeyNameCharacters || !node->linkTarget.empty()) {
            return false;
        }
        KeyRef next;
        for (const KeyRef& child : node->subkeys) {
            if (NamesEqual(child->name, name)) {
                next = child;
            }
        }
        if (next == nullptr) {
            next = std::make_shared<Key>();
            next->name = std::u16string(name);
            next->upcasedName = UpcaseName(name);
            next->lastWriteTime = now;
            next->parent = node.get();
            // Parents precede children in the file, in enumeration order, so appending keeps
            // the order for files this store wrote; sort in case the file was edited by hand.
            node->subkeys.push_back(next);
            for (size_t i = node->subkeys.size() - 1;
                 i > 0 && node->subkeys[i]->upcasedName < node->subkeys[i - 1]->upcasedName; --i) {
                std::swap(node->subkeys[i], node->subkeys[i - 1]);
            }
        }
        node = next;
    }
    key = node;
    return true;
}

}  // namespace

std::string Store::Serialize() const
{
    std::lock_guard<std::mutex> guard(lock_);
    std::ostringstream out;
    out << kHeader << "\n";
    for (const KeyRef& child : root_->subkeys) {
        WriteKey(*child, u"\\" + root_->name + u"\\" + child->name, out);
    }
    return out.str();
}

bool Store::Deserialize(std::string_view text, std::string& error)
{
    std::lock_guard<std::mutex> guard(lock_);
    int64_t now = NowLocked();
    auto root = std::make_shared<Key>();
    root->name = root_->name;
    root->upcasedName = root_->upcasedName;
    root->lastWriteTime = now;

    std::istringstream in{std::string(text)};
    std::string line;
    size_t lineNumber = 0;
    KeyRef current;
    KeyRef pendingLink;
    auto fail = [&](const std::string& message) {
        error = "line " + std::to_string(lineNumber) + ": " + message;
        MarkTreeDeleted(*root);
        return false;
    };
    while (std::getline(in, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (lineNumber == 1) {
            if (line != kHeader) {
                return fail("not a registry file (expected \"" + std::string(kHeader) + "\")");
            }
            continue;
        }
        if (line.empty()) {
            continue;
        }
        size_t space = line.find(' ');
        std::string record = line.substr(0, space);
        std::string_view rest =
            space == std::string::npos ? std::string_view() : std::string_view(line).substr(space + 1);
        std::u16string path;
        if (pendingLink != nullptr && record != "target") {
            return fail("a link without its target");
        }
        if (record == "key" || record == "link") {
            if (!DecodeText(rest, path) || !MakeKey(root, path, now, current) || current == root ||
                !current->values.empty() || !current->linkTarget.empty()) {
                return fail("bad or repeated key path");
            }
            if (record == "link") {
                if (!current->subkeys.empty()) {
                    return fail("a link cannot have subkeys");
                }
                pendingLink = current;
                current = nullptr;
            }
        } else if (record == "target") {
            if (pendingLink == nullptr || !DecodeText(rest, path) || path.empty() || path.front() != u'\\') {
                return fail("a target without a link, or not an absolute path");
            }
            pendingLink->linkTarget = path;
            pendingLink = nullptr;
        } else if (record == "value") {
            std::istringstream fields{std::string(rest)};
            unsigned long type = 0;
            std::string data;
            if (current == nullptr || !(fields >> type >> data) || fields.get() != ' ') {
                return fail("a value needs a key before it, a type and data");
            }
            std::string name;
            std::getline(fields, name);
            Value value;
            value.type = ULONG(type);
            if (!DecodeData(data, value.data) || !DecodeText(name, value.name)) {
                return fail("bad value data or name");
            }
            current->values.push_back(std::move(value));
        } else {
            return fail("unknown record '" + record + "'");
        }
    }
    if (lineNumber == 0) {
        return fail("empty file");
    }
    if (pendingLink != nullptr) {
        return fail("a link without its target");
    }
    MarkTreeDeleted(*root_);
    root_ = root;
    return true;
}

}  // namespace sim::registry
