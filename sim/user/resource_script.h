// A program's resources as the resource compiler builds them from its script (.rc): dialog
// templates (DIALOGEX with generic CONTROL statements), the string table, and which icons and
// other typed resources exist. Internal to sim/user.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sim/api/user.h"

namespace sim::user {

struct ControlTemplate {
    std::u16string text;
    int id = 0;
    std::u16string className;
    DWORD style = 0;
    DWORD exStyle = 0;
    RECT dialogUnits = {};  // x, y, x + cx, y + cy
};

struct DialogTemplate {
    DWORD style = 0;
    DWORD exStyle = 0;
    RECT dialogUnits = {};
    std::u16string caption;
    int fontPoints = 0;
    std::u16string fontName;
    std::vector<ControlTemplate> controls;
};

struct ProgramResources {
    std::map<int, DialogTemplate> dialogs;
    std::map<int, std::u16string> strings;
    std::set<std::pair<std::u16string, int>> others;  // (type, id): ICON, PNG, 24 (the manifest), ...
};

// Compiles a script; a syntax error ends the program with the line it is on, as rc stops.
ProgramResources CompileResourceScript(const std::string& script);

// The resources of the calling process's image (none when it has no script).
std::shared_ptr<const ProgramResources> ResourcesOfCurrentProcess();

}  // namespace sim::user
