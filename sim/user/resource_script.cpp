// The resource compiler's reading of a script, enough for what the product's script uses:
// preprocessor lines are skipped (the symbols of windows.h and commctrl.h that styles name are
// known here), DIALOGEX with STYLE, EXSTYLE, CAPTION and FONT and generic CONTROL statements,
// STRINGTABLE, VERSIONINFO (skipped), and resources taken from files (ICON, PNG, 24, ...). As rc
// does, a CONTROL gets WS_CHILD | WS_VISIBLE unless its style says NOT, and FONT adds
// DS_SETFONT to the dialog's style.
#include "sim/user/resource_script.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "sim/user/user_machine.h"
#include "sim/user/window_records.h"

namespace sim::user {
namespace {

const std::map<std::string, DWORD>& StyleNames()
{
    static const std::map<std::string, DWORD> names = {
        {"WS_OVERLAPPED", WS_OVERLAPPED}, {"WS_POPUP", WS_POPUP}, {"WS_CHILD", WS_CHILD},
        {"WS_MINIMIZE", WS_MINIMIZE}, {"WS_VISIBLE", WS_VISIBLE}, {"WS_DISABLED", WS_DISABLED},
        {"WS_CLIPSIBLINGS", WS_CLIPSIBLINGS}, {"WS_CLIPCHILDREN", WS_CLIPCHILDREN}, {"WS_CAPTION", WS_CAPTION},
        {"WS_BORDER", WS_BORDER}, {"WS_DLGFRAME", WS_DLGFRAME}, {"WS_VSCROLL", WS_VSCROLL},
        {"WS_HSCROLL", WS_HSCROLL}, {"WS_SYSMENU", WS_SYSMENU}, {"WS_THICKFRAME", WS_THICKFRAME},
        {"WS_GROUP", WS_GROUP}, {"WS_TABSTOP", WS_TABSTOP}, {"WS_MINIMIZEBOX", WS_MINIMIZEBOX},
        {"WS_MAXIMIZEBOX", WS_MAXIMIZEBOX}, {"WS_EX_DLGMODALFRAME", WS_EX_DLGMODALFRAME},
        {"WS_EX_CLIENTEDGE", WS_EX_CLIENTEDGE}, {"WS_EX_STATICEDGE", WS_EX_STATICEDGE},
        {"WS_EX_APPWINDOW", WS_EX_APPWINDOW}, {"DS_FIXEDSYS", DS_FIXEDSYS}, {"DS_SETFONT", DS_SETFONT},
        {"DS_MODALFRAME", DS_MODALFRAME}, {"DS_CENTER", DS_CENTER}, {"DS_SHELLFONT", DS_SHELLFONT},
        {"SS_LEFT", SS_LEFT}, {"SS_BLACKFRAME", SS_BLACKFRAME}, {"SS_NOPREFIX", SS_NOPREFIX},
        {"SS_SUNKEN", SS_SUNKEN}, {"BS_GROUPBOX", BS_GROUPBOX}, {"LBS_NOTIFY", LBS_NOTIFY},
        {"LBS_OWNERDRAWFIXED", LBS_OWNERDRAWFIXED}, {"LBS_HASSTRINGS", LBS_HASSTRINGS},
        {"LBS_NOINTEGRALHEIGHT", LBS_NOINTEGRALHEIGHT}, {"CBS_DROPDOWNLIST", CBS_DROPDOWNLIST},
        {"CBS_HASSTRINGS", CBS_HASSTRINGS}, {"TBS_BOTH", TBS_BOTH}, {"TBS_NOTICKS", TBS_NOTICKS},
    };
    return names;
}

class Reader {
public:
    explicit Reader(const std::string& text) : text_(text) { }

    [[noreturn]] void Fail(const char* what)
    {
        std::fprintf(stderr, "resource script, line %d: %s\n", line_, what);
        std::abort();
    }

