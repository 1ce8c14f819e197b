// The registry in Windows' .reg text format ("Windows Registry Editor Version 5.00"), as regedit
// exports and imports it: UTF-16LE with a byte-order mark and CRLF line ends; one "[key]" line
// per key, HKEY_LOCAL_MACHINE and HKEY_USERS standing for \REGISTRY\MACHINE and \REGISTRY\USER;
// values as "name"="text" (REG_SZ that ends in exactly one terminator), "name"=dword:0000000e
// (4-byte REG_DWORD), "name"=hex:.. (REG_BINARY) and "name"=hex(N):.. for every other type or
// shape, long hex lines continued with a backslash; @ names the default value. Volatile keys are
// not written, nor link keys (the machine makes its CurrentControlSet link itself): what lies
// behind a link is written where it lives.
//
// Reading imports as regedit does: the keys and values the file names are created or replaced,
// "[-key]" deletes a key tree and "name"=- a value; the rest of the registry stays. The file is
// checked whole first, so a bad file (its line is named) changes nothing. Files in the older
// "r9sim registry 1" format still load (store_file.cpp).
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "sim/registry/key_node.h"
#include "sim/api/wide_text.h"
#include "sim/registry/store.h"

namespace sim::registry {

namespace {

constexpr char16_t kRegHeader[] = u"Windows Registry Editor Version 5.00";

struct Root {
    const char16_t* native;
    const char16_t* regedit;
};
constexpr Root kRoots[] = {
    {u"\\REGISTRY\\MACHINE", u"HKEY_LOCAL_MACHINE"},
    {u"\\REGISTRY\\USER", u"HKEY_USERS"},
    {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes", u"HKEY_CLASSES_ROOT"},
};

std::u16string Ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::u16string Quoted(std::u16string_view text)
{
    std::u16string quoted = u"\"";
    for (char16_t c : text) {
        if (c == u'\\' || c == u'"') {
            quoted.push_back(u'\\');
        }
        quoted.push_back(c);
    }
    return quoted + u"\"";
}

// A REG_SZ whose data is text ending in its one terminator can be written as a string.
bool IsPlainString(const Value& value)
{
    if (value.type != REG_SZ || value.data.size() < 2 || value.data.size() % 2 != 0) {
        return false;
    }
    const size_t characters = value.data.size() / 2;
    for (size_t i = 0; i < characters; ++i) {
        const char16_t c = char16_t(value.data[2 * i] | value.data[2 * i + 1] << 8);
        if ((c == 0) != (i + 1 == characters)) {
            return false;
        }
    }
    return true;
}

std::u16string ValueLine(const Value& value)
{
    std::u16string line = value.name.empty() ? u"@=" : Quoted(value.name) + u"=";
    if (IsPlainString(value)) {
        std::u16string text(value.data.size() / 2 - 1, u'\0');
        for (size_t i = 0; i < text.size(); ++i) {
            text[i] = char16_t(value.data[2 * i] | value.data[2 * i + 1] << 8);
        }
        return line + Quoted(text);
    }
    char number[16];
    if (value.type == REG_DWORD && value.data.size() == 4) {
        std::snprintf(number, sizeof number, "%08x",
                      unsigned(value.data[0] | value.data[1] << 8 | value.data[2] << 16 | unsigned(value.data[3]) << 24));
        return line + u"dword:" + Ascii(number);
    }
    if (value.type == REG_BINARY) {
        line += u"hex:";
    } else {
        std::snprintf(number, sizeof number, "hex(%x):", unsigned(value.type));
        line += Ascii(number);
    }
    // Regedit keeps lines under 80 columns, continuing them with a backslash.
    size_t column = line.size();
    for (size_t i = 0; i < value.data.size(); ++i) {
        std::snprintf(number, sizeof number, "%02x", value.data[i]);
        line += Ascii(number);
        column += 2;
        if (i + 1 < value.data.size()) {
            line += u",";
            ++column;
            if (column > 76) {
                line += u"\\\r\n  ";
                column = 2;
            }
        }
    }
    return line;
}

void WriteKey(const Key& key, const std::u16string& path, std::u16string& out)
{
    if (key.isVolatile || !key.linkTarget.empty()) {
        return;
    }
    out += u"[" + path + u"]\r\n";
    for (const Value& value : key.values) {
        out += ValueLine(value) + u"\r\n";
    }
    out += u"\r\n";
    for (const KeyRef& child : key.subkeys) {
        WriteKey(*child, path + u"\\" + child->name, out);
    }
}

// One step of an import, checked before anything is applied.
struct ImportStep {
    enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
    std::u16string path;
    Value value;
};

bool NativePath(std::u16string_view path, std::u16string& native)
{
    for (const Root& root : kRoots) {
        const std::u16string_view name = root.regedit;
        if (path.size() >= name.size() && NamesEqual(path.substr(0, name.size()), name) &&
            (path.size() == name.size() || path[name.size()] == u'\\')) {
            native = std::u16string(root.native) + std::u16string(path.substr(name.size()));
            return true;
        }
    }
    return false;
}

// Reads a quoted text at `at`, undoing the escapes; `at` moves past the closing quote.
bool ParseQuoted(std::u16string_view line, size_t& at, std::u16string& text)
{
    if (at >= line.size() || line[at] != u'"') {
        return false;
    }
    text.clear();
    for (++at; at < line.size(); ++at) {
        if (line[at] == u'"') {
            ++at;
            return true;
        }
        if (line[at] == u'\\' && at + 1 < line.size()) {
            ++at;
        }
        text.push_back(line[at]);
    }
    return false;
}

bool ParseHexBytes(std::u16string_view text, std::vector<uint8_t>& bytes)
{
    bytes.clear();
    std::string digits;
    for (char16_t c : text) {
        if (c == u',' || c == u' ' || c == u'\t') {
            if (!digits.empty()) {
                if (digits.size() > 2) {
                    return false;
                }
                bytes.push_back(uint8_t(std::stoul(digits, nullptr, 16)));
                digits.clear();
            }
            continue;
        }
        if (!std::isxdigit(int(c))) {
            return false;
        }
        digits.push_back(char(c));
    }
    if (!digits.empty()) {
        if (digits.size() > 2) {
            return false;
        }
        bytes.push_back(uint8_t(std::stoul(digits, nullptr, 16)));
    }
    return true;
}

bool ParseData(std::u16string_view data, Value& value, bool& remove)
{
    remove = data == u"-";
    if (remove) {
        return true;
    }
    if (!data.empty() && data[0] == u'"') {
        size_t at = 0;
        std::u16string text;
        if (!ParseQuoted(data, at, text) || at != data.size()) {
            return false;
        }
        value.type = REG_SZ;
        value.data.clear();
        for (char16_t c : text + u'\0') {
            value.data.push_back(uint8_t(c & 0xFF));
            value.data.push_back(uint8_t(c >> 8));
        }
        return true;
    }
    const std::u16string_view dword = u"dword:";
    if (data.substr(0, dword.size()) == dword) {
        const std::string digits = Utf16ToUtf8(data.substr(dword.size()));
        if (digits.size() != 8 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            return false;
        }
        const unsigned long number = std::stoul(digits, nullptr, 16);
        value.type = REG_DWORD;
        value.data = {uint8_t(number), uint8_t(number >> 8), uint8_t(number >> 16), uint8_t(number >> 24)};
        return true;
    }
    const std::u16string_view hex = u"hex";
    if (data.substr(0, hex.size()) != hex) {
        return false;
    }
    size_t colon = data.find(u':');
    if (colon == std::u16string_view::npos) {
        return false;
    }
    value.type = REG_BINARY;
    if (colon > hex.size()) {
        const std::u16string_view type = data.substr(hex.size(), colon - hex.size());
        const std::string digits = Utf16ToUtf8(type.substr(1, type.size() - 2));
        if (type.size() < 3 || type.front() != u'(' || type.back() != u')' || digits.empty() ||
            digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            return false;
        }
        value.type = ULONG(std::stoul(digits, nullptr, 16));
    }
    return ParseHexBytes(data.substr(colon + 1), value.data);
}

bool ParseRegFile(std::u16string_view text, std::vector<ImportStep>& steps, std::string& error)
{
    std::vector<std::u16string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(u'\n', start);
        std::u16string line(text.substr(start, end == std::u16string_view::npos ? end : end - start));
        if (!line.empty() && line.back() == u'\r') {
            line.pop_back();
        }
        lines.push_back(line);
        if (end == std::u16string_view::npos) {
            break;
        }
        start = end + 1;
    }
    std::u16string currentKey;
    for (size_t number = 1; number <= lines.size(); ++number) {
        const size_t first = number;
        std::u16string line = lines[number - 1];
        while (!line.empty() && line.back() == u'\\' && number < lines.size()) {
            line.pop_back();
            std::u16string next = lines[number++];
            line += next.substr(std::min(next.find_first_not_of(u" \t"), next.size()));
        }
        auto fail = [&](const std::string& message) {
            error = "line " + std::to_string(first) + ": " + message;
            return false;
        };
        if (first == 1) {
            if (line != kRegHeader) {
                return fail("not a registry file");
            }
            continue;
        }
        if (line.empty() || line[0] == u';') {
            continue;
        }
        if (line[0] == u'[') {
            if (line.back() != u']') {
                return fail("a key line ends with ']'");
            }
            const bool remove = line.size() > 2 && line[1] == u'-';
            std::u16string native;
            if (!NativePath(line.substr(remove ? 2 : 1, line.size() - (remove ? 3 : 2)), native)) {
                return fail("a key below HKEY_LOCAL_MACHINE, HKEY_USERS or HKEY_CLASSES_ROOT");
            }
            steps.push_back({remove ? ImportStep::DeleteKey : ImportStep::CreateKey, native, {}});
            currentKey = remove ? std::u16string() : native;
            continue;
        }
        if (currentKey.empty()) {
            return fail("a value needs a key before it");
        }
        Value value;
        size_t at = 0;
        if (line[0] == u'@') {
            at = 1;
        } else if (!ParseQuoted(line, at, value.name)) {
            return fail("a value name in quotes, or @");
        }
        bool remove = false;
        if (at >= line.size() || line[at] != u'=' || !ParseData(std::u16string_view(line).substr(at + 1), value, remove)) {
            return fail("a value's data: \"text\", dword:, hex: or hex(type):");
        }
        steps.push_back({remove ? ImportStep::DeleteValue : ImportStep::SetValue, currentKey, value});
    }
    return true;
}

}  // namespace

std::string Store::SerializeRegFile() const
{
    std::u16string text = std::u16string(kRegHeader) + u"\r\n\r\n";
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (const Root& root : kRoots) {
            KeyRef key;
            if (root.regedit == std::u16string(u"HKEY_CLASSES_ROOT") ||
                !NT_SUCCESS(ResolveLocked(nullptr, root.native, false, key))) {
                continue;
            }
            WriteKey(*key, root.regedit, text);
        }
    }
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) {
        bytes.push_back(char(c & 0xFF));
        bytes.push_back(char(c >> 8));
    }
    return bytes;
}

