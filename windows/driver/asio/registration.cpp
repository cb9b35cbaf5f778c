// Registration of the ASIO driver: the class key under HKEY_CLASSES_ROOT\CLSID that lets COM
// find the library, and the driver key under HKEY_LOCAL_MACHINE\SOFTWARE\ASIO that lets hosts
// find the driver.

#include <cstdio>
#include <cstring>
#include <new>

#include "com_base.h"

namespace {

constexpr DWORD kPathSize = 360;     // key paths and the module path
constexpr DWORD kKeyNameSize = 360;  // one key name
constexpr int kClassIdTextSize = 100;
// What the registry's plain open and create calls ask for.
constexpr REGSAM kDefaultAccess = MAXIMUM_ALLOWED;

constexpr const char* kClassesParent = "CLSID";
constexpr const char* kAsioKey = "SOFTWARE\\ASIO";

// "a\b" and "a\b\c" into a key-path buffer; false when the path does not fit.
bool joinKeyPath(char (&out)[kPathSize], const char* a, const char* b) {
    const int n = std::snprintf(out, kPathSize, "%s\\%s", a, b);
    return n >= 0 && static_cast<DWORD>(n) < kPathSize;
}
bool joinKeyPath(char (&out)[kPathSize], const char* a, const char* b, const char* c) {
    const int n = std::snprintf(out, kPathSize, "%s\\%s\\%s", a, b, c);
    return n >= 0 && static_cast<DWORD>(n) < kPathSize;
}

// ---- Deleting a tree of keys -----------------------------------------------------------------

// A key to delete: its open handle, the open handle of its parent and its name there.
struct CollectedKey {
    HKEY parent;
    HKEY key;
    char name[kKeyNameSize + 1];
    CollectedKey* next;
};

struct KeyList {
    CollectedKey* head = nullptr;
    CollectedKey** tail = &head;
};

// Collects the key `name` below `parentKey` (already open as `key` when that is not null) and
// every key below it, from subkey `index` on, each after all the keys below it: deleting in
// list order removes the deepest keys first. A key that does not open is skipped with all that
// lies below it.
void regCollectSubkeys(HKEY parentKey, HKEY key, DWORD index, const char* name, KeyList* list) {
    if (std::strlen(name) > kKeyNameSize) return;
    if (key == nullptr &&
        RegOpenKeyExA(parentKey, name, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        return;
    }
    auto* entry = new (std::nothrow) CollectedKey;
    if (entry == nullptr) {
        RegCloseKey(key);
        return;
    }
    entry->parent = parentKey;
    entry->key = key;
    std::strcpy(entry->name, name);
    entry->next = nullptr;
    for (;; ++index) {
        char subkey[kKeyNameSize + 1];
        DWORD length = sizeof subkey;
        if (RegEnumKeyExA(key, index, subkey, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        regCollectSubkeys(key, nullptr, 0, subkey, list);
    }
    *list->tail = entry;
    list->tail = &entry->next;
}

// ---- The module and the class id as text -----------------------------------------------------

// The lower-case full path of the loaded module `dllName` and the class id as ANSI text; 0 or
// -101 to -104.
LONG identifyServer(REFCLSID clsid, const char* dllName, char (&modulePath)[kPathSize],
                    char (&classIdText)[kClassIdTextSize]) {
    if (dllName == nullptr) return -101;
    HMODULE module = GetModuleHandleA(dllName);
    if (module == nullptr) return -101;
    // A path cut short by the buffer would register a module that does not exist.
    const DWORD length = GetModuleFileNameA(module, modulePath, kPathSize);
    if (length == 0 || length >= kPathSize) return -102;
    CharLowerA(modulePath);

    LPOLESTR wide = nullptr;
    if (FAILED(StringFromCLSID(clsid, &wide)) || wide == nullptr) return -103;
    const int converted =
        WideCharToMultiByte(CP_ACP, 0, wide, -1, classIdText, kClassIdTextSize, nullptr, nullptr);
    CoTaskMemFree(wide);
    return converted == 0 ? -104 : 0;
}

}  // namespace

// ---- Registry helpers ------------------------------------------------------------------------

int regKeyExists(const char* path, HKEY root) {
    if (path == nullptr) return -1;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, kDefaultAccess, &key) != ERROR_SUCCESS) return 0;
    RegCloseKey(key);
    return 1;
}

int regCreateSubkey(HKEY root, const char* parentPath, const char* name) {
    if (parentPath == nullptr || name == nullptr) return -1;
    char path[kPathSize];
    if (!joinKeyPath(path, parentPath, name)) return -1;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, kDefaultAccess, &key) == ERROR_SUCCESS) {
        RegCloseKey(key);
        return 0;
    }
    HKEY parent = nullptr;
    if (RegOpenKeyExA(root, parentPath, 0, kDefaultAccess, &parent) != ERROR_SUCCESS) return -1;
    const LONG rc = RegCreateKeyExA(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    kDefaultAccess, nullptr, &key, nullptr);
    RegCloseKey(parent);
    if (rc != ERROR_SUCCESS) return -1;
    RegCloseKey(key);
    return 0;
}

int regSetString(const char* path, HKEY root, const char* string, const char* valueName) {
    if (path == nullptr || string == nullptr) return -1;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, kDefaultAccess, &key) != ERROR_SUCCESS) return -1;
    const LONG rc = RegSetValueExA(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(string),
                                   static_cast<DWORD>(std::strlen(string)));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? 0 : -1;
}