    // The next token: a word, a number, a quoted string (kept with its quotes) or one character.
    std::string Next()
    {
        SkipSpace();
        if (position_ >= text_.size()) {
            return {};
        }
        const size_t start = position_;
        const char first = text_[position_];
        if (first == '"') {
            ++position_;
            while (position_ < text_.size()) {
                if (text_[position_] == '"' && (position_ + 1 >= text_.size() || text_[position_ + 1] != '"')) {
                    break;
                }
                position_ += text_[position_] == '"' || text_[position_] == '\\' ? 2 : 1;
            }
            ++position_;
        } else if (std::isalnum(static_cast<unsigned char>(first)) || first == '_') {
            while (position_ < text_.size() &&
                   (std::isalnum(static_cast<unsigned char>(text_[position_])) || text_[position_] == '_')) {
                ++position_;
            }
        } else {
            ++position_;
        }
        return text_.substr(start, position_ - start);
    }
    std::string Peek()
    {
        const size_t saved = position_;
        const int line = line_;
        std::string token = Next();
        position_ = saved;
        line_ = line;
        return token;
    }
    void Expect(const char* token)
    {
        if (Next() != token) {
            Fail((std::string("expected ") + token).c_str());
        }
    }
    void SkipComma()
    {
        if (Peek() == ",") {
            Next();
        }
    }

    std::u16string String()
    {
        const std::string token = Next();
        if (token.size() < 2 || token.front() != '"') {
            Fail("expected a string");
        }
        std::string value;
        for (size_t i = 1; i + 1 < token.size(); ++i) {
            if (token[i] == '"') {
                ++i;  // "" is one quote
            } else if (token[i] == '\\') {
                ++i;
                value += token[i] == 'n' ? '\n' : token[i] == 'r' ? '\r' : token[i] == 't' ? '\t' : token[i];
                continue;
            }
            value += token[i];
        }
        return sim::Utf8ToUtf16(value);
    }

    LONG Number()
    {
        std::string token = Next();
        bool negative = false;
        if (token == "-") {
            negative = true;
            token = Next();
        }
        if (token.empty() || !std::isdigit(static_cast<unsigned char>(token[0]))) {
            Fail("expected a number");
        }
        const LONG value = LONG(std::strtoul(token.c_str(), nullptr, 0));
        return negative ? -value : value;
    }

    // name | name | NOT name | number ...: bits to set, and bits NOT removes.
    void Style(DWORD& style)
    {
        do {
            bool remove = false;
            std::string token = Peek();
            if (token == "NOT") {
                Next();
                remove = true;
                token = Peek();
            }
            DWORD bits;
            if (std::isdigit(static_cast<unsigned char>(token[0]))) {
                bits = DWORD(Number());
            } else {
                Next();
                auto found = StyleNames().find(token);
                if (found == StyleNames().end()) {
                    Fail(("unknown style " + token).c_str());
                }
                bits = found->second;
            }
            style = remove ? style & ~bits : style | bits;
        } while (Peek() == "|" && !Next().empty());
    }

    // Skips a BEGIN ... END (or { ... }) block with the blocks inside it.
    void SkipBlock()
    {
        int depth = 0;
        do {
            const std::string token = Next();
            if (token.empty()) {
                Fail("unterminated block");
            }
            depth += token == "BEGIN" || token == "{" ? 1 : token == "END" || token == "}" ? -1 : 0;
        } while (depth > 0);
    }

private:
    void SkipSpace()
    {
        while (position_ < text_.size()) {
            const char c = text_[position_];
            if (c == '\n') {
                ++line_;
                ++position_;
            } else if (std::isspace(static_cast<unsigned char>(c))) {
                ++position_;
            } else if (c == '#' || text_.compare(position_, 2, "//") == 0) {
                position_ = text_.find('\n', position_);
                position_ = position_ == std::string::npos ? text_.size() : position_;
            } else if (text_.compare(position_, 2, "/*") == 0) {
                const size_t end = text_.find("*/", position_ + 2);
                for (size_t i = position_; i < std::min(end, text_.size()); ++i) {
                    line_ += text_[i] == '\n' ? 1 : 0;
                }
                position_ = end == std::string::npos ? text_.size() : end + 2;
            } else {
                break;
            }
        }
    }

