// asiohost.exe: the program's entry on Windows, its arguments as UTF-8 and its report on the console.
#include <iostream>
#include <string>
#include <vector>

#include "tools/asiohost/installed_drivers.h"
#include "tools/asiohost/program.h"

int wmain(int argc, wchar_t** argv)
{
    // Driver and channel names are printed as UTF-8.
    SetConsoleOutputCP(CP_UTF8);
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.push_back(asiohost::Utf8(argv[i]));
    }
    const int code = asiohost::RunProgram(arguments, std::cout, std::cerr);
    std::cout.flush();
    return code;
}
