// `vq36 reg`: reads and writes values of the machine's registry through the Win32 stand-in.

#include "reg_command.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "standin/win32/machine.h"
#include "standin/win32/registry_admin.h"
#include "win32/windows.h"

namespace vq36tools {
namespace {

constexpr const char* kUsage =
    "usage: reg query <key> [<value>]\n"
    "       reg set <key> <value> dword|sz <data>\n"
    "  <key>    HKCU|HKLM|HKCR (or HKEY_CURRENT_USER, ...) followed by \\subkey\\...\n"
    "  <value>  a value name; (default) for the key's default value\n"
    "The machine is the one VQ36_MACHINE_ROOT names.\n";

std::string errorText(LONG code) {
    char* text = nullptr;
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                           FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<LPSTR>(&text), 0,
                       nullptr) == 0) {
        return "error " + std::to_string(code);
    }
    std::string s(text);
    LocalFree(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

bool parseKey(const std::string& path, HKEY* root, std::string* subkey, std::string* rootName) {
    const std::size_t slash = path.find('\\');
    const std::string head = standin::win32::lowerAnsi(path.substr(0, slash));
    *subkey = slash == std::string::npos ? std::string() : path.substr(slash + 1);
    if (head == "hkcu" || head == "hkey_current_user") {
        *root = HKEY_CURRENT_USER;
        *rootName = "HKEY_CURRENT_USER";
    } else if (head == "hklm" || head == "hkey_local_machine") {
        *root = HKEY_LOCAL_MACHINE;
        *rootName = "HKEY_LOCAL_MACHINE";
    } else if (head == "hkcr" || head == "hkey_classes_root") {
        *root = HKEY_CLASSES_ROOT;
        *rootName = "HKEY_CLASSES_ROOT";
    } else {
        return false;
    }
    return true;
}

std::string valueArgument(const std::string& name) {
    return name == "(default)" ? std::string() : name;
}

std::string typeName(DWORD type) {
    switch (type) {
        case REG_SZ:
            return "REG_SZ";
        case REG_BINARY:
            return "REG_BINARY";
        case REG_DWORD:
            return "REG_DWORD";
        case REG_NONE:
            return "REG_NONE";
        default:
            return "REG_TYPE_" + std::to_string(type);
    }
}

std::string dataText(DWORD type, const std::vector<BYTE>& data) {
    if (type == REG_DWORD && data.size() == 4) {
        DWORD v;
        std::memcpy(&v, data.data(), 4);
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "0x%x (%u)", v, v);
        return buffer;
    }
    if (type == REG_SZ) {
        std::string s(data.begin(), data.end());
        return s.substr(0, s.find('\0'));
    }
    std::string hex;
    char buffer[4];
    for (BYTE b : data) {
        std::snprintf(buffer, sizeof buffer, "%02X", b);
        hex += buffer;
    }
    return hex;
}

void printValue(std::FILE* out, const standin::win32::RegistryValue& v) {
    std::fprintf(out, "    %s    %s    %s\n", v.name.empty() ? "(Default)" : v.name.c_str(),
                 typeName(v.type).c_str(), dataText(v.type, v.data).c_str());
}

int query(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    HKEY root;
    std::string subkey, rootName;
    if (!parseKey(args[1], &root, &subkey, &rootName)) {
        std::fprintf(err, "reg: unknown root in %s\n%s", args[1].c_str(), kUsage);
        return 2;
    }
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(root, subkey.c_str(), 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) {
        std::fprintf(err, "reg: cannot open %s: %s\n", args[1].c_str(), errorText(rc).c_str());
        return 1;
    }
    const std::string fullPath = subkey.empty() ? rootName : rootName + "\\" + subkey;
    int result = 0;
    std::vector<standin::win32::RegistryValue> values;
    rc = standin::win32::listRegistryValues(key, &values);
    if (rc != ERROR_SUCCESS) {
        std::fprintf(err, "reg: cannot read %s: %s\n", args[1].c_str(), errorText(rc).c_str());
        result = 1;
    } else if (args.size() == 3) {
        const std::string wanted = standin::win32::lowerAnsi(valueArgument(args[2]));
        result = 1;
        for (const auto& v : values) {
            if (standin::win32::lowerAnsi(v.name) == wanted) {
                std::fprintf(out, "%s\n", fullPath.c_str());
                printValue(out, v);
                result = 0;
            }
        }
        if (result != 0) {
            std::fprintf(err, "reg: %s has no value %s: %s\n", fullPath.c_str(), args[2].c_str(),
                         errorText(ERROR_FILE_NOT_FOUND).c_str());
        }
    } else {
        std::fprintf(out, "%s\n", fullPath.c_str());
        for (const auto& v : values) printValue(out, v);
        char name[256];
        for (DWORD i = 0;; ++i) {
            DWORD length = sizeof name;
            rc = RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
            if (rc != ERROR_SUCCESS) break;
            std::fprintf(out, "%s\\%s\n", fullPath.c_str(), name);
        }
        if (rc != ERROR_NO_MORE_ITEMS) {
            std::fprintf(err, "reg: cannot list subkeys: %s\n", errorText(rc).c_str());
            result = 1;
        }
    }
    if (key != root) RegCloseKey(key);
    return result;
}

int set(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    HKEY root;
    std::string subkey, rootName;
    if (!parseKey(args[1], &root, &subkey, &rootName)) {
        std::fprintf(err, "reg: unknown root in %s\n%s", args[1].c_str(), kUsage);
        return 2;
    }
    const std::string& type = args[3];
    const std::string& text = args[4];
    std::vector<BYTE> data;
    DWORD regType;
    if (type == "dword") {
        errno = 0;
        char* end = nullptr;
        unsigned long long v = std::strtoull(text.c_str(), &end, 0);
        if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || v > 0xFFFFFFFFull) {
            std::fprintf(err, "reg: not a dword: %s\n", text.c_str());
            return 2;
        }
        const auto dword = static_cast<DWORD>(v);
        data.resize(4);
        std::memcpy(data.data(), &dword, 4);
        regType = REG_DWORD;
    } else if (type == "sz") {
        data.assign(text.begin(), text.end());
        data.push_back(0);
        regType = REG_SZ;
    } else {
        std::fprintf(err, "reg: unknown type %s\n%s", type.c_str(), kUsage);
        return 2;
    }
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(root, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                              nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) {
        std::fprintf(err, "reg: cannot create %s: %s\n", args[1].c_str(), errorText(rc).c_str());
        return 1;
    }
    rc = RegSetValueExA(key, valueArgument(args[2]).c_str(), 0, regType, data.data(),
                        static_cast<DWORD>(data.size()));
    if (key != root) RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        std::fprintf(err, "reg: cannot write %s: %s\n", args[2].c_str(), errorText(rc).c_str());
        return 1;
    }
    std::fprintf(out, "%s\n", errorText(ERROR_SUCCESS).c_str());
    return 0;
}

}  // namespace

int runRegCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    if (!args.empty() && args[0] == "query" && (args.size() == 2 || args.size() == 3)) {
        return query(args, out, err);
    }
    if (!args.empty() && args[0] == "set" && args.size() == 5) return set(args, out, err);
    if (!args.empty() && (args[0] == "-h" || args[0] == "--help" || args[0] == "help")) {
        std::fputs(kUsage, out);
        return 0;
    }
    std::fputs(kUsage, err);
    return 2;
}

}  // namespace vq36tools
