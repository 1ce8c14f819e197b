#include "common/settings_store.h"

#include "common/trace.h"

const WCHAR kSettingsKeyPath[] = W("SOFTWARE\\TAVO\\R9 Driver");

const SettingDesc kSettingsTable[7] = {
    {kSettingBufferSizeIndex, W("buffer_size_index"), REG_DWORD, 4},
    {kSettingSamplingRate, W("sampling_rate"), REG_DWORD, 4},
    {kSettingBitDepth, W("bit_depth"), REG_DWORD, 4},
    {kSettingFormat, W("format"), REG_BINARY, 1},
    {kSettingSelected, W("selected"), REG_SZ, 128},
    {kSettingLock, W("lock"), REG_BINARY, 1},
    {kSettingNotify, W("notify"), REG_BINARY, 1},
};

namespace {

const SettingDesc* FindSetting(int identifier)
{
    for (const SettingDesc& setting : kSettingsTable) {
        if (setting.identifier == DWORD(identifier)) {
            return &setting;
        }
    }
    return nullptr;
}

bool WriteValue(HKEY key, const WCHAR* name, DWORD type, const void* data, DWORD size)
{
    const LSTATUS error = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    if (error != ERROR_SUCCESS) {
        TraceEvent(W("CSettingsStore: writing %ls failed (error %ld)"), name, long(error));
        return false;
    }
    return true;
}

}  // namespace

int CSettingsStore::ReadSetting(int identifier, void* buffer, DWORD bufferSize) const
{
    if (identifier < 0 || buffer == nullptr || bufferSize == 0) {
        return kSettingsBadArgument;
    }
    HKEY key = nullptr;
    LSTATUS error = RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKeyPath, 0, KEY_READ | KEY_WOW64_64KEY, &key);
    if (error == ERROR_FILE_NOT_FOUND) {
        if (!CreateDefaultSettings()) {
            return kSettingsCannotCreateDefaults;
        }
        error = RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKeyPath, 0, KEY_READ | KEY_WOW64_64KEY, &key);
    }
    if (error != ERROR_SUCCESS) {
        TraceEvent(W("CSettingsStore: cannot open the settings key (error %ld)"), long(error));
        return kSettingsCannotOpen;
    }
    int result = kSettingsOk;
    if (const SettingDesc* setting = FindSetting(identifier)) {
        if (bufferSize < setting->size) {
            result = kSettingsBadArgument;
        } else {
            // The query is bounded by the setting's size, not the caller's buffer: a longer value
            // fails with ERROR_MORE_DATA and nothing of it is used.
            DWORD type = REG_NONE;
            DWORD size = setting->size;
            error = RegQueryValueExW(key, setting->valueName, nullptr, &type, static_cast<BYTE*>(buffer), &size);
            // A fixed-size value stored shorter (a 2-byte REG_DWORD) would leave part of the
            // caller's buffer unread: it counts as absent like a value of the wrong type.
            const bool wrongSize = setting->type != REG_SZ && size != setting->size;
            if (error != ERROR_SUCCESS || type != setting->type || wrongSize) {
                TraceEvent(W("CSettingsStore: %ls unreadable (error %ld, type %lu)"), setting->valueName, long(error),
                           type);
                result = kSettingsQueryFailed;
            }
        }
    }
    RegCloseKey(key);
    return result;
}

int CSettingsStore::WriteSetting(int identifier, const void* data, DWORD byteCount) const
{
    if (identifier < 0 || data == nullptr || byteCount == 0) {
        return kSettingsBadArgument;
    }
    const SettingDesc* setting = FindSetting(identifier);
    if (setting == nullptr) {
        return kSettingsOk;
    }
    HKEY key = nullptr;
    const LSTATUS error = RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKeyPath, 0, KEY_WRITE | KEY_WOW64_64KEY, &key);
    if (error != ERROR_SUCCESS) {
        TraceEvent(W("CSettingsStore: cannot open the settings key for writing (error %ld)"), long(error));
        return kSettingsCannotOpen;
    }
    const bool written = WriteValue(key, setting->valueName, setting->type, data, byteCount);
    RegCloseKey(key);
    return written ? kSettingsOk : kSettingsWriteFailed;
}

bool CSettingsStore::CreateDefaultSettings() const
{
    HKEY key = nullptr;
    DWORD disposition = 0;
    const LSTATUS error = RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                          KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, &disposition);
    if (error != ERROR_SUCCESS) {
        TraceEvent(W("CSettingsStore: cannot create the settings key (error %ld)"), long(error));
        return false;
    }
    // Defaults go only into a key this call created: a key that exists belongs to whoever made it.
    bool written = disposition == REG_CREATED_NEW_KEY;
    // "selected" is an empty text padded to 128 characters: 256 bytes, more than a reader takes,
    // so it reads as unknown until a real instance ID is written.
    const BYTE noDevice[256] = {};
    const DWORD bufferSizeIndex = 14;
    const DWORD samplingRate = 44100;
    const DWORD bitDepth = 16;
    const BYTE zero = 0;
    written = written && WriteValue(key, W("selected"), REG_SZ, noDevice, sizeof noDevice);
    written = written && WriteValue(key, W("buffer_size_index"), REG_DWORD, &bufferSizeIndex, sizeof bufferSizeIndex);
    written = written && WriteValue(key, W("sampling_rate"), REG_DWORD, &samplingRate, sizeof samplingRate);
    written = written && WriteValue(key, W("bit_depth"), REG_DWORD, &bitDepth, sizeof bitDepth);
    written = written && WriteValue(key, W("format"), REG_BINARY, &zero, sizeof zero);
    written = written && WriteValue(key, W("lock"), REG_BINARY, &zero, sizeof zero);
    written = written && WriteValue(key, W("notify"), REG_BINARY, &zero, sizeof zero);
    RegCloseKey(key);
    return written;
}