bool Store::ImportRegFile(std::u16string_view text, std::string& error)
{
    std::vector<ImportStep> steps;
    if (!ParseRegFile(text, steps, error)) {
        return false;
    }
    for (const ImportStep& step : steps) {
        switch (step.kind) {
        case ImportStep::CreateKey:
            CreatePath(step.path);
            break;
        case ImportStep::DeleteKey:
            DeleteTree(step.path);
            break;
        case ImportStep::SetValue:
            SetValue(step.path, step.value.name, step.value.type, step.value.data);
            break;
        case ImportStep::DeleteValue:
            DeleteValue(step.path, step.value.name);
            break;
        }
    }
    return true;
}

bool Store::SaveToFile(const std::string& fileName, std::string& error) const
{
    std::ofstream file(fileName, std::ios::binary | std::ios::trunc);
    file << SerializeRegFile();
    file.close();
    if (!file) {
        error = "cannot write " + fileName;
        return false;
    }
    return true;
}

bool Store::LoadFromFile(const std::string& fileName, std::string& error)
{
    std::ifstream file(fileName, std::ios::binary);
    if (!file) {
        error = "cannot read " + fileName;
        return false;
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    const std::string bytes = contents.str();
    std::u16string text;
    if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE) {
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            text.push_back(char16_t(uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8));
        }
    } else {
        const size_t skip = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
        text = Utf8ToUtf16(std::string_view(bytes).substr(skip));
    }
    const std::u16string header = kRegHeader;
    if (text.compare(0, header.size(), header) == 0) {
        return ImportRegFile(text, error);
    }
    return Deserialize(bytes, error);
}

}  // namespace sim::registry
