// Per-user settings and registry strings.

#include <cstring>
#include <vector>

#include "library.h"

namespace {

constexpr const char* kSettingsKey = "SOFTWARE\\Vexa\\VQ36";

// One read of a DWORD setting; false when the key or value is missing or of another type (a
// REG_BINARY of exactly 4 bytes counts as a DWORD).
bool readSettingDword(const char* valueName, DWORD* value) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD size = sizeof data;
    LONG rc =
        RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || size != sizeof data || (type != REG_DWORD && type != REG_BINARY)) {
        return false;
    }
    *value = data;
    return true;
}

}  // namespace

DWORD getBufferSizeMillisecs() {
    DWORD milliseconds = 0;
    if (!readSettingDword("BufferSizeMillisecs", &milliseconds)) return 8;
    if (milliseconds == 0) return 1;
    if (milliseconds > 50) return 50;
    return milliseconds;
}

bool isRealTimeEnabled() {
    DWORD enabled = 0;
    if (!readSettingDword("IsRealTimeEnabled", &enabled)) return true;
    return enabled != 0;
}

DWORD getMidiInChannel() {
    DWORD channel = 0;
    return readSettingDword("MidiInChannel", &channel) ? channel : 0;
}

DWORD getMidiOutChannel() {
    DWORD channel = 0;
    return readSettingDword("MidiOutChannel", &channel) ? channel : 1;
}

void setBufferSizeMillisecs(DWORD milliseconds) {
    writeSettingDword("BufferSizeMillisecs", milliseconds);
}

void setMidiInChannel(DWORD channel) {
    writeSettingDword("MidiInChannel", channel);
}

void setMidiOutChannel(DWORD channel) {
    writeSettingDword("MidiOutChannel", channel);
}

void writeSettingDword(const char* valueName, DWORD value) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_WRITE, &key) != ERROR_SUCCESS &&
        RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        DebugLog(1, "Failed to create registry key level 1");
        return;
    }
    if (RegSetValueExA(key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value) != ERROR_SUCCESS) {
        DebugLog(1, "Failed to write to registry key");
    }
    RegCloseKey(key);
}

bool readRegistryString(HKEY root, const char* subkeyPath, const char* valueName, char* buffer,
                        DWORD bufferSize) {
    if (subkeyPath == nullptr || buffer == nullptr) return false;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, subkeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD size = 0;
    bool ok = RegQueryValueExA(key, valueName, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS &&
              size <= bufferSize;
    if (ok) {
        // Read into a copy first: the caller's buffer changes only when the whole value, with
        // its terminator, fits.
        std::vector<BYTE> data(size + 1, 0);
        DWORD read = size;
        ok =
            RegQueryValueExA(key, valueName, nullptr, nullptr, data.data(), &read) == ERROR_SUCCESS;
        const bool terminated = read > 0 && data[read - 1] == 0;
        ok = ok && (terminated ? read <= bufferSize : read + 1 <= bufferSize);
        if (ok) {
            std::memcpy(buffer, data.data(), read);
            if (!terminated) buffer[read] = '\0';
        }
    }
    RegCloseKey(key);
    return ok;
}
