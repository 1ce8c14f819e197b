// The ASIO drivers installed on the machine, found as every host finds them: one subkey per driver
// under HKEY_LOCAL_MACHINE\SOFTWARE\ASIO, whose "CLSID" value names the driver's COM class and whose
// "Description" names the driver for people; the class's InprocServer32 key says which DLL COM loads.
#pragma once

#include <string>
#include <vector>

#include "platform/user.h"

namespace asiohost {

struct InstalledDriver {
    std::string name;         // the subkey's name
    std::string description;  // "Description"; empty when the key has none
    std::string clsidText;    // "CLSID" as written
    CLSID clsid = {};
    bool usable = false;      // the CLSID names a class; hosts skip the others
    std::string problem;      // why the driver is not usable
    std::string serverPath;   // the class's InprocServer32 default value; empty when unregistered
    std::string threadingModel;
};

// Every subkey, in the registry's order; an empty list when the ASIO key does not exist.
std::vector<InstalledDriver> ListInstalledDrivers();

// A driver by its key name (without regard to case) or by its number in the list, from 1.
const InstalledDriver* FindDriver(const std::vector<InstalledDriver>& drivers, const std::string& nameOrNumber);

// Wide registry and driver texts as UTF-8 for printing.
std::string Utf8(const WCHAR* text);

}  // namespace asiohost
