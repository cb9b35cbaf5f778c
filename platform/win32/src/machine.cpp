// The machine root and the mapping between Windows paths and host paths.

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

#include "internal.h"
#include "standin/win32/machine.h"
#include "standin/win32/testing.h"

namespace standin::win32 {
namespace {

constexpr const char* kRootVariable = "VQ36_MACHINE_ROOT";

std::mutex gRootMutex;
std::string gRoot;  // canonical; empty until chosen

bool makeDirectories(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return detail::hostDirectoryExists(path);
}

std::string defaultRoot() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/share/vq36/machine";
    return "/tmp/vq36-machine-" + std::to_string(getuid());
}

// Creates the folder and its c: drive; returns its canonical path (the path as given when it
// cannot be created, so that later operations fail as on a missing drive). A root that does not
// exist yet is made by mkdir with mode 0700, so that it is never, not even for a moment, open to
// other users (its parents are made as usual).
std::string prepareRoot(const std::string& folder) {
    struct stat st;
    if (!folder.empty() && lstat(folder.c_str(), &st) != 0 && errno == ENOENT) {
        const std::string parent = detail::hostDirName(folder);
        if (parent != folder) makeDirectories(parent);
        mkdir(folder.c_str(), 0700);
    }
    makeDirectories(folder + "/drive_c");
    std::string canonical = detail::canonicalHostPath(folder);
    return canonical.empty() ? folder : canonical;
}

std::vector<std::string> splitComponents(const std::string& rest) {
    std::vector<std::string> components;
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t end = rest.find('/', start);
        if (end == std::string::npos) end = rest.size();
        std::string piece = rest.substr(start, end - start);
        if (piece == "..") {
            if (!components.empty()) components.pop_back();
        } else if (!piece.empty() && piece != ".") {
            components.push_back(piece);
        }
        start = end + 1;
    }
    return components;
}

// Joins components below `base`; each component that exists under another case is taken with
// the case it has on the host.
std::string resolveIgnoringCase(const std::string& base, const std::vector<std::string>& parts) {
    std::string current = base;
    bool searching = true;
    for (const std::string& part : parts) {
        std::string next = (current == "/" ? "" : current) + "/" + part;
        if (searching) {
            struct stat st;
            if (lstat(next.c_str(), &st) != 0) {
                bool found = false;
                if (DIR* dir = opendir(current.c_str())) {
                    while (dirent* entry = readdir(dir)) {
                        if (detail::equalsIgnoreCase(entry->d_name, part)) {
                            next = (current == "/" ? "" : current) + "/" + entry->d_name;
                            found = true;
                            break;
                        }
                    }
                    closedir(dir);
                }
                searching = found;
            }
        }
        current = next;
    }
    return current;
}

std::string lexicallyNormal(const std::string& absolute) {
    std::string out;
    for (const std::string& part : splitComponents(absolute)) out += "/" + part;
    return out.empty() ? "/" : out;
}

std::string currentFolder() {
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string("/");
}

}  // namespace

char lowerAnsi(char c) {
    auto u = static_cast<unsigned char>(c);
    if (u >= 'A' && u <= 'Z') return static_cast<char>(u + 32);
    // Code page 1252: the accented capitals, and the four capitals elsewhere in the upper half.
    if (u >= 0xC0 && u <= 0xDE && u != 0xD7) return static_cast<char>(u + 32);
    switch (u) {
        case 0x8A:
            return static_cast<char>(0x9A);
        case 0x8C:
            return static_cast<char>(0x9C);
        case 0x8E:
            return static_cast<char>(0x9E);
        case 0x9F:
            return static_cast<char>(0xFF);
        default:
            return c;
    }
}

std::string lowerAnsi(std::string s) {
    for (char& c : s) c = lowerAnsi(c);
    return s;
}

std::string machineRoot() {
    std::lock_guard lock(gRootMutex);
    if (gRoot.empty()) {
        const char* chosen = std::getenv(kRootVariable);
        gRoot = prepareRoot(chosen != nullptr && chosen[0] != '\0' ? std::string(chosen)
                                                                   : defaultRoot());
    }
    return gRoot;
}