    const std::string& text_;
    size_t position_ = 0;
    int line_ = 1;
};

bool IsBegin(const std::string& token) { return token == "BEGIN" || token == "{"; }
bool IsEnd(const std::string& token) { return token == "END" || token == "}"; }

RECT Rectangle(Reader& reader)
{
    RECT rect;
    rect.left = reader.Number();
    reader.Expect(",");
    rect.top = reader.Number();
    reader.Expect(",");
    rect.right = rect.left + reader.Number();
    reader.Expect(",");
    rect.bottom = rect.top + reader.Number();
    return rect;
}

DialogTemplate Dialog(Reader& reader)
{
    DialogTemplate dialog;
    dialog.style = WS_POPUP | WS_BORDER | WS_SYSMENU;
    dialog.dialogUnits = Rectangle(reader);
    for (std::string token = reader.Next(); !IsBegin(token); token = reader.Next()) {
        if (token == "STYLE") {
            dialog.style = 0;
            reader.Style(dialog.style);
        } else if (token == "EXSTYLE") {
            reader.Style(dialog.exStyle);
        } else if (token == "CAPTION") {
            dialog.caption = reader.String();
            dialog.style |= WS_CAPTION;
        } else if (token == "FONT") {
            dialog.fontPoints = reader.Number();
            reader.Expect(",");
            dialog.fontName = reader.String();
            while (reader.Peek() == ",") {
                reader.Next();
                reader.Number();
            }
            dialog.style |= DS_SETFONT;
        } else {
            reader.Fail(("unknown dialog statement " + token).c_str());
        }
    }
    for (std::string token = reader.Next(); !IsEnd(token); token = reader.Next()) {
        if (token != "CONTROL") {
            reader.Fail(("only CONTROL statements are understood, not " + token).c_str());
        }
        ControlTemplate control;
        control.text = reader.String();
        reader.Expect(",");
        control.id = int(reader.Number());
        reader.Expect(",");
        control.className = reader.String();
        reader.Expect(",");
        control.style = WS_CHILD | WS_VISIBLE;
        reader.Style(control.style);
        reader.Expect(",");
        control.dialogUnits = Rectangle(reader);
        if (reader.Peek() == ",") {
            reader.Next();
            reader.Style(control.exStyle);
        }
        dialog.controls.push_back(control);
    }
    return dialog;
}

struct ScriptTable : MachineComponent {
    std::mutex lock;
    std::map<std::u16string, std::shared_ptr<const ProgramResources>> byImage;  // image path, upper case
};

}  // namespace

ProgramResources CompileResourceScript(const std::string& script)
{
    ProgramResources resources;
    Reader reader(script);
    for (std::string token = reader.Next(); !token.empty(); token = reader.Next()) {
        if (token == "STRINGTABLE") {
            if (!IsBegin(reader.Next())) {
                reader.Fail("expected BEGIN");
            }
            for (std::string next = reader.Peek(); !IsEnd(next); next = reader.Peek()) {
                const int id = int(reader.Number());
                reader.SkipComma();
                resources.strings[id] = reader.String();
            }
            reader.Next();
            continue;
        }
        if (!std::isdigit(static_cast<unsigned char>(token[0]))) {
            reader.Fail(("expected a resource id, not " + token).c_str());
        }
        const int id = int(std::strtol(token.c_str(), nullptr, 0));
        const std::string type = reader.Next();
        if (type == "DIALOGEX") {
            resources.dialogs[id] = Dialog(reader);
        } else if (type == "VERSIONINFO") {
            while (!IsBegin(reader.Peek())) {
                reader.Next();
            }
            reader.SkipBlock();
        } else {
            reader.String();  // the file the resource is read from
            resources.others.insert({sim::Utf8ToUtf16(type), id});
        }
    }
    return resources;
}

std::shared_ptr<const ProgramResources> ResourcesOfCurrentProcess()
{
    const std::u16string image = ClassKey(CurrentProcess(__func__).ImagePath().c_str());
    ScriptTable& table = Machine::Current().Component<ScriptTable>();
    std::lock_guard<std::mutex> held(table.lock);
    auto found = table.byImage.find(image);
    return found == table.byImage.end() ? nullptr : found->second;
}

void RegisterProgramResources(const std::u16string& imagePath, const std::string& resourceScript)
{
    auto resources = std::make_shared<const ProgramResources>(CompileResourceScript(resourceScript));
    ScriptTable& table = Machine::Current().Component<ScriptTable>();
    std::lock_guard<std::mutex> held(table.lock);
    table.byImage[ClassKey(imagePath.c_str())] = resources;
}

}  // namespace sim::user