int regGetString(const char* path, HKEY root, const char* valueName, char* buffer, DWORD size) {
    if (path == nullptr || buffer == nullptr || size == 0) return -1;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, kDefaultAccess, &key) != ERROR_SUCCESS) return -1;
    DWORD needed = 0;
    int result = -1;
    if (RegQueryValueExA(key, valueName, nullptr, nullptr, nullptr, &needed) == ERROR_SUCCESS &&
        needed <= size) {
        // Values are often stored without their terminating zero (registration writes them so):
        // read into a copy, and take it only when it fits with a terminator.
        auto* data = new (std::nothrow) char[needed + 1];
        DWORD read = needed;
        if (data != nullptr &&
            RegQueryValueExA(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(data),
                             &read) == ERROR_SUCCESS &&
            read <= needed) {
            const bool terminated = read > 0 && data[read - 1] == '\0';
            if (terminated || read < size) {
                std::memcpy(buffer, data, read);
                if (!terminated) buffer[read] = '\0';
                result = 0;
            }
        }
        delete[] data;
    }
    RegCloseKey(key);
    return result;
}

int regDeleteTree(const char* name, HKEY root, const char* parentPath) {
    if (name == nullptr || parentPath == nullptr) return -1;
    HKEY parent = nullptr;
    if (RegOpenKeyExA(root, parentPath, 0, kDefaultAccess, &parent) != ERROR_SUCCESS) return -1;
    KeyList list;
    regCollectSubkeys(parent, nullptr, 0, name, &list);
    int handled = 0;
    while (list.head != nullptr) {
        CollectedKey* entry = list.head;
        list.head = entry->next;
        RegCloseKey(entry->key);
        RegDeleteKeyA(entry->parent, entry->name);
        delete entry;
        ++handled;
    }
    RegCloseKey(parent);
    return handled > 0 ? 0 : -1;
}

// ---- Registration ----------------------------------------------------------------------------

LONG registerAsioDriver(REFCLSID clsid, const char* dllName, const char* regName,
                        const char* description, const char* threadingModel) {
    if (regName == nullptr || description == nullptr || threadingModel == nullptr) return -101;
    char modulePath[kPathSize];
    char classIdText[kClassIdTextSize];
    if (LONG rc = identifyServer(clsid, dllName, modulePath, classIdText); rc != 0) return rc;

    char classKey[kPathSize];
    char serverKey[kPathSize];
    char driverKey[kPathSize];
    const bool classPaths = joinKeyPath(classKey, kClassesParent, classIdText) &&
                            joinKeyPath(serverKey, kClassesParent, classIdText, "InprocServer32");
    const bool driverPath = joinKeyPath(driverKey, kAsioKey, regName);

    // The class key: kept when it already names this module, else written anew.
    if (classPaths) {
        bool current = false;
        if (regKeyExists(classKey, HKEY_CLASSES_ROOT) == 1) {
            char registered[kPathSize] = {};
            if (regGetString(serverKey, HKEY_CLASSES_ROOT, nullptr, registered, kPathSize) == 0) {
                CharLowerA(registered);
                current = std::strcmp(registered, modulePath) == 0;
            }
            if (!current) regDeleteTree(classIdText, HKEY_CLASSES_ROOT, kClassesParent);
        }
        if (!current) {
            regCreateSubkey(HKEY_CLASSES_ROOT, kClassesParent, classIdText);
            regSetString(classKey, HKEY_CLASSES_ROOT, description, nullptr);
            regCreateSubkey(HKEY_CLASSES_ROOT, classKey, "InprocServer32");
            regSetString(serverKey, HKEY_CLASSES_ROOT, modulePath, nullptr);
            regSetString(serverKey, HKEY_CLASSES_ROOT, threadingModel, "ThreadingModel");
        }
    }

    // The driver key: always written anew.
    if (driverPath) {
        if (regKeyExists(kAsioKey, HKEY_LOCAL_MACHINE) == 1) {
            if (regKeyExists(driverKey, HKEY_LOCAL_MACHINE) == 1) {
                regDeleteTree(regName, HKEY_LOCAL_MACHINE, kAsioKey);
            }
        } else {
            regCreateSubkey(HKEY_LOCAL_MACHINE, "SOFTWARE", "ASIO");
        }
        regCreateSubkey(HKEY_LOCAL_MACHINE, kAsioKey, regName);
        regSetString(driverKey, HKEY_LOCAL_MACHINE, classIdText, "CLSID");
        regSetString(driverKey, HKEY_LOCAL_MACHINE, description, "Description");
    }
    return 0;
}

LONG unregisterAsioDriver(REFCLSID clsid, const char* dllName, const char* regName) {
    if (regName == nullptr) return -101;
    char modulePath[kPathSize];
    char classIdText[kClassIdTextSize];
    if (LONG rc = identifyServer(clsid, dllName, modulePath, classIdText); rc != 0) return rc;

    char classKey[kPathSize];
    if (joinKeyPath(classKey, kClassesParent, classIdText) &&
        regKeyExists(classKey, HKEY_CLASSES_ROOT) == 1) {
        regDeleteTree(classIdText, HKEY_CLASSES_ROOT, kClassesParent);
    }
    if (regKeyExists(kAsioKey, HKEY_LOCAL_MACHINE) != 1) return 0;
    char driverKey[kPathSize];
    if (joinKeyPath(driverKey, kAsioKey, regName) &&
        regKeyExists(driverKey, HKEY_LOCAL_MACHINE) == 1) {
        regDeleteTree(regName, HKEY_LOCAL_MACHINE, kAsioKey);
    }
    return 0;
}