void setMachineRoot(const std::string& hostFolder) {
    {
        std::lock_guard lock(gRootMutex);
        std::string absolute = hostFolder.empty() || hostFolder[0] == '/'
                                   ? hostFolder
                                   : currentFolder() + "/" + hostFolder;
        gRoot = prepareRoot(absolute);
        setenv(kRootVariable, gRoot.c_str(), 1);
    }
    detail::registryRootChanged();
}

bool toHostPath(const char* windowsPath, std::string* hostPath) {
    if (windowsPath == nullptr || windowsPath[0] == '\0' || hostPath == nullptr) return false;
    std::string path(windowsPath);
    if (path.rfind("\\\\?\\", 0) == 0) path.erase(0, 4);
    if (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') &&
        (path[1] == '\\' || path[1] == '/')) {
        return false;  // UNC
    }
    const bool hostAbsolute = path[0] == '/';
    const bool driveRelativeRoot = path[0] == '\\';
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    if (path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':') {
        char drive = static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
        std::vector<std::string> parts = splitComponents(path.substr(2));
        std::string base =
            drive == 'z' ? std::string("/") : machineRoot() + "/drive_" + std::string(1, drive);
        *hostPath = resolveIgnoringCase(base, parts);
        return true;
    }
    if (driveRelativeRoot) {
        *hostPath = resolveIgnoringCase(machineRoot() + "/drive_c", splitComponents(path));
        return true;
    }
    if (hostAbsolute) {
        *hostPath = path;
        return true;
    }
    *hostPath = path;  // relative to the current folder
    return true;
}

std::string toWindowsPath(const std::string& hostPath) {
    std::string absolute =
        hostPath.empty() || hostPath[0] != '/' ? currentFolder() + "/" + hostPath : hostPath;
    std::string canonical = detail::canonicalHostPath(absolute);
    absolute = canonical.empty() ? lexicallyNormal(absolute) : canonical;
    const std::string prefix = machineRoot() + "/drive_";
    std::string windows;
    if (absolute.size() > prefix.size() && absolute.compare(0, prefix.size(), prefix) == 0 &&
        std::isalpha(static_cast<unsigned char>(absolute[prefix.size()])) &&
        (absolute.size() == prefix.size() + 1 || absolute[prefix.size() + 1] == '/')) {
        windows =
            std::string(1, absolute[prefix.size()]) + ":" + absolute.substr(prefix.size() + 1);
        if (windows.size() == 2) windows += "/";
    } else {
        windows = "z:" + absolute;
    }
    for (char& c : windows) {
        if (c == '/') c = '\\';
    }
    return windows;
}

ScopedFreshMachine::ScopedFreshMachine() : previous_(detail::chosenMachineRoot()) {
    char pattern[] = "/tmp/vq36-machine-XXXXXX";
    const char* made = mkdtemp(pattern);
    std::string folder = made ? std::string(made) : std::string("/tmp/vq36-machine-fallback");
    makeDirectories(folder + "/drive_c/Windows/System32");
    setMachineRoot(folder);
    root_ = machineRoot();
}

ScopedFreshMachine::~ScopedFreshMachine() {
    if (previous_.empty()) {
        unsetenv(kRootVariable);
    } else {
        setenv(kRootVariable, previous_.c_str(), 1);
    }
    detail::setMachineRootState(previous_);
    detail::registryRootChanged();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

std::string ScopedFreshMachine::host(const char* windowsPath) const {
    std::string out;
    toHostPath(windowsPath, &out);
    return out;
}

namespace detail {

void setMachineRootState(const std::string& root) {
    std::lock_guard lock(gRootMutex);
    gRoot = root;
}

std::string chosenMachineRoot() {
    std::lock_guard lock(gRootMutex);
    return gRoot;
}

bool hostFileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool hostDirectoryExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string hostDirName(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string hostBaseName(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string canonicalHostPath(const std::string& path) {
    char buffer[PATH_MAX];
    if (realpath(path.c_str(), buffer) == nullptr) return {};
    return buffer;
}

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAnsi(a[i]) != lowerAnsi(b[i])) return false;
    }
    return true;
}

std::string mainProgramPath() {
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    buffer[n] = '\0';
    return buffer;
}

}  // namespace detail
}  // namespace standin::win32
