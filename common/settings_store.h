// The per-user settings the ASIO driver and the control panel share, in
// HKEY_CURRENT_USER\SOFTWARE\TAVO\R9 Driver (64-bit view), addressed by identifier through a
// table. CSettingsStore keeps no state: every call opens and closes the key.
#pragma once

#include "platform/user.h"

struct SettingDesc {
    DWORD identifier;
    const WCHAR* valueName;
    DWORD type;
    DWORD size;  // bytes: the most a read takes, and what a reader's buffer must hold
};

enum SettingId : DWORD {
    kSettingBufferSizeIndex = 1,
    kSettingSamplingRate = 2,
    kSettingBitDepth = 3,
    kSettingFormat = 4,
    kSettingSelected = 6,
    kSettingLock = 7,
    kSettingNotify = 8,
};

extern const SettingDesc kSettingsTable[7];
extern const WCHAR kSettingsKeyPath[];

// Results of the operations: 0 success; the failures below.
enum SettingsResult : int {
    kSettingsOk = 0,
    kSettingsBadArgument = -1,
    kSettingsCannotOpen = -2,
    kSettingsCannotCreateDefaults = -3,
    kSettingsQueryFailed = -4,
    kSettingsWriteFailed = -5,
};

class CSettingsStore {
public:
    // Reads at most the setting's size into `buffer`; a value of another type, or larger than the
    // setting, is -4. With the key absent the defaults are created first. An identifier the
    // table lacks reads nothing and succeeds.
    int ReadSetting(int identifier, void* buffer, DWORD bufferSize) const;
    // Writes `byteCount` bytes with the table's type; never creates the key (-2 without it).
    int WriteSetting(int identifier, const void* data, DWORD byteCount) const;
    // Creates the key with its defaults; false when the key existed already or a write failed.
    bool CreateDefaultSettings() const;
};
